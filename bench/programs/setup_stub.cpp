// Stands in for the setup program on a title's disc, for the benchmarks.
//
// Started with no arguments (as the patch starts the disc's "setup.exe"), it
// reads "bench-setup.cfg" beside itself:
//   title=Kestova 3                      the title it installs
//   delay_ms=3000                        how long it "installs" before signalling
//   result=C:\bench\setup-result.txt     where it writes what it saw
//   watch_ms=20000                       how long it waits for the product folder to move
// It registers the title under the shared product code the way the titles'
// installers do (product folder with "setup.exe", uninstall entry, Start-menu
// "Uninstall" shortcut), waits delay_ms, creates the mutex "ZENTRAVOLK-SYSCFG"
// and then watches its product folder: the patch renames it (to the alternate
// code) as its first visible step after noticing the mutex and pausing 5 s.
//
// Result keys (FILETIME values, 100 ns since 1601): process_created,
// registered (the wait window starts), before_mutex and mutex_created (the
// window ends), folder_moved (0 when it did not move in time).
#include "bench_util.h"

#include <objbase.h>
#include <shlobj.h>

#include <string>

namespace
{

constexpr char SHARED_PRODUCT_CODE[] = "{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}";
constexpr char UNINSTALL_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr char SETUP_MUTEX_NAME[] = "ZENTRAVOLK-SYSCFG";
constexpr char CONFIG_FILE_NAME[] = "bench-setup.cfg";

struct settings {
    std::string title = "Kestova 3";
    DWORD delay_ms = 3000;
    std::string result_path;
    DWORD watch_ms = 20000;
};

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool read_settings(settings& result)
{
    const std::string path = bench::own_folder() + CONFIG_FILE_NAME;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        const std::string text = trim(line);
        const auto equals = text.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string key = text.substr(0, equals);
        const std::string value = text.substr(equals + 1);
        if (key == "title") {
            result.title = value;
        } else if (key == "delay_ms") {
            result.delay_ms = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (key == "result") {
            result.result_path = value;
        } else if (key == "watch_ms") {
            result.watch_ms = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
        }
    }
    std::fclose(file);
    return !result.result_path.empty();
}

std::string special_folder(int folder)
{
    char path[MAX_PATH] = "";
    if (FAILED(SHGetFolderPathA(nullptr, folder, nullptr, 0, path))) {
        return std::string();
    }
    return path;
}

bool write_file(const std::string& path, const char* content)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fputs(content, file) >= 0;
    return std::fclose(file) == 0 && written;
}

bool set_text(HKEY key, const char* name, const std::string& text)
{
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

bool set_number(HKEY key, const char* name, DWORD number)
{
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number) ==
           ERROR_SUCCESS;
}

std::string uninstall_arguments(const std::string& folder)
{
    return "C:\\PROGRA~1\\COMMON~1\\INSTAL~1\\PROFES~1\\RunTime\\10\\50\\Intel32\\Ctor.dll,LaunchSetup \"" +
           folder + "\\setup.exe\" -l0x9 -removeonly";
}

bool register_uninstall_entry(const std::string& title, const std::string& folder)
{
    bench::scoped_key entry;
    const std::string path = std::string(UNINSTALL_KEY) + SHARED_PRODUCT_CODE;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, entry.out(),
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return set_text(entry.get(), "DisplayName", title) &&
           set_text(entry.get(), "UninstallString", "RunDll32 " + uninstall_arguments(folder)) &&
           set_text(entry.get(), "LogFile", folder + "\\setup.ilg") &&
           set_text(entry.get(), "Publisher", "Quenmoor") &&
           set_text(entry.get(), "DisplayVersion", "1.00.000") && set_number(entry.get(), "NoModify", 1);
}

bool create_uninstall_shortcut(const std::string& title, const std::string& folder)
{
    const std::string programs = special_folder(CSIDL_COMMON_PROGRAMS);
    if (programs.empty()) {
        return false;
    }
    const std::string publisher = programs + "\\Quenmoor";
    const std::string title_folder = publisher + "\\" + title;
    CreateDirectoryA(publisher.c_str(), nullptr);
    CreateDirectoryA(title_folder.c_str(), nullptr);
    const std::string shortcut = title_folder + "\\Uninstall " + title + ".lnk";
    wchar_t wide_shortcut[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, shortcut.c_str(), -1, wide_shortcut, MAX_PATH) == 0) {
        return false;
    }
    char system_folder[MAX_PATH] = "";
    GetSystemDirectoryA(system_folder, MAX_PATH);
    const std::string target = std::string(system_folder) + "\\rundll32.exe";
    const std::string arguments = uninstall_arguments(folder);

    IShellLinkA* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link)))) {
        return false;
    }
    link->SetPath(target.c_str());
    link->SetArguments(arguments.c_str());
    link->SetDescription(("Uninstall " + title).c_str());
    IPersistFile* file = nullptr;
    HRESULT result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(result)) {
        result = file->Save(wide_shortcut, TRUE);
        file->Release();
    }
    link->Release();
    return SUCCEEDED(result);
}

// What the title's installer leaves under the shared product code.
bool install_title(const std::string& title, const std::string& folder)
{
    const std::string root = folder.substr(0, folder.rfind('\\'));
    CreateDirectoryA(root.c_str(), nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    return write_file(folder + "\\setup.exe", "MZ stand-in for the installer's maintenance program") &&
           write_file(folder + "\\setup.ilg", ("InstallShield log of " + title).c_str()) &&
           register_uninstall_entry(title, folder) && create_uninstall_shortcut(title, folder);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    settings config;
    if (!read_settings(config)) {
        return 2;
    }
    bench::result_file result;
    if (!result.open(config.result_path.c_str())) {
        return 2;
    }
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        result.put_time("process_created", bench::filetime_value(created));
    }
    result.put_time("started", bench::now_filetime());

    CoInitialize(nullptr);
    const std::string folder = special_folder(CSIDL_PROGRAM_FILES) +
                               "\\InstallShield Installation Information\\" + SHARED_PRODUCT_CODE;
    const bool installed = install_title(config.title, folder);
    result.put("installed", "%d", installed ? 1 : 0);
    result.put_time("registered", bench::now_filetime());

    Sleep(config.delay_ms);

    result.put_time("before_mutex", bench::now_filetime());
    bench::scoped_handle mutex(CreateMutexA(nullptr, FALSE, SETUP_MUTEX_NAME));
    const unsigned long long mutex_created = bench::now_filetime();
    result.put_time("mutex_created", mutex_created);
    result.put("mutex_error", "%lu", mutex.valid() ? 0ul : GetLastError());

    // The patch's first visible step after its pause: the product folder moves.
    unsigned long long folder_moved = 0;
    const double watch_started = bench::now_seconds();
    while ((bench::now_seconds() - watch_started) * 1000.0 < config.watch_ms) {
        if (GetFileAttributesA(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
            folder_moved = bench::now_filetime();
            break;
        }
        Sleep(1);
    }
    result.put_time("folder_moved", folder_moved);
    CoUninitialize();
    return 0;
}
