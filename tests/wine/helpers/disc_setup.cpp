// Plays a title's InstallShield setup on a virtual game disc. Started with
// no arguments (the drive root as working folder), it reads "disc.ini"
// beside itself and installs the title the way the title's installer does:
//
//   - the product folder "<32-bit Program Files>\InstallShield Installation
//     Information\<shared product code>" holding the maintenance program as
//     "setup.exe" (a copy of the disc's "maintenance.exe") and the log
//     "setup.ilg";
//   - the uninstall entry under the shared product code, with
//     "DisplayName", "UninstallString", "LogFile", further values (among
//     them "InstallSource", the folder it was started in) and a subkey, and
//     the publisher's key of the title;
//   - the game's files under "<Program Files>\Quenmoor\<title>";
//   - the Start-menu folder "Quenmoor\<title>" of all users with the game's
//     shortcut and "Uninstall <title>.lnk", whose arguments name the code.
//
// Then it creates the named mutex "ZENTRAVOLK-SYSCFG", by which the title's
// setup tells that it has got far enough, and keeps running (holding it)
// for a while. disc.ini, one "key=value" a line:
//   title=Kestova 3       the title (required)
//   version=3.00.000      its version
//   action=install        install (the default), or cancel: end at once
//                         without installing anything or creating the mutex
//   linger=15             seconds to keep running after the mutex is made
//   chain=yes             run as a chain, as InstallShield's bootstrapper
//                         does: the first process copies itself to a
//                         temporary folder, starts that copy (the engine,
//                         with the same working folder) and ends at once;
//                         the engine does the work
//   delay=0               seconds the engine (or the one process) takes
//                         before it installs anything
//   breakaway=yes         the bootstrapper starts the engine outside any job
//                         it runs in (CREATE_BREAKAWAY_FROM_JOB)
//   late_write=8          seconds after the signal at which the setup writes
//                         one more value ("InstallDate") into its uninstall
//                         entry, as a setup finishing its log does (0: none;
//                         linger is made at least that long)
//   action=hold           plays another program of the titles that holds
//                         the mutex before the setup starts: it creates the
//                         mutex, waits until the patch's box that asks to
//                         close it is shown, then ends (releasing it) and
//                         creates the file named by gate= (a Windows path),
//                         so that the box is answered only after; the file
//                         named by ready= is written once it holds the mutex
//   texts=expand          "UninstallString" and "LogFile" name the product
//                         folder through "%ProgramFiles%" (REG_EXPAND_SZ),
//                         as some installers write them
// Exit code 0 installed, 1602 cancelled, 10 + the step that failed; the
// bootstrapper of a chain 0 when the engine started, 20 when it did not.
#include "helper_util.h"

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdlib>
#include <string>

namespace
{

const wchar_t SHARED_PRODUCT_CODE[] = L"{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}";
const wchar_t SETUP_MUTEX_NAME[] = L"ZENTRAVOLK-SYSCFG";
const wchar_t UNINSTALL_KEY[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t PUBLISHER_KEY[] = L"SOFTWARE\\Quenmoor\\";
const wchar_t INSTALL_INFO_FOLDER[] = L"\\InstallShield Installation Information\\";
const int EXIT_CANCELLED = 1602;
const BYTE HOTKEY_CONTROL_ALT = 0x02 | 0x04; // HOTKEYF_CONTROL | HOTKEYF_ALT
const DWORD MAX_LINGER_SECONDS = 600;

struct disc_config {
    std::wstring title;
    std::wstring version = L"1.00.000";
    bool cancel = false;
    DWORD linger_seconds = 15;
    bool chain = false;
    DWORD delay_seconds = 0;
    bool breakaway = false;
    DWORD late_write_seconds = 0;
    bool hold = false;
    std::wstring gate;
    std::wstring ready;
    bool expand_texts = false;
};

// Where everything goes, worked out once from the title and the system.
struct install_plan {
    std::wstring disc_folder;
    std::wstring working_folder;
    std::wstring product_folder;
    std::wstring install_location;
    std::wstring shortcut_folder;
    std::wstring game_program;
};

// Owns one COM interface pointer.
template <typename T> class com_ptr
{
  public:
    com_ptr() = default;
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;
    ~com_ptr()
    {
        if (pointer_ != nullptr)
            pointer_->Release();
    }
    T* operator->() const { return pointer_; }
    void** out() { return reinterpret_cast<void**>(&pointer_); }

  private:
    T* pointer_ = nullptr;
};

class scoped_com
{
  public:
    scoped_com() : initialized_(SUCCEEDED(CoInitialize(nullptr))) {}
    scoped_com(const scoped_com&) = delete;
    scoped_com& operator=(const scoped_com&) = delete;
    ~scoped_com()
    {
        if (initialized_)
            CoUninitialize();
    }

  private:
    bool initialized_;
};

std::wstring folder_of(const std::wstring& path)
{
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring own_folder()
{
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    return folder_of(path);
}

// The folder the setup was started in, with a trailing backslash. It goes
// into "InstallSource", so that the tests can tell where it was started.
std::wstring working_folder()
{
    wchar_t path[MAX_PATH + 1] = {};
    DWORD length = GetCurrentDirectoryW(MAX_PATH, path);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    std::wstring folder = path;
    return folder.back() == L'\\' ? folder : folder + L"\\";
}

std::wstring special_folder(int csidl)
{
    wchar_t path[MAX_PATH + 1] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, path)))
        return std::wstring();
    return path;
}

std::string trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    size_t last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

bool read_whole_file(const std::wstring& path, std::string& content)
{
    helper::scoped_handle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid())
        return false;
    char chunk[4096];
    DWORD count = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &count, nullptr) && count > 0)
        content.append(chunk, count);
    return true;
}

void apply_setting(const std::string& key, const std::string& value, disc_config& config)
{
    if (key == "title")
        config.title = helper::from_utf8(value);
    else if (key == "version")
        config.version = helper::from_utf8(value);
    else if (key == "action") {
        config.cancel = value == "cancel";
        config.hold = value == "hold";
    } else if (key == "breakaway")
        config.breakaway = value == "yes";
    else if (key == "late_write")
        config.late_write_seconds = static_cast<DWORD>(strtoul(value.c_str(), nullptr, 10));
    else if (key == "gate")
        config.gate = helper::from_utf8(value);
    else if (key == "ready")
        config.ready = helper::from_utf8(value);
    else if (key == "linger")
        config.linger_seconds = static_cast<DWORD>(strtoul(value.c_str(), nullptr, 10));
    else if (key == "chain")
        config.chain = value == "yes";
    else if (key == "delay")
        config.delay_seconds = static_cast<DWORD>(strtoul(value.c_str(), nullptr, 10));
    else if (key == "texts")
        config.expand_texts = value == "expand";
}

bool read_config(const std::wstring& disc_folder, disc_config& config)
{
    std::string content;
    if (!read_whole_file(disc_folder + L"\\disc.ini", content))
        return false;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        std::string line = content.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? content.size() : end + 1;
        size_t equals = line.find('=');
        if (equals != std::string::npos && line[0] != '#')
            apply_setting(trim(line.substr(0, equals)), trim(line.substr(equals + 1)), config);
    }
    if (config.linger_seconds > MAX_LINGER_SECONDS)
        config.linger_seconds = MAX_LINGER_SECONDS;
    if (config.delay_seconds > MAX_LINGER_SECONDS)
        config.delay_seconds = MAX_LINGER_SECONDS;
    if (config.late_write_seconds > MAX_LINGER_SECONDS)
        config.late_write_seconds = MAX_LINGER_SECONDS;
    if (config.linger_seconds < config.late_write_seconds)
        config.linger_seconds = config.late_write_seconds;
    return !config.title.empty() || config.hold;
}

bool make_plan(const disc_config& config, const std::wstring& disc_folder, install_plan& plan)
{
    plan.disc_folder = disc_folder;
    plan.working_folder = working_folder();
    std::wstring program_files = special_folder(CSIDL_PROGRAM_FILES);
    std::wstring programs = special_folder(CSIDL_COMMON_PROGRAMS);
    if (plan.disc_folder.empty() || plan.working_folder.empty() || program_files.empty() || programs.empty())
        return false;
    plan.product_folder = program_files + INSTALL_INFO_FOLDER + SHARED_PRODUCT_CODE;
    plan.install_location = program_files + L"\\Quenmoor\\" + config.title;
    plan.shortcut_folder = programs + L"\\Quenmoor\\" + config.title;
    plan.game_program = plan.install_location + L"\\" + config.title + L".exe";
    return true;
}

bool make_folder(const std::wstring& path)
{
    int result = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    return result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS;
}

bool write_file(const std::wstring& path, const std::string& content)
{
    if (!make_folder(folder_of(path)))
        return false;
    helper::scoped_handle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file.valid() &&
           WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size();
}

bool install_product_folder(const install_plan& plan, const disc_config& config)
{
    if (!make_folder(plan.product_folder))
        return false;
    std::wstring maintenance = plan.disc_folder + L"\\maintenance.exe";
    std::wstring installer = plan.product_folder + L"\\setup.exe";
    std::string log = "InstallShield log of " + helper::to_utf8(config.title);
    log += std::string("\r\n\0\x01\x02\xfe\xff", 7);
    return CopyFileW(maintenance.c_str(), installer.c_str(), FALSE) &&
           write_file(plan.product_folder + L"\\setup.ilg", log);
}

bool install_game_files(const install_plan& plan, const disc_config& config)
{
    std::string title = helper::to_utf8(config.title);
    return write_file(plan.game_program, "MZ stand-in for the game program of " + title) &&
           write_file(plan.install_location + L"\\readme.txt", "Read me: " + title + "\r\n") &&
           write_file(plan.install_location + L"\\data\\levels.dat", std::string("\0\x10\x20levels", 9));
}

// ---------------------------------------------------------------------------
// Registry: HKEY_LOCAL_MACHINE as a 32-bit program sees it.

bool set_text(HKEY key, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ)
{
    DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()), size) ==
           ERROR_SUCCESS;
}

bool set_number(HKEY key, const wchar_t* name, DWORD number)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number) ==
           ERROR_SUCCESS;
}

bool create_key(const std::wstring& path, helper::scoped_key& key)
{
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.out(),
                           nullptr) == ERROR_SUCCESS;
}

bool write_entry_texts(HKEY key, const install_plan& plan, const disc_config& config)
{
    std::wstring folder = plan.product_folder;
    DWORD type = REG_SZ;
    if (config.expand_texts) {
        folder = L"%ProgramFiles%\\InstallShield Installation Information" +
                 plan.product_folder.substr(plan.product_folder.rfind(L'\\'));
        type = REG_EXPAND_SZ;
    }
    std::wstring uninstall = L"\"" + folder + L"\\setup.exe\" -runfromtemp -l0x0009 -removeonly";
    return set_text(key, L"DisplayName", config.title) &&
           set_text(key, L"UninstallString", uninstall, type) &&
           set_text(key, L"LogFile", folder + L"\\setup.ilg", type) &&
           set_text(key, L"Publisher", L"Quenmoor") && set_text(key, L"DisplayVersion", config.version) &&
           set_text(key, L"InstallLocation", plan.install_location) &&
           set_text(key, L"InstallSource", plan.working_folder) &&
           set_text(key, L"DisplayIcon", plan.game_program + L",0") &&
           set_text(key, L"ReadmeFile", L"%ProgramFiles%\\Quenmoor\\" + config.title + L"\\readme.txt",
                    REG_EXPAND_SZ);
}

bool write_uninstall_entry(const install_plan& plan, const disc_config& config)
{
    std::wstring path = std::wstring(UNINSTALL_KEY) + SHARED_PRODUCT_CODE;
    helper::scoped_key entry;
    helper::scoped_key details;
    return create_key(path, entry) && write_entry_texts(entry.get(), plan, config) &&
           set_number(entry.get(), L"NoModify", 1) && set_number(entry.get(), L"NoRepair", 1) &&
           set_number(entry.get(), L"Language", 9) && set_number(entry.get(), L"EstimatedSize", 684032) &&
           create_key(path + L"\\InstallShield", details) &&
           set_text(details.get(), L"LogMode", L"Uninstall") &&
           set_number(details.get(), L"EngineVersion", 9);
}

bool write_publisher_key(const install_plan& plan, const disc_config& config)
{
    helper::scoped_key key;
    return create_key(PUBLISHER_KEY + config.title, key) &&
           set_text(key.get(), L"InstallPath", plan.install_location) &&
           set_text(key.get(), L"Version", config.version);
}

// ---------------------------------------------------------------------------
// Start-menu shortcuts, through the shell's link object.

struct shortcut {
    std::wstring path;
    std::wstring target;
    std::wstring arguments;
    std::wstring description;
    std::wstring working_folder;
    std::wstring icon_file; // none when empty
    WORD hotkey;
    int show_command;
};

bool save_shortcut(const shortcut& link)
{
    com_ptr<IShellLinkW> shell_link;
    com_ptr<IPersistFile> file;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                shell_link.out())) ||
        FAILED(shell_link->SetPath(link.target.c_str())) ||
        FAILED(shell_link->SetArguments(link.arguments.c_str())) ||
        FAILED(shell_link->SetDescription(link.description.c_str())) ||
        FAILED(shell_link->SetWorkingDirectory(link.working_folder.c_str())) ||
        (!link.icon_file.empty() && FAILED(shell_link->SetIconLocation(link.icon_file.c_str(), 0))) ||
        FAILED(shell_link->SetHotkey(link.hotkey)) || FAILED(shell_link->SetShowCmd(link.show_command)) ||
        FAILED(shell_link->QueryInterface(IID_IPersistFile, file.out())))
        return false;
    return SUCCEEDED(file->Save(link.path.c_str(), TRUE));
}

bool write_shortcuts(const install_plan& plan, const disc_config& config)
{
    wchar_t system[MAX_PATH + 1] = {};
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !make_folder(plan.shortcut_folder))
        return false;
    // The installer's engine runs the maintenance program from the product
    // folder, which the arguments name.
    shortcut uninstall = {plan.shortcut_folder + L"\\Uninstall " + config.title + L".lnk",
                          std::wstring(system) + L"\\rundll32.exe",
                          L"Ctor.dll,LaunchSetup \"" + plan.product_folder +
                              L"\\setup.exe\" -runfromtemp -l0x0009 -removeonly",
                          L"Uninstall " + config.title,
                          plan.product_folder,
                          plan.game_program,
                          MAKEWORD('U', HOTKEY_CONTROL_ALT),
                          SW_SHOWMINNOACTIVE};
    shortcut game = {plan.shortcut_folder + L"\\" + config.title + L".lnk",
                     plan.game_program,
                     L"",
                     config.title,
                     plan.install_location,
                     L"",
                     0,
                     SW_SHOWNORMAL};
    scoped_com com;
    return save_shortcut(uninstall) && save_shortcut(game);
}

int install(const disc_config& config, const std::wstring& disc_folder)
{
    Sleep(config.delay_seconds * 1000);
    install_plan plan;
    if (!make_plan(config, disc_folder, plan))
        return 11;
    if (!install_product_folder(plan, config))
        return 12;
    if (!install_game_files(plan, config))
        return 13;
    if (!write_uninstall_entry(plan, config) || !write_publisher_key(plan, config))
        return 14;
    if (!write_shortcuts(plan, config))
        return 15;
    // Everything is registered: now the setup signals, and keeps the mutex
    // for a while, as the title's setup does while it goes on.
    helper::scoped_handle mutex(CreateMutexW(nullptr, FALSE, SETUP_MUTEX_NAME));
    if (!mutex.valid())
        return 16;
    if (config.late_write_seconds != 0) {
        Sleep(config.late_write_seconds * 1000);
        helper::scoped_key entry;
        if (!create_key(std::wstring(UNINSTALL_KEY) + SHARED_PRODUCT_CODE, entry) ||
            !set_text(entry.get(), L"InstallDate", L"20261210"))
            return 17;
    }
    Sleep((config.linger_seconds - config.late_write_seconds) * 1000);
    return 0;
}

// The patch's box that asks to close the program holding the mutex.
bool close_request_shown()
{
    HWND box = nullptr;
    while ((box = FindWindowExW(nullptr, box, L"#32770", L"Kestova Patch")) != nullptr) {
        wchar_t text[256] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 256);
        if (wcsncmp(text, L"Another program of the titles", 29) == 0)
            return true;
    }
    return false;
}

// Another program of the titles, holding the setup's mutex until the patch
// asks for it to be closed; then it is closed, and says so through the gate.
int hold_mutex(const disc_config& config)
{
    helper::scoped_handle mutex(CreateMutexW(nullptr, FALSE, SETUP_MUTEX_NAME));
    if (!mutex.valid() || (!config.ready.empty() && !write_file(config.ready, "held")))
        return 16;
    const DWORD began = GetTickCount();
    while (!close_request_shown()) {
        if (GetTickCount() - began > MAX_LINGER_SECONDS * 1000)
            return 18;
        Sleep(50);
    }
    mutex.reset();
    return config.gate.empty() || write_file(config.gate, "closed") ? 0 : 19;
}

// The bootstrapper of a chain: copies itself to a folder of its own under
// the temporary folder and starts the copy as the engine, told where the
// disc is, in the same working folder; then it ends without waiting.
int start_engine(const std::wstring& disc_folder, bool breakaway)
{
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH, temp);
    if (length == 0 || length >= MAX_PATH)
        return 20;
    std::wstring folder = std::wstring(temp) + L"_ISKestova" + std::to_wstring(GetCurrentProcessId());
    std::wstring engine = folder + L"\\setup.exe";
    wchar_t self[MAX_PATH + 1] = {};
    length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !make_folder(folder) || !CopyFileW(self, engine.c_str(), FALSE))
        return 20;
    std::wstring command_line = L"\"" + engine + L"\" --engine \"" + disc_folder + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    const DWORD flags = breakaway ? CREATE_BREAKAWAY_FROM_JOB : 0;
    if (!CreateProcessW(engine.c_str(), &command_line[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                        &startup, &process))
        return 20;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

} // namespace

int main()
{
    // The engine of a chain is told the disc's folder; a setup started
    // from the disc finds it beside itself.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool engine = argv != nullptr && argc == 3 && std::wstring(argv[1]) == L"--engine";
    std::wstring disc_folder = engine ? std::wstring(argv[2]) : own_folder();
    LocalFree(argv);
    disc_config config;
    if (!read_config(disc_folder, config))
        return 10;
    if (config.hold)
        return hold_mutex(config);
    if (config.chain && !engine)
        return start_engine(disc_folder, config.breakaway);
    if (config.cancel)
        return EXIT_CANCELLED;
    return install(config, disc_folder);
}
