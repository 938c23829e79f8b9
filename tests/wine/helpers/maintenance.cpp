// Plays the title installer's own maintenance program, the one that removes
// an installed title. The disc's setup (disc_setup.cpp) puts it into the
// product folder as "setup.exe"; the patch renames it to "setup_is.exe" and
// later starts it with no arguments. Started from a product folder, it takes
// the product code from that folder's name and removes the title registered
// under it: the game's files, its Start-menu folder, the publisher's key of
// the title and the uninstall entry. The product folder it runs from stays
// (the patch deletes it), as do the publisher's key and Start-menu folder
// when other titles still use them.
// A file "maintenance.ini" beside it with a line "delay=MILLISECONDS" makes
// it take that long before it starts, as a slow removal would.
// Exit code 0 removed, 1 no title under that code, 2 a removal failed.
#include "helper_util.h"

#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

const wchar_t UNINSTALL_KEY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t PUBLISHER_KEY[] = L"SOFTWARE\\Quenmoor";
const DWORD MAX_TEXT_BYTES = 4096;
const DWORD MAX_DELAY_MS = 60000;

struct installed_title {
    std::wstring code;
    std::wstring name;
    std::wstring install_location;
    std::wstring log_file;
};

std::wstring own_folder()
{
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    std::wstring text = path;
    return text.substr(0, text.find_last_of(L'\\'));
}

std::wstring last_component(const std::wstring& path)
{
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// A string value, or "" when it is missing or not a string.
std::wstring read_text(HKEY key, const wchar_t* name)
{
    std::vector<BYTE> data(MAX_TEXT_BYTES + sizeof(wchar_t), 0);
    DWORD size = MAX_TEXT_BYTES;
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()));
}

// The delay asked for in maintenance.ini, 0 without one.
DWORD configured_delay_ms(const std::wstring& folder)
{
    std::wstring path = folder + L"\\maintenance.ini";
    helper::scoped_handle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    char text[64] = {};
    DWORD count = 0;
    if (!file.valid() || !ReadFile(file.get(), text, sizeof text - 1, &count, nullptr))
        return 0;
    const char* value = strstr(text, "delay=");
    DWORD delay = value == nullptr ? 0 : static_cast<DWORD>(strtoul(value + 6, nullptr, 10));
    return delay < MAX_DELAY_MS ? delay : MAX_DELAY_MS;
}

bool read_title(const std::wstring& code, installed_title& title)
{
    helper::scoped_key entry;
    std::wstring path = UNINSTALL_KEY + code;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, entry.out()) != ERROR_SUCCESS)
        return false;
    title.code = code;
    title.name = read_text(entry.get(), L"DisplayName");
    title.install_location = read_text(entry.get(), L"InstallLocation");
    title.log_file = read_text(entry.get(), L"LogFile");
    return !title.name.empty();
}

// Deletes a folder with everything in it; a missing folder is no failure.
bool delete_tree(const std::wstring& folder)
{
    if (folder.empty() || GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
        return true;
    std::vector<wchar_t> list(folder.begin(), folder.end());
    list.push_back(L'\0');
    list.push_back(L'\0');
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = list.data();
    operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    return SHFileOperationW(&operation) == 0 && !operation.fAnyOperationsAborted;
}

bool key_is_empty(HKEY parent, const wchar_t* name)
{
    helper::scoped_key key;
    DWORD subkeys = 0, values = 0;
    return RegOpenKeyExW(parent, name, 0, KEY_READ, key.out()) == ERROR_SUCCESS &&
           RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                            nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           subkeys == 0 && values == 0;
}

bool delete_publisher_key(const installed_title& title)
{
    std::wstring path = std::wstring(PUBLISHER_KEY) + L"\\" + title.name;
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        return false;
    if (key_is_empty(HKEY_LOCAL_MACHINE, PUBLISHER_KEY))
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, PUBLISHER_KEY);
    return true;
}

bool delete_shortcuts(const installed_title& title)
{
    wchar_t programs[MAX_PATH + 1] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, programs)))
        return false;
    std::wstring publisher_folder = std::wstring(programs) + L"\\Quenmoor";
    bool deleted = delete_tree(publisher_folder + L"\\" + title.name);
    RemoveDirectoryW(publisher_folder.c_str()); // only when no other title's folder is left
    return deleted;
}

bool delete_uninstall_entry(const installed_title& title)
{
    std::wstring path = UNINSTALL_KEY + title.code;
    return RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str()) == ERROR_SUCCESS;
}

// Only a game folder of the publisher's is ever deleted, whatever the entry
// says.
bool is_game_folder(const std::wstring& path)
{
    return path.find(L"\\Quenmoor\\") != std::wstring::npos;
}

int remove_title(const installed_title& title)
{
    bool removed = !is_game_folder(title.install_location) || delete_tree(title.install_location);
    removed = delete_shortcuts(title) && removed;
    removed = delete_publisher_key(title) && removed;
    if (!title.log_file.empty())
        DeleteFileW(title.log_file.c_str());
    // The entry goes last: once it is gone the title counts as removed.
    removed = delete_uninstall_entry(title) && removed;
    return removed ? 0 : 2;
}

} // namespace

int main()
{
    std::wstring folder = own_folder();
    Sleep(configured_delay_ms(folder));
    installed_title title;
    if (!read_title(last_component(folder), title))
        return 1;
    return remove_title(title);
}
