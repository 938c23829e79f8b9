// Stands in for the setup program on a title's disc, for the benchmarks, and
// watches from outside for what the patch does once that setup has ended.
//
// Setup mode: started with no arguments (as the patch starts the disc's
// "setup.exe"), it reads "bench-setup.cfg" beside itself:
//   title=Kestova 3                      the title it installs
//   delay_ms=3000                        how long it "installs" before signalling
//   linger_ms=3000                       how long it goes on after signalling
//   result=C:\bench\setup-result.txt     where it writes what it saw
// It notes its process id and tells a watcher that it runs (the event
// "KestovaBench-SetupStarted", when a watcher made it), registers the title
// under the shared product code the way the titles' installers do (product
// folder with "setup.exe", uninstall entry, Start-menu "Uninstall"
// shortcut), waits delay_ms, creates the mutex "ZENTRAVOLK-SYSCFG", lingers
// linger_ms and ends. The patch waits for the end of the setup and of every
// process it started before it pauses 5 s and renames the product folder,
// so the setup cannot watch that rename itself, nor may anything it starts.
//
// Result keys (FILETIME values, 100 ns since 1601): process_id,
// process_created, started, registered (the mutex wait starts), before_mutex
// and mutex_created (it ends; the wait for the setup's end starts), ending
// (noted just before WinMain returns), and installed and mutex_error.
//
// Watch mode, started by the benchmark on the same Wine machine before the
// patch, outside the setup's chain:
//   setup_stub.exe watch RESULT_FILE SETUP_RESULT_FILE TIMEOUT_MS
// It makes the event, notes "watching", waits until a setup signals it,
// opens that setup's process by the id in SETUP_RESULT_FILE, counts the
// machine's processes and threads (processes, threads), waits for its
// end (noting setup_ended, and whether the product folder had moved before
// it: moved_before_end) and then looks at the product folder every
// millisecond until it has moved (folder_moved; 0 when it did not move
// within TIMEOUT_MS). Each wait gives up after TIMEOUT_MS; a wait that gave
// up or a process it could not open ends it early (setup_seen=0,
// setup_opened=0 or setup_ended=0).
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
constexpr char SETUP_STARTED_EVENT[] = "KestovaBench-SetupStarted";

struct settings {
    std::string title = "Kestova 3";
    DWORD delay_ms = 3000;
    DWORD linger_ms = 0;
    std::string result_path;
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
        } else if (key == "linger_ms") {
            result.linger_ms = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10));
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

std::string product_folder()
{
    return special_folder(CSIDL_PROGRAM_FILES) + "\\InstallShield Installation Information\\" +
           SHARED_PRODUCT_CODE;
}

bool folder_exists(const std::string& folder)
{
    return GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int run_setup()
{
    settings config;
    if (!read_settings(config)) {
        return 2;
    }
    bench::result_file result;
    if (!result.open(config.result_path.c_str())) {
        return 2;
    }
    result.put("process_id", "%lu", GetCurrentProcessId());
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        result.put_time("process_created", bench::filetime_value(created));
    }
    result.put_time("started", bench::now_filetime());
    // A watcher learns the process id from the result file; it opens the
    // process now, while the registration below still takes a while.
    bench::scoped_handle started_event(OpenEventA(EVENT_MODIFY_STATE, FALSE, SETUP_STARTED_EVENT));
    if (started_event.valid()) {
        SetEvent(started_event.get());
    }

    CoInitialize(nullptr);
    const bool installed = install_title(config.title, product_folder());
    CoUninitialize();
    result.put("installed", "%d", installed ? 1 : 0);
    result.put_time("registered", bench::now_filetime());

    Sleep(config.delay_ms);

    result.put_time("before_mutex", bench::now_filetime());
    // Held until the process ends: the patch looks for it every 50 ms, so
    // a setup that ended sooner would take its signal with it.
    bench::scoped_handle mutex(CreateMutexA(nullptr, FALSE, SETUP_MUTEX_NAME));
    result.put_time("mutex_created", bench::now_filetime());
    result.put("mutex_error", "%lu", mutex.valid() ? 0ul : GetLastError());

    Sleep(config.linger_ms);
    result.put_time("ending", bench::now_filetime());
    return 0;
}

// The process id that the setup wrote into its result file; 0 when none.
DWORD setup_process_id(const char* setup_result_path)
{
    std::FILE* file = std::fopen(setup_result_path, "rb");
    if (file == nullptr) {
        return 0;
    }
    DWORD id = 0;
    char line[256];
    while (id == 0 && std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, "process_id=", 11) == 0) {
            id = static_cast<DWORD>(std::strtoul(line + 11, nullptr, 10));
        }
    }
    std::fclose(file);
    return id;
}

int run_watch(const char* result_path, const char* setup_result_path, DWORD timeout_ms)
{
    bench::result_file result;
    if (!result.open(result_path)) {
        return 2;
    }
    bench::scoped_handle started_event(CreateEventA(nullptr, TRUE, FALSE, SETUP_STARTED_EVENT));
    if (!started_event.valid()) {
        result.put("error", "CreateEvent failed (%lu)", GetLastError());
        return 1;
    }
    result.put_time("watching", bench::now_filetime());

    const bool seen = WaitForSingleObject(started_event.get(), timeout_ms) == WAIT_OBJECT_0;
    result.put("setup_seen", "%d", seen ? 1 : 0);
    if (!seen) {
        return 1;
    }
    const DWORD id = setup_process_id(setup_result_path);
    bench::scoped_handle setup(id == 0 ? nullptr : OpenProcess(SYNCHRONIZE, FALSE, id));
    result.put("setup_opened", "%d", setup.valid() ? 1 : 0);
    if (!setup.valid()) {
        return 1;
    }
    // What the patch's snapshots list while it waits (the patch, its setup,
    // the program that started it, this one and Wine's own processes).
    DWORD processes = 0;
    DWORD threads = 0;
    bench::count_processes(processes, threads);
    result.put("processes", "%lu", processes);
    result.put("threads", "%lu", threads);

    // Waiting on the process costs nothing while the patch's wait is timed.
    const std::string folder = product_folder();
    if (WaitForSingleObject(setup.get(), timeout_ms) != WAIT_OBJECT_0) {
        result.put_time("setup_ended", 0);
        return 1;
    }
    result.put_time("setup_ended", bench::now_filetime());
    setup.reset();
    result.put("moved_before_end", "%d", folder_exists(folder) ? 0 : 1);

    unsigned long long folder_moved = 0;
    const double watch_started = bench::now_seconds();
    while ((bench::now_seconds() - watch_started) * 1000.0 < timeout_ms) {
        if (!folder_exists(folder)) {
            folder_moved = bench::now_filetime();
            break;
        }
        Sleep(1);
    }
    result.put_time("folder_moved", folder_moved);
    return folder_moved != 0 ? 0 : 1;
}

} // namespace

// A Windows program like the titles' setups (no console); the C runtime
// still splits the command line into __argc and __argv.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc == 1) {
        return run_setup();
    }
    if (__argc == 5 && std::strcmp(__argv[1], "watch") == 0) {
        return run_watch(__argv[2], __argv[3], static_cast<DWORD>(std::strtoul(__argv[4], nullptr, 10)));
    }
    return 2;
}
