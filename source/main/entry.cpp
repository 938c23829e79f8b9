// The entry point: the choice of run mode, clean mode and the run after a
// restart.
#include "log/log.h"
#include "main/main.h"
#include "misc/misc.h"

#include <cstring>

using namespace platform;

namespace
{

void delete_product_folders()
{
    for (const char* code : ALL_PRODUCT_CODES) {
        char folder[512];
        if (format_product_folder(folder, sizeof folder, code)) {
            delete_folder(folder);
        }
    }
}

void delete_uninstall_entries()
{
    key_owner key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, key.receive()) != ERROR_SUCCESS) {
        fatal_error("FAILED TO GET REGISTRY UNINSTALL DIRECTORY");
    }
    for (const char* code : ALL_PRODUCT_CODES) {
        SHDeleteKeyA(key.get(), code);
    }
}

void delete_publisher_key()
{
    key_owner key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, SOFTWARE_KEY, key.receive()) != ERROR_SUCCESS) {
        fatal_error("FAILED TO GET REGISTRY QUENMOOR DIRECTORY");
    }
    SHDeleteKeyA(key.get(), PUBLISHER_KEY);
}

} // namespace

namespace
{

bool is_blank(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

// True when text[0, length) ends with name, compared without regard to
// case, and the name is the whole of its last path component.
bool ends_with_component(const char* text, std::size_t length, const char* name, std::size_t name_length)
{
    if (name_length == 0 || name_length > length) {
        return false;
    }
    const std::size_t start = length - name_length;
    if (start > 0 && text[start - 1] != '\\' && text[start - 1] != '/' && text[start - 1] != ':') {
        return false;
    }
    for (std::size_t i = 0; i < name_length; ++i) {
        const char a = text[start + i] >= 'A' && text[start + i] <= 'Z'
                           ? static_cast<char>(text[start + i] + 32)
                           : text[start + i];
        const char b = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] + 32) : name[i];
        if (a != b) {
            return false;
        }
    }
    return true;
}

// Where an unquoted program name ends: at the first blank (or the end)
// before which the text's last component is the module's own file name,
// with or without ".exe"; a name typed in a console may hold blanks. When
// no such place exists, at the first blank.
const char* end_of_unquoted_name(const char* command_line, const char* module)
{
    const char* slash = std::strrchr(module, '\\');
    const char* file_name = slash != nullptr ? slash + 1 : module;
    const std::size_t full = std::strlen(file_name);
    const bool has_exe = full > 4 && compare_ignoring_case(file_name + full - 4, ".exe") == 0;
    for (const char* p = command_line;; ++p) {
        if (*p == '\0' || is_blank(*p)) {
            const std::size_t length = static_cast<std::size_t>(p - command_line);
            if (ends_with_component(command_line, length, file_name, full) ||
                (has_exe && ends_with_component(command_line, length, file_name, full - 4))) {
                return p;
            }
        }
        if (*p == '\0') {
            break;
        }
    }
    const char* p = command_line;
    while (!is_blank(*p)) {
        ++p;
    }
    return p;
}

} // namespace

// The text after the program's own name and the blanks that follow it: a
// quoted name ends at its closing quote, an unquoted one where the module's
// own file name ends (see above).
const char* command_line_after_program_name(const char* command_line, const char* module)
{
    if (command_line == nullptr) {
        return "";
    }
    const char* p = command_line;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"') {
            ++p;
        }
        if (*p == '"') {
            ++p;
        }
    } else {
        p = end_of_unquoted_name(command_line, module != nullptr ? module : "");
    }
    while (*p != '\0' && is_blank(*p)) {
        ++p;
    }
    return p;
}

const char* command_line_after_program_name(const char* command_line)
{
    return command_line_after_program_name(command_line, module_path);
}

run_mode choose_run_mode(const char* command_line_tail, const char* lower_case_module_path)
{
    if (std::strstr(command_line_tail, "clean") != nullptr) {
        return run_mode::clean;
    }
    if (std::strstr(command_line_tail, RESUME_ARGUMENT) != nullptr) {
        return run_mode::resume;
    }
    if (std::strstr(lower_case_module_path, ".tmp") != nullptr) {
        return run_mode::uninstall_stage;
    }
    return run_mode::install_stage;
}

// Deletes every registration of both titles under all three product codes,
// and the publisher's key. Game files, shortcuts and the Add/Remove Programs
// cache are left alone.
void clean_mode()
{
    log_line("Deleting every registration of both titles");
    delete_product_folders();
    delete_uninstall_entries();
    delete_publisher_key();
    show_box("CLEANED OKAY", "", MB_OK | MB_ICONINFORMATION);
}

// Takes the named mutex of this run into mutex, which stays empty when
// none could be had (the run then goes on unguarded). Shows the box and
// returns false when another copy holds it.
static bool take_run_mutex(handle_owner& mutex)
{
    mutex.reset(CreateMutexA(nullptr, 0, RUN_MUTEX_NAME));
    const DWORD error = GetLastError();
    if ((mutex.valid() && error == static_cast<DWORD>(ERROR_ALREADY_EXISTS)) ||
        (!mutex.valid() && error == static_cast<DWORD>(ERROR_ACCESS_DENIED))) {
        mutex.close();
        warn_user("%s", ALREADY_RUNNING);
        return false;
    }
    return true;
}

namespace
{

// In the order of run_mode.
constexpr const char* MODE_NAMES[] = {"clean", "uninstall", "install", "resume after a restart"};

// The titles' registrations as this run finds them, for the log.
void log_registrations()
{
    for (const char* code : ALL_PRODUCT_CODES) {
        char title[DISPLAY_NAME_BUFFER_SIZE];
        if (!uninstall_entry_exists(code)) {
            continue;
        }
        if (!read_display_name(code, title)) {
            title[0] = '\0';
        }
        const bool redirected = has_real_uninstaller_beside(code);
        log_line("Found \"%s\" under %s%s", title, code, redirected ? ", its uninstaller redirected" : "");
    }
}

} // namespace

int patch_main()
{
    CoInitialize(nullptr);
    record_module_path();
    const run_mode mode = choose_run_mode(command_line_after_program_name(GetCommandLineA()), module_path);
    log_line("Kestova Patch %s begins (%s): %s", KESTOVA_VERSION, MODE_NAMES[static_cast<int>(mode)],
             module_path);
    handle_owner run_mutex;
    if (!take_run_mutex(run_mutex)) {
        log_line("Run ends");
        return 0;
    }
    // Every mode changes registrations (clean deletes them, the resumed run
    // repairs them): none may act under the feet of a program an earlier
    // run started, nor take away that run's arrangement for a restart. The
    // run after a restart waits for it; if the user would rather not, the
    // next logon tries again (the system deleted its entry before it ran).
    const bool at_work =
        mode == run_mode::resume ? wait_for_earlier_started_programs() : earlier_started_programs_at_work();
    if (at_work) {
        if (mode == run_mode::resume) {
            arrange_resume_after_restart();
        }
        run_mutex.close();
        log_line("Run ends");
        return 0;
    }

    log_registrations();
    switch (mode) {
    case run_mode::clean:
        clean_mode();
        break;
    case run_mode::uninstall_stage:
        uninstall_stage();
        break;
    case run_mode::install_stage:
        install_stage();
        break;
    case run_mode::resume:
        resume_after_restart();
        break;
    }
    settle_resume_arrangement();
    run_mutex.close();
    log_line("Run ends");
    return 0;
}

void resume_after_restart()
{
    put_right_interrupted_run();
}
