// Makes sure the title about to be installed will find DirectX 9.0, and
// offers a DirectX setup when the installed release is older.
#include "directx_version/directx_version.h"
#include "main/main.h"
#include "misc/misc.h"

using namespace platform;

namespace
{

constexpr PackedDirectXVersion REQUIRED_DIRECTX_VERSION = 0x00090000;
constexpr UINT DIRECTX_QUESTION_STYLE = MB_YESNO | MB_ICONQUESTION;
constexpr std::size_t SETUP_PATH_BUFFER_SIZE = 512;

constexpr char KS2_DIRECTX_QUESTION[] =
    "Kestova 2 requires DirectX81b\n\nDo you want to install DirectX9 now?";
constexpr char KS3_DIRECTX_QUESTION[] = "Kestova 3 requires DirectX9\n\nDo you want to install DirectX9 now?";
// Relative to the current directory the patch was started with.
constexpr char XP_DIRECTX_SETUP[] = "directx81\\dxsetup.exe";
constexpr char OTHER_DIRECTX_SETUP[] = "directx81b\\dxsetup.exe";
// Below the disc's root.
constexpr char DISC_DIRECTX_SETUP[] = "\\directx9\\dxsetup.exe";

// The file table's releases run from 1.0 to 9.0 (d3d9.dll), so its major
// alone says whether it has found 9.0.
constexpr std::int32_t REQUIRED_DIRECTX_MAJOR = 9;

// A failed measurement leaves the packed value 0, which counts as too old.
PackedDirectXVersion measure_directx_version()
{
    PackedDirectXVersion packed = 0;
    query_directx_version(&packed, nullptr, 0);
    return packed;
}

// The system files' versions take milliseconds to read, the diagnostics
// provider more than a second to start (1.5 s under Wine). When the files
// show 9.0 that settles it; otherwise the full measurement decides, the
// provider first, exactly as it would have without this look.
bool system_files_show_required_version()
{
    std::int32_t major = 0;
    std::int32_t minor = 0;
    char letter = ' ';
    return SUCCEEDED(directx_version_from_file_versions(&major, &minor, &letter)) &&
           major >= REQUIRED_DIRECTX_MAJOR;
}

bool installed_directx_too_old()
{
    return !system_files_show_required_version() && measure_directx_version() < REQUIRED_DIRECTX_VERSION;
}

bool user_wants_directx_setup(const char* question)
{
    return show_box(question, PATCH_CAPTION, DIRECTX_QUESTION_STYLE) == IDYES;
}

// The setup runs on by itself: it is neither waited for nor checked.
void start_directx_setup(const char* file)
{
    ShellExecuteA(nullptr, nullptr, file, nullptr, nullptr, SW_SHOW);
}

// A drive root too long for the buffer is not started: a cut path would name
// another file.
void start_disc_directx_setup(const char* drive)
{
    char path[SETUP_PATH_BUFFER_SIZE];
    if (drive == nullptr || !format_text(path, sizeof path, "%s", drive) ||
        !append_path(path, DISC_DIRECTX_SETUP)) {
        return;
    }
    start_directx_setup(path);
}

} // namespace

int check_directx_prerequisite(const char* drive)
{
    int result = 1;
    const bool too_old = installed_directx_too_old();

    if (installing_ks2 && too_old) {
        result = 0;
        if (user_wants_directx_setup(KS2_DIRECTX_QUESTION)) {
            start_directx_setup(is_windows_xp() ? XP_DIRECTX_SETUP : OTHER_DIRECTX_SETUP);
        }
    }
    if (installing_ks3 && too_old) {
        result = 0;
        if (user_wants_directx_setup(KS3_DIRECTX_QUESTION)) {
            start_disc_directx_setup(drive);
        }
    }
    return result;
}

int is_windows_xp()
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    // A failed call leaves the record zero, which is not Windows XP.
    GetVersionExA(&info);
    return info.dwMajorVersion == 5 && info.dwMinorVersion == 1 && info.dwPlatformId == VER_PLATFORM_WIN32_NT
               ? 1
               : 0;
}
