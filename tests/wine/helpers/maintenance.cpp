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
// it take that long before it starts, as a slow removal would; a line
// "chain=yes" makes it run as the installer's maintenance program does from
// a temporary copy: the first process copies itself to a temporary folder,
// starts the copy (told the product folder) and ends at once, and the copy
// does the removal; with a line "breakaway=yes" as well, the copy is
// started outside any job the first process runs in
// (CREATE_BREAKAWAY_FROM_JOB).
// Exit code 0 removed (or the copy started), 1 no title under that code, 2 a
// removal failed, 3 the copy could not be started.
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

// The text of maintenance.ini, "" without one.
std::string settings_text(const std::wstring& folder)
{
    std::wstring path = folder + L"\\maintenance.ini";
    helper::scoped_handle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    char text[128] = {};
    DWORD count = 0;
    if (!file.valid() || !ReadFile(file.get(), text, sizeof text - 1, &count, nullptr))
        return std::string();
    return text;
}

bool runs_as_chain(const std::wstring& folder)
{
    return settings_text(folder).find("chain=yes") != std::string::npos;
}

// The delay asked for in maintenance.ini, 0 without one.
DWORD configured_delay_ms(const std::wstring& folder)
{
    std::string text = settings_text(folder);
    const char* value = strstr(text.c_str(), "delay=");
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

// Copies this program to a temporary folder and starts the copy, which
// removes the title of FOLDER; does not wait for it.
int start_copy(const std::wstring& folder)
{
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH)
        return 3;
    std::wstring copy_folder = std::wstring(temp) + L"_ISMaint" + std::to_wstring(GetCurrentProcessId());
    std::wstring copy = copy_folder + L"\\setup.exe";
    wchar_t self[MAX_PATH + 1] = {};
    length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH ||
        (!CreateDirectoryW(copy_folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) ||
        !CopyFileW(self, copy.c_str(), FALSE))
        return 3;
    std::wstring command_line = L"\"" + copy + L"\" --removal-of \"" + folder + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    const bool breakaway = settings_text(folder).find("breakaway=yes") != std::string::npos;
    if (!CreateProcessW(copy.c_str(), &command_line[0], nullptr, nullptr, FALSE,
                        breakaway ? CREATE_BREAKAWAY_FROM_JOB : 0, nullptr, nullptr, &startup, &process))
        return 3;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool is_copy = argv != nullptr && argc == 3 && std::wstring(argv[1]) == L"--removal-of";
    std::wstring folder = is_copy ? std::wstring(argv[2]) : own_folder();
    LocalFree(argv);
    if (!is_copy && runs_as_chain(folder))
        return start_copy(folder);
    Sleep(configured_delay_ms(folder));
    installed_title title;
    if (!read_title(last_component(folder), title))
        return 1;
    return remove_title(title);
}
