// Reading and writing shortcut files through the shell's link object.
#include "misc/misc.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr int LINK_TEXT_CAPACITY = MAX_PATH;

// A path that cannot be converted (too long for MAX_PATH wide characters)
// is a failure, never a silent success.
HRESULT to_wide_path(const char* path, WCHAR (&wide)[MAX_PATH])
{
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) != 0) {
        return S_OK;
    }
    const HRESULT reason = HRESULT_FROM_WIN32(static_cast<LONG>(GetLastError()));
    return FAILED(reason) ? reason : E_FAIL;
}

void copy_link_text(char* destination, const char* source)
{
    std::strncpy(destination, source, LINK_TEXT_CAPACITY - 1);
    destination[LINK_TEXT_CAPACITY - 1] = '\0';
}

} // namespace

HRESULT read_shortcut(HWND owner, const char* shortcut_path, char* target, char* arguments, char* description)
{
    target[0] = '\0';

    WCHAR wide_path[MAX_PATH];
    const HRESULT converted = to_wide_path(shortcut_path, wide_path);
    if (FAILED(converted)) {
        return converted;
    }

    char link_target[LINK_TEXT_CAPACITY] = "";
    char link_description[LINK_TEXT_CAPACITY] = "";
    const HRESULT result = shell_link_load(owner, wide_path, link_target, LINK_TEXT_CAPACITY, arguments,
                                           LINK_TEXT_CAPACITY, link_description, LINK_TEXT_CAPACITY);
    if (FAILED(result)) {
        return result;
    }
    copy_link_text(target, link_target);
    copy_link_text(description, link_description);
    return result;
}

HRESULT write_shortcut(const char* target, const char* arguments, const char* shortcut_path,
                       const char* description)
{
    WCHAR wide_path[MAX_PATH];
    const HRESULT converted = to_wide_path(shortcut_path, wide_path);
    if (FAILED(converted)) {
        return converted;
    }
    return shell_link_save(wide_path, target, arguments, description);
}
