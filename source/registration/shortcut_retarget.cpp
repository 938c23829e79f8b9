// Making the new title's "Uninstall" Start-menu shortcut name its new
// product code.
#include "log/log.h"
#include "misc/misc.h"
#include "registration/registration.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr int FALSE = 0;

// The plain words that follow every failure: the shortcut still names the
// shared code, so it would start the other title's uninstaller.
constexpr char SHORTCUT_NOT_USABLE[] =
    "The \"Uninstall %s\" shortcut in the Start menu could not be changed and would start the other "
    "title's uninstaller: do not use it. Remove %s through Add/Remove Programs, which removes it correctly.";

const char* title_being_installed()
{
    return installing_ks2 ? KS2_DISPLAY_NAME : KS3_DISPLAY_NAME;
}

// Tells why the retarget failed and what that means for the user. Only the
// shortcut is affected, so the stage goes on. Returns 0.
int retarget_failed(const char* cause)
{
    char explanation[512];
    format_text(explanation, sizeof explanation, SHORTCUT_NOT_USABLE, title_being_installed(),
                title_being_installed());
    warn_user("%s\n\n%s", cause, explanation);
    return 0;
}

int path_too_long(const char* path)
{
    char cause[TEXT_BUFFER_SIZE + 32];
    format_text(cause, sizeof cause, "Start menu path too long: %s", path);
    return retarget_failed(cause);
}

// The Start menu's Programs folder of all users, or the current user's
// when the all-users folder's location cannot be had.
int programs_folder(char (&path)[TEXT_BUFFER_SIZE])
{
    PIDLIST_ABSOLUTE id_list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_PROGRAMS, &id_list)) &&
        FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &id_list))) {
        return retarget_failed("Failed to get start menu path");
    }
    const BOOL converted = SHGetPathFromIDListA(id_list, path);
    ILFree(id_list);
    if (!converted) {
        return retarget_failed("Failed to get start menu path from id list");
    }
    return 1;
}

const char* shortcut_of_title_being_installed()
{
    if (installing_ks2) {
        return KS2_SHORTCUT;
    }
    if (installing_ks3) {
        return KS3_SHORTCUT;
    }
    ASSERT(FALSE);
    return nullptr;
}

struct arguments_rewrite {
    const char* new_guid;
    bool malformed;
};

// Only the product code changes, and only where the arguments' first "{"
// begins the code the title was registered under. Arguments that already
// name the new code stay as they are (a retarget repeated after an
// interruption).
bool rewrite_arguments(char* arguments, int capacity, void* context)
{
    arguments_rewrite* rewrite = static_cast<arguments_rewrite*>(context);
    arguments[capacity - 1] = '\0';
    char* code = find_product_code_of(arguments, SHARED_PRODUCT_CODE, rewrite->new_guid);
    if (code == nullptr) {
        rewrite->malformed = true;
        return false;
    }
    if (find_product_code_of(arguments, rewrite->new_guid, nullptr) != nullptr) {
        return false;
    }
    overwrite_product_code(code, rewrite->new_guid);
    return true;
}

} // namespace

// The shortcut is rewritten in place: its arguments change, every other
// property (target, working folder, icon, hot key, show command,
// description) stays; arguments that do not fit are refused, never cut.
int retarget_uninstall_shortcut(const char* new_guid)
{
    const char* relative = shortcut_of_title_being_installed();
    char shortcut_path[TEXT_BUFFER_SIZE];
    if (!programs_folder(shortcut_path)) {
        return 0;
    }
    WCHAR wide_path[MAX_PATH];
    if (!append_path(shortcut_path, relative) ||
        MultiByteToWideChar(CP_ACP, 0, shortcut_path, -1, wide_path, MAX_PATH) == 0) {
        return path_too_long(shortcut_path);
    }

    log_line("Pointing the shortcut %s at %s", shortcut_path, new_guid);
    arguments_rewrite rewrite{new_guid, false};
    const HRESULT result = shell_link_rewrite_arguments(wide_path, static_cast<int>(TEXT_BUFFER_SIZE),
                                                        rewrite_arguments, &rewrite);
    if (rewrite.malformed) {
        return retarget_failed("Error in shortcut file");
    }
    if (FAILED(result)) {
        char cause[64];
        format_text(cause, sizeof cause, "FAILED: 0x%lx",
                    static_cast<unsigned long>(static_cast<DWORD>(result)));
        return retarget_failed(cause);
    }
    return 1;
}
