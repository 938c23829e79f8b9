// Which title is installed, and under which product code.
#include "main/main.h"
#include "misc/misc.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr std::size_t DISPLAY_NAME_SIZE = 64;

LONG open_uninstall_entry(const char* product_code, HKEY* key)
{
    char path[TEXT_BUFFER_SIZE];
    format_uninstall_entry(path, product_code);
    return RegOpenKeyA(HKEY_LOCAL_MACHINE, path, key);
}

// Ends the name read from the registry. A value stored without its
// terminator gets one when there is room; one that fills the whole buffer
// without it is no title's name, and becomes the empty text.
void terminate_display_name(char (&display_name)[DISPLAY_NAME_SIZE], DWORD size)
{
    if (size > sizeof display_name) {
        size = sizeof display_name;
    }
    if (std::memchr(display_name, '\0', size) != nullptr) {
        return;
    }
    if (size < sizeof display_name) {
        display_name[size] = '\0';
        return;
    }
    display_name[0] = '\0';
}

} // namespace

int detect_installed_game()
{
    shared_code_in_use = 1;
    key_owner key;
    if (open_uninstall_entry(SHARED_PRODUCT_CODE, key.receive()) != ERROR_SUCCESS) {
        if (open_uninstall_entry(ALTERNATE_PRODUCT_CODE, key.receive()) != ERROR_SUCCESS) {
            fatal_error("Neither 'Kestova 2' or 'Kestova 3' are currently installed");
        }
        shared_code_in_use = 0;
    }

    char display_name[DISPLAY_NAME_SIZE];
    DWORD size = sizeof display_name;
    const LONG result = RegQueryValueExA(key.get(), "DisplayName", nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(display_name), &size);
    key.close();
    if (result != ERROR_SUCCESS) {
        fatal_error("Error when getting display name (%ld)", static_cast<long>(GetLastError()));
    }
    terminate_display_name(display_name, size);

    if (std::strcmp(display_name, KS2_DISPLAY_NAME) == 0) {
        is_ks2_installed = 1;
    }
    if (std::strcmp(display_name, KS3_DISPLAY_NAME) == 0) {
        is_ks3_installed = 1;
    }
    ASSERT(!(is_ks2_installed && is_ks3_installed));
    ASSERT(is_ks2_installed || is_ks3_installed);
    return 1;
}
