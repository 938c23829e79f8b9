// Finding the other title's disc, checking its setup build, running the
// setup and waiting until it signals through its named mutex.
#include "log/log.h"
#include "main/main.h"
#include "misc/misc.h"

#include <cstdint>
#include <cstring>

using namespace platform;

namespace
{

constexpr DWORD KNOWN_SETUP_STAMPS[] = {0x3F746D6D, 0x41640D89};
constexpr DWORD PE_SIGNATURE = 0x00004550; // "PE\0\0"
constexpr long HEADER_OFFSET_POSITION = 60;
constexpr std::size_t NT_HEADERS_SIZE = 248;
constexpr std::size_t TIME_STAMP_OFFSET = 8;

// The wait for the setup's mutex polls without keeping a processor busy,
// and gives up when every process of the setup's chain has ended without
// it ever signalling, or, when nothing of the setup can be watched, after a
// generous time limit.
constexpr DWORD MUTEX_POLL_INTERVAL_MS = 50;
constexpr DWORD GRACE_AFTER_SETUP_ENDED_MS = 30 * 1000;
constexpr DWORD WAIT_LIMIT_WITHOUT_PROCESS_MS = 30 * 60 * 1000;
#if defined(KESTOVA_CRASH_TEST)
// The crash-test build's setup stand-ins have registered when they signal;
// a short pause keeps the thousands of runs of the crash matrix cheap.
constexpr DWORD PAUSE_AFTER_MUTEX_MS = 100;
#else
constexpr DWORD PAUSE_AFTER_MUTEX_MS = 5000;
#endif
constexpr char SETUP_MUTEX_TAKEN[] =
    "Another program of the titles is running (a configuration program or a game), so the patch could not "
    "tell when the disc's setup is ready.\n\nClose it, then click on Retry.\nClick on Cancel to stop: the "
    "installed title is kept as it was.";

struct wanted_disc {
    const char* label;
    const char* title;
    int* installing_flag;
};

DWORD little_endian_32(const BYTE* bytes)
{
    return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
           static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

[[noreturn]] void invalid_setup_file(CRT_FILE* file)
{
    crt_fclose(file);
    fatal_error("Invalid setup.exe file (win header not found)");
}

bool read_at(CRT_FILE* file, DWORD offset, BYTE* buffer, std::size_t size)
{
    if (offset > 0x7FFFFFFFu || crt_fseek(file, static_cast<long>(offset), CRT_SEEK_SET) != 0) {
        return false;
    }
    return crt_fread(buffer, 1, size, file) == size;
}

// Asks whether to install from this disc. Only No declines.
bool user_accepts_disc(const char* root, const char* title)
{
    char question[128];
    format_text(question, sizeof question, "Found %s in drive %s.\n\nInstall %s?", title, root, title);
    return show_box(question, PATCH_CAPTION, MB_YESNO | MB_ICONWARNING) != IDNO;
}

const wanted_disc* disc_in_drive(const char* root)
{
    static const wanted_disc ks3_disc = {KS3_DISC_LABEL, KS3_DISPLAY_NAME, &installing_ks3};
    static const wanted_disc ks2_disc = {KS2_DISC_LABEL, KS2_DISPLAY_NAME, &installing_ks2};
    if (strnlen(root, 4) > 3 || GetDriveTypeA(root) != DRIVE_CDROM) {
        return nullptr;
    }
    char label[512];
    char file_system[512];
    DWORD max_component_length = 0;
    DWORD file_system_flags = 0;
    if (!GetVolumeInformationA(root, label, sizeof label, nullptr, &max_component_length, &file_system_flags,
                               file_system, sizeof file_system)) {
        return nullptr;
    }
    label[sizeof label - 1] = '\0';
    if (is_ks2_installed && compare_ignoring_case(label, KS3_DISC_LABEL) == 0) {
        return &ks3_disc;
    }
    if (is_ks3_installed && compare_ignoring_case(label, KS2_DISC_LABEL) == 0) {
        return &ks2_disc;
    }
    return nullptr;
}

// Scans the CD-ROM drives in the system's order for the other title's disc
// and asks the user. Copies the accepted drive's root into root.
bool choose_disc(char (&root)[4])
{
    char drives[512] = "";
    const DWORD length = GetLogicalDriveStringsA(sizeof drives, drives);
    const char* end = drives + (length < sizeof drives ? length : 0);
    for (const char* drive = drives; drive < end && *drive != '\0';
         drive += strnlen(drive, end - drive) + 1) {
        const wanted_disc* disc = disc_in_drive(drive);
        if (disc == nullptr || !user_accepts_disc(drive, disc->title)) {
            continue;
        }
        *disc->installing_flag = 1;
        std::memcpy(root, drive, strnlen(drive, 3) + 1);
        return true;
    }
    return false;
}

bool setup_mutex_exists()
{
    const handle_owner mutex(OpenMutexA(SYNCHRONIZE, 0, SETUP_MUTEX_NAME));
    return mutex.valid();
}

// The setup's signal counts only when the setup made it: a program that
// holds the mutex already (a configuration program or a game of the
// titles left open) would make the wait end before the setup has done
// anything. False when the user stops.
bool setup_mutex_free()
{
    while (setup_mutex_exists()) {
        if (show_box(SETUP_MUTEX_TAKEN, PATCH_CAPTION, MB_RETRYCANCEL | MB_ICONWARNING) != IDRETRY) {
            return false;
        }
    }
    return true;
}

// Polls for the setup's mutex. Between attempts it waits on the setup's
// chain (or sleeps), so the wait costs next to no processor time. The
// give-up time runs only from the moment the whole chain has ended: a
// bootstrapper that ends at once while its engine goes on is still at work.
// A setup that signalled and ended between two looks took its mutex with
// it; the title it registered under the shared code (free when it started)
// tells that it did its work.
int wait_for_setup_mutex(program_chain* chain)
{
    const DWORD started = GetTickCount();
    const bool watched = chain_can_be_watched(*chain);
    bool chain_ended = false;
    DWORD ended_at = 0;
    for (;;) {
        if (setup_mutex_exists()) {
            return 1;
        }
        const DWORD now = GetTickCount();
        if (chain_ended) {
            if (now - ended_at >= GRACE_AFTER_SETUP_ENDED_MS) {
                return 0;
            }
            Sleep(MUTEX_POLL_INTERVAL_MS);
        } else if (watched) {
            if (wait_for_chain_end(chain, MUTEX_POLL_INTERVAL_MS)) {
                if (uninstall_entry_exists(SHARED_PRODUCT_CODE)) {
                    return 1;
                }
                chain_ended = true;
                ended_at = GetTickCount();
            }
        } else {
            if (now - started >= WAIT_LIMIT_WITHOUT_PROCESS_MS) {
                return 0;
            }
            Sleep(MUTEX_POLL_INTERVAL_MS);
        }
    }
}

// Starts the disc's setup with the drive root as working directory and
// waits for its mutex, then for the end of its whole chain: what the setup
// writes after its signal (its log, a last value, a game or tool it starts
// at its end) must land before the new title is moved and the installed
// title comes back. 0 when it did not start, never signalled, or the user
// stopped before it started.
int run_setup_and_wait(const char* root)
{
    char setup[128];
    format_text(setup, sizeof setup, "%s\\setup.exe", root);
    if (!setup_mutex_free()) {
        return 0;
    }

    program_chain chain{};
    if (!start_program_chain(setup, root, &chain)) {
        warn_user("Failed to run setup.exe from cdrom drive");
        return 0;
    }
    const int signalled = wait_for_setup_mutex(&chain);
    if (signalled) {
        log_line("The setup has signalled: waiting for every program it started to end");
        wait_for_chain_end(&chain, INFINITE);
    }
    close_program_chain(&chain);
    if (!signalled) {
        warn_user("Gave up waiting for setup.exe from the cdrom drive: it did not signal that it was ready.\n"
                  "The installed title is kept as it was.");
        return 0;
    }
    Sleep(PAUSE_AFTER_MUTEX_MS);
    return 1;
}

} // namespace

int disc_needs_patch(const char* drive)
{
    char path[512];
    if (!format_text(path, sizeof path, "%s", drive) || !append_path(path, "\\setup.exe")) {
        fatal_error("Error reading file: %s", drive);
    }
    CRT_FILE* file = crt_fopen(path, "rb");
    if (file == nullptr) {
        fatal_error("Error reading file: %s", path);
    }

    BYTE offset_bytes[4];
    if (!read_at(file, HEADER_OFFSET_POSITION, offset_bytes, sizeof offset_bytes)) {
        invalid_setup_file(file);
    }
    BYTE headers[NT_HEADERS_SIZE];
    if (!read_at(file, little_endian_32(offset_bytes), headers, sizeof headers) ||
        little_endian_32(headers) != PE_SIGNATURE) {
        invalid_setup_file(file);
    }
    crt_fclose(file);

    const DWORD stamp = little_endian_32(headers + TIME_STAMP_OFFSET);
    for (DWORD known : KNOWN_SETUP_STAMPS) {
        if (stamp == known) {
            return 1;
        }
    }
    return 0;
}

int find_disc_and_run_setup()
{
    char root[4];
    if (!choose_disc(root)) {
        if (is_ks2_installed) {
            warn_user("Could not find 'Kestova 3' in any CDROM drive");
        }
        if (is_ks3_installed) {
            warn_user("Could not find 'Kestova 2' in any CDROM drive");
        }
        return 0;
    }
    if (!disc_needs_patch(root)) {
        warn_user(
            "The game cd in the drive doesn't require the patch to be used.\nPlease install straight from "
            "the cdrom.");
        return 0;
    }
    if (!check_directx_prerequisite(root)) {
        return 0;
    }
    return run_setup_and_wait(root);
}
