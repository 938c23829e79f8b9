// Fuzz target: the "UninstallString" and "LogFile" values of an uninstall
// entry, read by the product-code relocation and the uninstall redirection.
//
// Input: one flag byte, a 16-bit little-endian length of the
// "UninstallString" text, that text, and the "LogFile" text (the rest).
// Flag bits 0-1 and 2-3 say how each text is stored (REG_SZ with each byte
// widened through the code page, REG_SZ with the bytes as raw UTF-16 data,
// REG_EXPAND_SZ widened, REG_BINARY), bits 4 and 5 whether each gets a
// terminator, bit 6 picks the parking code instead of the alternate code as
// destination, bit 7 puts an entry under the destination beforehand.
#include "fuzz_machine.h"

#include <cctype>
#include <cstring>

using namespace fuzz;

namespace
{

constexpr std::size_t TEXT_SIZE = 512;
constexpr char MODULE_FILE[] = "C:\\Patch\\kestova-patch.exe";
constexpr char MODULE_PATH_LOWER[] = "c:\\patch\\kestova-patch.exe";
constexpr char DISPLAY_NAME_STORED[] = "Kestova 2";
constexpr DWORD UNINSTALLER_RUN_MS = 5000;

enum class encoding { widened_sz, raw_sz, widened_expand_sz, binary };

struct value_spec {
    encoding how;
    bool terminated;
};

// Stores text the way spec says, under the value name in the entry.
void store_value(const std::string& entry, const char* name, const std::string& text, value_spec spec)
{
    std::vector<BYTE> data;
    DWORD type = platform::REG_SZ;
    switch (spec.how) {
    case encoding::widened_sz:
    case encoding::widened_expand_sz:
        data = utf16_bytes(ansi_to_utf16(text));
        if (spec.terminated) {
            data.insert(data.end(), 2, 0);
        }
        type = spec.how == encoding::widened_sz ? platform::REG_SZ : platform::REG_EXPAND_SZ;
        break;
    case encoding::raw_sz:
        data.assign(text.begin(), text.end());
        if (spec.terminated) {
            data.insert(data.end(), 2, 0);
        }
        break;
    case encoding::binary:
        data.assign(text.begin(), text.end());
        if (spec.terminated) {
            data.push_back(0);
        }
        type = platform::REG_BINARY;
        break;
    }
    sim::set_value(platform::HKEY_LOCAL_MACHINE, entry, name, type, data);
}

// The text a 512-byte read makes of a value, as the patch takes it: cut at
// its first NUL, a terminator added when there is room for one. nullopt
// when the read fails or the text is not terminated within the buffer.
std::optional<std::string> readable_text(const std::optional<std::string>& narrow)
{
    if (!narrow || narrow->size() > TEXT_SIZE) {
        return std::nullopt;
    }
    const std::size_t nul = narrow->find('\0');
    if (nul != std::string::npos) {
        return narrow->substr(0, nul);
    }
    if (narrow->size() == TEXT_SIZE) {
        return std::nullopt;
    }
    return *narrow;
}

bool names_code(const std::string& text, std::size_t at, const char* code)
{
    return same_ignoring_case(std::string_view(text).substr(at, PRODUCT_CODE_LENGTH), code);
}

// The text with the 38 characters from its first "{" replaced by code;
// nullopt when those 38 characters are not the code being moved (the
// shared code) or the one it moves to, compared without regard to case.
std::optional<std::string> rewritten(const std::optional<std::string>& text, const char* code)
{
    if (!text) {
        return std::nullopt;
    }
    const std::size_t brace = text->find('{');
    if (brace == std::string::npos || text->size() - brace < PRODUCT_CODE_LENGTH ||
        !(names_code(*text, brace, SHARED_PRODUCT_CODE) || names_code(*text, brace, code))) {
        return std::nullopt;
    }
    std::string out = *text;
    out.replace(brace, PRODUCT_CODE_LENGTH, code, PRODUCT_CODE_LENGTH);
    return out;
}

// The product folder named by an uninstall string: from after its first
// double quote up to and including the first "}" after that.
std::optional<std::string> product_folder(const std::optional<std::string>& text)
{
    if (!text) {
        return std::nullopt;
    }
    const std::size_t quote = text->find('"');
    if (quote == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t brace = text->find('}', quote + 1);
    if (brace == std::string::npos) {
        return std::nullopt;
    }
    return text->substr(quote + 1, brace - quote);
}

bool is_file(const std::string& ansi_path)
{
    const DWORD attributes = platform::GetFileAttributesA(ansi_path.c_str());
    return attributes != platform::INVALID_FILE_ATTRIBUTES &&
           (attributes & platform::FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Where a product folder belongs when the text's folder does not exist:
// under the install-info root, named as the product code that ends the
// text. Empty when the text does not end with one.
std::string known_place(const std::string& folder)
{
    constexpr std::size_t CODE_LENGTH = 38;
    if (folder.size() < CODE_LENGTH || folder[folder.size() - CODE_LENGTH] != '{') {
        return std::string();
    }
    return std::string(install_info_root()) + "\\" + folder.substr(folder.size() - CODE_LENGTH);
}

bool one_of(const std::string& text, std::initializer_list<const char*> allowed)
{
    for (const char* candidate : allowed) {
        if (text.rfind(candidate, 0) == 0) {
            return true;
        }
    }
    return false;
}

void set_up_machine(byte_reader& input, const char** dest_code)
{
    const std::uint8_t flags = input.byte();
    const std::size_t uninstall_length = input.u16();
    const std::vector<BYTE> uninstall_bytes = input.take(uninstall_length);
    const std::vector<BYTE> log_bytes = input.rest();

    const value_spec uninstall_spec{static_cast<encoding>(flags & 3), (flags & 0x10) != 0};
    const value_spec log_spec{static_cast<encoding>((flags >> 2) & 3), (flags & 0x20) != 0};
    *dest_code = (flags & 0x40) ? PARKING_PRODUCT_CODE : ALTERNATE_PRODUCT_CODE;

    std::snprintf(module_path, sizeof module_path, "%s", MODULE_PATH_LOWER);
    sim::add_file(MODULE_FILE, {'M', 'Z', 'p', 'a', 't', 'c', 'h'});

    const std::string folder = std::string(install_info_root()) + "\\" + SHARED_PRODUCT_CODE;
    sim::add_file(folder + "\\setup.exe", {'M', 'Z', 'i', 's'});
    sim::add_file(folder + "\\setup.ilg", {1, 2, 3});

    const std::string entry = uninstall_entry_path(SHARED_PRODUCT_CODE);
    sim::set_string(platform::HKEY_LOCAL_MACHINE, entry, "DisplayName", DISPLAY_NAME_STORED);
    store_value(entry, "UninstallString", std::string(uninstall_bytes.begin(), uninstall_bytes.end()),
                uninstall_spec);
    store_value(entry, "LogFile", std::string(log_bytes.begin(), log_bytes.end()), log_spec);
    sim::set_string(platform::HKEY_LOCAL_MACHINE, entry + "\\Components", "Main", "files");

    if (flags & 0x80) {
        const std::string existing = uninstall_entry_path(*dest_code);
        sim::set_string(platform::HKEY_LOCAL_MACHINE, existing, "UninstallString", "\"C:\\Elsewhere\\{x}\"");
        sim::set_string(platform::HKEY_LOCAL_MACHINE, existing, "Extra", "kept");
    }
}

void check_folder_move(const char* dest_code)
{
    const std::string entry = uninstall_entry_path(SHARED_PRODUCT_CODE);
    const std::optional<std::string> text = readable_text(narrow_value(entry, "UninstallString"));
    const std::optional<std::string> folder = product_folder(text);
    const std::optional<std::string> renamed = rewritten(folder, dest_code);
    // The folder moves only when the entry's move that follows can rewrite
    // both texts too.
    const bool entry_movable =
        rewritten(text, dest_code).has_value() &&
        rewritten(readable_text(narrow_value(entry, "LogFile")), dest_code).has_value();
    const std::string folder_before = sim::dump_directory(ansi_to_utf8(install_info_root()));

    const int handles = sim::open_handle_count();
    int result = -1;
    const outcome run =
        run_operation([&] { result = move_install_info_folder(SHARED_PRODUCT_CODE, dest_code); });
    FUZZ_CHECK(run.exit_code == 0);
    // A folder the system cannot look at (a name Windows refuses, say) stops
    // the run before any change, whatever the texts hold.
    const bool uncertain = run.ended && one_of(run.box, {"The product folder of the title under"});
    FUZZ_CHECK_DETAIL(uncertain || run.ended == !(renamed.has_value() && entry_movable), run.box);
    if (run.ended) {
        FUZZ_CHECK_DETAIL(one_of(run.box, {"Error when getting uninstall string (",
                                           "Error in uninstall string", "Error when getting logfile name (",
                                           "ASSERT ptr", "The product folder of the title under"}),
                          run.box);
        FUZZ_CHECK(sim::dump_directory(ansi_to_utf8(install_info_root())) == folder_before);
        return;
    }
    FUZZ_CHECK(sim::open_handle_count() == handles);
    FUZZ_CHECK(result == 0 || result == 1);
    if (result == 1) {
        // Where the text names it, or when that does not exist, at the
        // folder's known place under the code.
        const std::string known = std::string(install_info_root()) + "\\" + dest_code;
        FUZZ_CHECK_DETAIL(
            platform::GetFileAttributesA(renamed->c_str()) != platform::INVALID_FILE_ATTRIBUTES ||
                platform::GetFileAttributesA(known.c_str()) != platform::INVALID_FILE_ATTRIBUTES,
            *renamed);
    }
}

// The type a moved entry's text is written with: an expandable text stays
// expandable, anything else becomes REG_SZ.
DWORD rewritten_type(const std::string& entry, const char* name)
{
    const auto value = sim::get_value(platform::HKEY_LOCAL_MACHINE, entry, name);
    return value && value->type == platform::REG_EXPAND_SZ ? platform::REG_EXPAND_SZ : platform::REG_SZ;
}

// Returns the code whose entry stands after the move.
const char* check_entry_move(const char* dest_code)
{
    const std::string source = uninstall_entry_path(SHARED_PRODUCT_CODE);
    const std::string dest = uninstall_entry_path(dest_code);
    const std::optional<std::string> uninstall_before = narrow_value(source, "UninstallString");
    const std::optional<std::string> log_before = narrow_value(source, "LogFile");
    const std::optional<std::string> uninstall_after = rewritten(readable_text(uninstall_before), dest_code);
    const std::optional<std::string> log_after = rewritten(readable_text(log_before), dest_code);
    const bool dest_existed = sim::key_exists(platform::HKEY_LOCAL_MACHINE, dest);
    const DWORD uninstall_type = rewritten_type(source, "UninstallString");
    const DWORD log_type = rewritten_type(source, "LogFile");

    const int handles = sim::open_handle_count();
    const outcome run = run_operation([&] { move_uninstall_entry(SHARED_PRODUCT_CODE, dest_code); });
    FUZZ_CHECK(run.exit_code == 0);
    FUZZ_CHECK_DETAIL(run.ended == !(uninstall_after && log_after), run.box);
    if (run.ended) {
        // A value that cannot be rewritten leaves the entry as it was.
        FUZZ_CHECK_DETAIL(one_of(run.box, {"Error when getting uninstall string (",
                                           "Error when getting logfile name (", "ASSERT ptr"}),
                          run.box);
        FUZZ_CHECK(sim::key_exists(platform::HKEY_LOCAL_MACHINE, source));
        FUZZ_CHECK(narrow_value(source, "UninstallString") == uninstall_before);
        FUZZ_CHECK(narrow_value(source, "LogFile") == log_before);
        return SHARED_PRODUCT_CODE;
    }
    FUZZ_CHECK(sim::open_handle_count() == handles);
    FUZZ_CHECK(!sim::key_exists(platform::HKEY_LOCAL_MACHINE, source));
    FUZZ_CHECK(sim::key_exists(platform::HKEY_LOCAL_MACHINE, dest));
    FUZZ_CHECK(narrow_value(dest, "UninstallString") == *uninstall_after + '\0');
    FUZZ_CHECK(narrow_value(dest, "LogFile") == *log_after + '\0');
    FUZZ_CHECK(sim::get_value(platform::HKEY_LOCAL_MACHINE, dest, "UninstallString")->type == uninstall_type);
    FUZZ_CHECK(sim::get_value(platform::HKEY_LOCAL_MACHINE, dest, "LogFile")->type == log_type);
    FUZZ_CHECK(narrow_value(dest, "DisplayName") == std::string(DISPLAY_NAME_STORED) + '\0');
    FUZZ_CHECK(sim::get_string(platform::HKEY_LOCAL_MACHINE, dest + "\\Components", "Main") == "files");
    if (dest_existed) {
        FUZZ_CHECK(sim::get_string(platform::HKEY_LOCAL_MACHINE, dest, "Extra") == "kept");
    }
    return dest_code;
}

void check_redirect(const char* code)
{
    const std::optional<std::string> folder =
        product_folder(readable_text(narrow_value(uninstall_entry_path(code), "UninstallString")));

    const int handles = sim::open_handle_count();
    int result = -1;
    const outcome run = run_operation([&] { result = prepare_uninstall_redirect(code); });
    FUZZ_CHECK(run.exit_code == 0);
    if (!folder) {
        FUZZ_CHECK_DETAIL(run.ended, "an unusable uninstall string was taken");
    }
    if (run.ended) {
        FUZZ_CHECK_DETAIL(
            one_of(run.box,
                   {"Error when getting uninstall string from registry (", "Error in uninstall string",
                    "Failed to copy setup.exe for uninstall", "The product folder of the title under"}),
            run.box);
        return;
    }
    FUZZ_CHECK(sim::open_handle_count() == handles);
    FUZZ_CHECK(result == 0 || result == 1);
    if (result == 1) {
        // The folder the text names, or when that does not exist, the
        // folder's known place.
        const std::string known = known_place(*folder);
        const bool at_text = is_file(*folder + "\\setup.exe") && is_file(*folder + "\\setup_is.exe");
        const bool at_known =
            !known.empty() && is_file(known + "\\setup.exe") && is_file(known + "\\setup_is.exe");
        FUZZ_CHECK_DETAIL(at_text || at_known, *folder);
    }
}

void check_real_uninstaller(const char* code)
{
    const std::optional<std::string> folder =
        product_folder(readable_text(narrow_value(uninstall_entry_path(code), "UninstallString")));
    // The folder the text names, or when that does not exist, the folder's
    // known place.
    const std::string known = folder ? known_place(*folder) : std::string();
    const std::size_t starts_before = sim::started_programs().size();
    for (const std::optional<std::string>& place :
         {folder, known.empty() ? std::nullopt : std::optional(known)}) {
        if (place && is_file(*place + "\\setup_is.exe")) {
            // The real uninstaller ends after a while, as a user's removal
            // does: how long it runs is not what this target is about.
            sim::add_program(ansi_to_utf8(*place + "\\setup_is.exe"),
                             [](const sim::started_program&) { return UNINSTALLER_RUN_MS; });
        }
    }

    const int handles = sim::open_handle_count();
    int result = -1;
    const outcome run = run_operation([&] { result = run_real_uninstaller(code); });
    FUZZ_CHECK(run.exit_code == 0);
    if (!folder) {
        FUZZ_CHECK_DETAIL(run.ended, "an unusable uninstall string was taken");
    }
    if (run.ended) {
        FUZZ_CHECK_DETAIL(
            one_of(run.box, {"Error when getting uninstall string from registry (",
                             "Error in uninstall string", "The product folder of the title under"}),
            run.box);
        return;
    }
    FUZZ_CHECK(sim::open_handle_count() == handles);
    // A user who stops waiting while the uninstaller still runs gets
    // UNINSTALLER_STILL_RUNNING (an uninstaller that never ends).
    FUZZ_CHECK(result == 0 || result == 1 || result == UNINSTALLER_STILL_RUNNING);
    const auto& started = sim::started_programs();
    // Started suspended first; the shell tries again only when that failed.
    const std::size_t attempts = started.size() - starts_before;
    FUZZ_CHECK(attempts == 1 || attempts == 2);
    FUZZ_CHECK(started[starts_before].call == "CreateProcessA");
    FUZZ_CHECK(attempts == 1 || started[starts_before].result == 0);
    // A text of MAX_PATH characters or more names its folder only once it is
    // normalised (".." resolved, dots and blanks that end a component
    // dropped), so only the program's name can be checked then.
    constexpr std::size_t MAX_PATH_LENGTH = 260;
    const std::string program = "\\setup_is.exe";
    for (std::size_t i = starts_before; i < started.size(); ++i) {
        // The simulation records the file as UTF-8.
        const std::string& file = started[i].file;
        FUZZ_CHECK_DETAIL(same_ignoring_case(file, ansi_to_utf8(*folder + program)) ||
                              (!known.empty() && same_ignoring_case(file, ansi_to_utf8(known + program))) ||
                              (folder->size() >= MAX_PATH_LENGTH && file.size() > program.size() &&
                               same_ignoring_case(file.substr(file.size() - program.size()), program)),
                          file);
    }
    FUZZ_CHECK((result != 0) == (started.back().result > 32));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    byte_reader input(data, size);
    const machine_scope machine;
    const char* dest_code = nullptr;
    set_up_machine(input, &dest_code);

    check_folder_move(dest_code);
    const char* entry_code = check_entry_move(dest_code);
    check_redirect(entry_code);
    check_real_uninstaller(entry_code);
    return 0;
}
