// The crash-test build's side of the seam hook (seam_call.h): the same
// patch, built with KESTOVA_CRASH_TEST as kestova-patch-crashtest.exe, that
// counts the calls that change the machine and ends its own process at the
// entry of a chosen one. It is never the release exe.
//
// It is driven by a file "kestova-crash-test.ini" beside the running exe,
// one "key=value" a line; without that file it behaves exactly as the patch:
//   mode=count        only note every change (the dry run that tells how
//                     many changes a stage makes)
//   mode=kill         at the entry of change number after+1, end the process
//                     with TerminateProcess: no handler runs, nothing unwinds
//   mode=power        at the same moment, note it and sleep for ever, so that
//                     the harness can cut the machine's power (end its
//                     wineserver with SIGKILL) with the process in that state
//   after=N           the changes that run before the stop
//   report=PATH       the file that each change is noted in ("change N name",
//                     then "stop N name" for the one that never runs, and
//                     "flush N" for a flush written out)
//   flush-dump=PATH   mode power: at every call that flushes the registry,
//                     the keys below are written to PATH as a .reg file that
//                     puts them back as they are at that moment (the
//                     harness imports it after the power cut when the
//                     wineserver has not saved the registry since)
//   flush-key=KEY     a key under HKEY_LOCAL_MACHINE (32-bit view), with all
//                     it holds; may be given several times
//   flush-value=KEY|NAME  one value of a key; may be given several times
// Calls that only look (seam_effect::looks) are not counted: a stop right
// after one leaves the machine as the stop at the entry of the next change
// does, so counting them would only repeat machine states, and the count
// would depend on how often a wait happens to poll. Nor are the writes of
// the patch's log (seam_effect::logs): no run reads the log back.
//
// Everything here uses the Win32 calls directly, outside the seam, and
// keeps the caller's last-error value.
#include "platform/win32/internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace
{

constexpr wchar_t SETTINGS_FILE_NAME[] = L"kestova-crash-test.ini";
constexpr ::UINT KILLED_EXIT_CODE = 77;
constexpr int MAX_FLUSH_ITEMS = 16;
constexpr ::DWORD KEY_PATH_CHARS = 512;

enum class crash_mode { off, count, kill, power };

struct flush_item {
    wchar_t key[KEY_PATH_CHARS];
    wchar_t value[256];
    bool whole_key;
};

struct crash_settings {
    crash_mode mode = crash_mode::off;
    unsigned long after = 0;
    wchar_t report[MAX_PATH] = L"";
    wchar_t flush_dump[MAX_PATH] = L"";
    flush_item items[MAX_FLUSH_ITEMS] = {};
    int item_count = 0;
};

bool settings_loaded = false;
crash_settings settings;
unsigned long changes_counted = 0;

// Keeps the last-error value of the call being hooked: the modules read it
// right after a failed call, and the hook's own file calls would change it.
class last_error_kept
{
  public:
    last_error_kept() : error_(::GetLastError()) {}
    ~last_error_kept() { ::SetLastError(error_); }
    last_error_kept(const last_error_kept&) = delete;
    last_error_kept& operator=(const last_error_kept&) = delete;

  private:
    ::DWORD error_;
};

bool to_wide(const char* text, wchar_t* wide, int capacity)
{
    return ::MultiByteToWideChar(CP_ACP, 0, text, -1, wide, capacity) > 0;
}

void add_flush_item(const char* text, bool whole_key)
{
    if (settings.item_count >= MAX_FLUSH_ITEMS) {
        return;
    }
    flush_item& item = settings.items[settings.item_count];
    char key[KEY_PATH_CHARS] = "";
    std::snprintf(key, sizeof key, "%s", text);
    const char* value = "";
    if (!whole_key) {
        char* bar = std::strchr(key, '|');
        if (bar == nullptr) {
            return;
        }
        *bar = '\0';
        value = bar + 1;
    }
    if (!to_wide(key, item.key, KEY_PATH_CHARS) || !to_wide(value, item.value, 256)) {
        return;
    }
    item.whole_key = whole_key;
    ++settings.item_count;
}

void apply_setting(char* line)
{
    char* equals = std::strchr(line, '=');
    if (equals == nullptr) {
        return;
    }
    *equals = '\0';
    const char* key = line;
    const char* value = equals + 1;
    if (std::strcmp(key, "mode") == 0) {
        settings.mode = std::strcmp(value, "count") == 0   ? crash_mode::count
                        : std::strcmp(value, "kill") == 0  ? crash_mode::kill
                        : std::strcmp(value, "power") == 0 ? crash_mode::power
                                                           : crash_mode::off;
    } else if (std::strcmp(key, "after") == 0) {
        settings.after = std::strtoul(value, nullptr, 10);
    } else if (std::strcmp(key, "report") == 0) {
        to_wide(value, settings.report, MAX_PATH);
    } else if (std::strcmp(key, "flush-dump") == 0) {
        to_wide(value, settings.flush_dump, MAX_PATH);
    } else if (std::strcmp(key, "flush-key") == 0) {
        add_flush_item(value, true);
    } else if (std::strcmp(key, "flush-value") == 0) {
        add_flush_item(value, false);
    }
}

void load_settings()
{
    wchar_t path[MAX_PATH + 32] = L"";
    const ::DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return;
    }
    wchar_t* slash = std::wcsrchr(path, L'\\');
    if (slash == nullptr) {
        return;
    }
    std::wcscpy(slash + 1, SETTINGS_FILE_NAME);
    ::HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    static char text[8192];
    ::DWORD read = 0;
    const ::BOOL ok = ::ReadFile(file, text, sizeof text - 1, &read, nullptr);
    ::CloseHandle(file);
    if (!ok) {
        return;
    }
    text[read] = '\0';
    for (char* line = text; line != nullptr && *line != '\0';) {
        char* end = std::strpbrk(line, "\r\n");
        char* next = nullptr;
        if (end != nullptr) {
            next = end + std::strspn(end, "\r\n");
            *end = '\0';
        }
        apply_setting(line);
        line = next;
    }
}

// Appends one line to the report; the file is opened for each line, so that
// everything noted is in the file when the process ends.
void report(const char* format, unsigned long number, const char* name)
{
    if (settings.report[0] == L'\0') {
        return;
    }
    char line[256];
    const int length = std::snprintf(line, sizeof line, format, number, name);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof line) {
        return;
    }
    ::HANDLE file = ::CreateFileW(settings.report, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    ::DWORD written = 0;
    ::WriteFile(file, line, static_cast<::DWORD>(length), &written, nullptr);
    ::CloseHandle(file);
}

// ---------------------------------------------------------------------------
// The registry as a flush leaves it on disc, written as a .reg file (UTF-16,
// "Windows Registry Editor Version 5.00") that first deletes each key and
// then creates it again with every value's type and bytes.

class reg_file
{
  public:
    explicit reg_file(const wchar_t* path)
        : file_(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr))
    {
        static const unsigned char bom[] = {0xFF, 0xFE};
        raw(bom, sizeof bom);
        text(L"Windows Registry Editor Version 5.00\r\n\r\n");
    }
    ~reg_file()
    {
        if (file_ != INVALID_HANDLE_VALUE) {
            ::CloseHandle(file_);
        }
    }
    reg_file(const reg_file&) = delete;
    reg_file& operator=(const reg_file&) = delete;

    bool ok() const { return file_ != INVALID_HANDLE_VALUE; }
    void text(const wchar_t* characters) { raw(characters, std::wcslen(characters) * sizeof(wchar_t)); }
    void quoted(const wchar_t* name)
    {
        text(L"\"");
        for (const wchar_t* c = name; *c != L'\0'; ++c) {
            if (*c == L'\\' || *c == L'"') {
                text(L"\\");
            }
            raw(c, sizeof(wchar_t));
        }
        text(L"\"");
    }
    void value(const wchar_t* name, ::DWORD type, const ::BYTE* data, ::DWORD size)
    {
        if (name[0] == L'\0') {
            text(L"@");
        } else {
            quoted(name);
        }
        wchar_t head[32];
        std::swprintf(head, 32, L"=hex(%lx):", static_cast<unsigned long>(type));
        text(head);
        for (::DWORD i = 0; i < size; ++i) {
            wchar_t byte[4];
            std::swprintf(byte, 4, i + 1 < size ? L"%02x," : L"%02x", data[i]);
            text(byte);
        }
        text(L"\r\n");
    }

  private:
    void raw(const void* bytes, std::size_t size)
    {
        ::DWORD written = 0;
        if (file_ != INVALID_HANDLE_VALUE) {
            ::WriteFile(file_, bytes, static_cast<::DWORD>(size), &written, nullptr);
        }
    }

    ::HANDLE file_;
};

::HKEY open_machine_key(const wchar_t* path)
{
    ::HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

void write_values(reg_file& out, ::HKEY key)
{
    static wchar_t name[16384];
    static ::BYTE data[1 << 16];
    for (::DWORD index = 0;; ++index) {
        ::DWORD name_length = sizeof name / sizeof name[0];
        ::DWORD size = sizeof data;
        ::DWORD type = REG_NONE;
        const ::LONG result = ::RegEnumValueW(key, index, name, &name_length, nullptr, &type, data, &size);
        if (result != ERROR_SUCCESS) {
            break;
        }
        out.value(name, type, data, size);
    }
}

void write_key(reg_file& out, const wchar_t* path, int depth)
{
    ::HKEY key = open_machine_key(path);
    if (key == nullptr) {
        return;
    }
    out.text(L"[HKEY_LOCAL_MACHINE\\");
    out.text(path);
    out.text(L"]\r\n");
    write_values(out, key);
    out.text(L"\r\n");
    for (::DWORD index = 0; depth < 16; ++index) {
        wchar_t sub_key[256];
        ::DWORD length = sizeof sub_key / sizeof sub_key[0];
        if (::RegEnumKeyExW(key, index, sub_key, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        wchar_t child[KEY_PATH_CHARS];
        if (std::swprintf(child, KEY_PATH_CHARS, L"%ls\\%ls", path, sub_key) > 0) {
            write_key(out, child, depth + 1);
        }
    }
    ::RegCloseKey(key);
}

void write_value_item(reg_file& out, const flush_item& item)
{
    out.text(L"[HKEY_LOCAL_MACHINE\\");
    out.text(item.key);
    out.text(L"]\r\n");
    static ::BYTE data[1 << 16];
    ::DWORD size = sizeof data;
    ::DWORD type = REG_NONE;
    ::HKEY key = open_machine_key(item.key);
    if (key != nullptr && ::RegQueryValueExW(key, item.value, nullptr, &type, data, &size) == ERROR_SUCCESS) {
        out.value(item.value, type, data, size);
    } else {
        out.quoted(item.value);
        out.text(L"=-\r\n");
    }
    if (key != nullptr) {
        ::RegCloseKey(key);
    }
    out.text(L"\r\n");
}

void write_flush_dump(unsigned long change)
{
    if (settings.flush_dump[0] == L'\0') {
        return;
    }
    {
        reg_file out(settings.flush_dump);
        if (!out.ok()) {
            return;
        }
        for (int i = 0; i < settings.item_count; ++i) {
            const flush_item& item = settings.items[i];
            if (!item.whole_key) {
                write_value_item(out, item);
                continue;
            }
            out.text(L"[-HKEY_LOCAL_MACHINE\\");
            out.text(item.key);
            out.text(L"]\r\n\r\n");
            write_key(out, item.key, 0);
        }
    }
    report("flush %lu%s\n", change, "");
}

} // namespace

void win32::seam_call(seam_effect effect, const char* name)
{
    last_error_kept kept;
    if (!settings_loaded) {
        settings_loaded = true;
        load_settings();
    }
    if (settings.mode == crash_mode::off || effect == seam_effect::looks || effect == seam_effect::logs) {
        return;
    }
    const unsigned long change = ++changes_counted;
    if (settings.mode != crash_mode::count && change == settings.after + 1) {
        report("stop %lu %s\n", change, name);
        if (settings.mode == crash_mode::kill) {
            ::TerminateProcess(::GetCurrentProcess(), KILLED_EXIT_CODE);
        }
        for (;;) {
            ::Sleep(INFINITE);
        }
    }
    report("change %lu %s\n", change, name);
    if (effect == seam_effect::flushes && settings.mode == crash_mode::power) {
        write_flush_dump(change);
    }
}
