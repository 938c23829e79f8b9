// Making the new title's "Uninstall" Start-menu shortcut name its new
// product code.
#include "main/main.h"
#include "main/registry_text.h"
#include "misc/misc.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr int FALSE = 0;

// The Start menu's Programs folder of all users, or the current user's
// when the all-users folder's location cannot be had.
int programs_folder(char (&path)[TEXT_BUFFER_SIZE])
{
    PIDLIST_ABSOLUTE id_list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_PROGRAMS, &id_list)) &&
        FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_PROGRAMS, &id_list))) {
        warn_user("Failed to get start menu path");
        return 0;
    }
    const BOOL converted = SHGetPathFromIDListA(id_list, path);
    ILFree(id_list);
    if (!converted) {
        warn_user("Failed to get start menu path from id list");
        return 0;
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

[[noreturn]] void shortcut_call_failed(HRESULT result)
{
    fatal_error("FAILED: 0x%lx", static_cast<unsigned long>(static_cast<DWORD>(result)));
}

} // namespace

int retarget_uninstall_shortcut(const char* new_guid)
{
    char shortcut_path[TEXT_BUFFER_SIZE];
    if (!programs_folder(shortcut_path)) {
        return 0;
    }
    if (!append_path(shortcut_path, shortcut_of_title_being_installed())) {
        fatal_error("Start menu path too long: %s", shortcut_path);
    }

    char target[TEXT_BUFFER_SIZE];
    char arguments[TEXT_BUFFER_SIZE];
    char description[TEXT_BUFFER_SIZE];
    const HRESULT read = read_shortcut(nullptr, shortcut_path, target, arguments, description);
    if (FAILED(read)) {
        shortcut_call_failed(read);
    }

    char new_arguments[TEXT_BUFFER_SIZE];
    std::memcpy(new_arguments, arguments, sizeof new_arguments);
    new_arguments[sizeof new_arguments - 1] = '\0';
    char* code = find_product_code(new_arguments);
    if (code == nullptr) {
        fatal_error("Error in shortcut file");
    }
    overwrite_product_code(code, new_guid);

    const HRESULT written = write_shortcut(target, new_arguments, shortcut_path, description);
    if (FAILED(written)) {
        shortcut_call_failed(written);
    }
    return 1;
}
