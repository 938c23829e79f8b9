// The simulated machine's core: text conversion, the machine state, fault
// injection, the journal, the handle table, and the kernel and user
// interface calls that need no file system or registry.
#include "sim/sim.h"
#include "sim/machine.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>

namespace platform::sim::detail
{

// ---------------------------------------------------------------------------
// Text.

namespace
{

// Code page 1252 between 0x80 and 0x9F. The five bytes the code page leaves
// undefined map to the control characters of the same value, as on Windows.
constexpr char16_t cp1252_high[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool in_range(char16_t c, char16_t low, char16_t high)
{
    return c >= low && c <= high;
}

} // namespace

char16_t fold_upper(char16_t c)
{
    if (in_range(c, u'a', u'z'))
        return static_cast<char16_t>(c - 32);
    if (in_range(c, 0xE0, 0xFE) && c != 0xF7)
        return static_cast<char16_t>(c - 32);
    if (c == 0xFF)
        return 0x178;
    // Latin Extended-A: pairs of capital and small letters.
    bool even_capital = in_range(c, 0x100, 0x137) || in_range(c, 0x14A, 0x177);
    bool odd_capital = in_range(c, 0x139, 0x148) || in_range(c, 0x179, 0x17E);
    if (c != 0x131 && even_capital && (c & 1))
        return static_cast<char16_t>(c - 1);
    if (odd_capital && !(c & 1))
        return static_cast<char16_t>(c - 1);
    if (in_range(c, 0x3B1, 0x3C9) && c != 0x3C2)
        return static_cast<char16_t>(c - 32);
    if (in_range(c, 0x430, 0x44F))
        return static_cast<char16_t>(c - 32);
    if (in_range(c, 0x450, 0x45F))
        return static_cast<char16_t>(c - 80);
    return c;
}

std::u16string fold(const std::u16string& text)
{
    std::u16string out(text);
    for (char16_t& c : out)
        c = fold_upper(c);
    return out;
}

bool fold_equal(const std::u16string& a, const std::u16string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold_upper(a[i]) != fold_upper(b[i]))
            return false;
    }
    return true;
}

bool fold_less::operator()(const std::u16string& a, const std::u16string& b) const
{
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        char16_t x = fold_upper(a[i]);
        char16_t y = fold_upper(b[i]);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

char16_t ansi_to_unit(unsigned char c)
{
    if (c >= 0x80 && c < 0xA0)
        return cp1252_high[c - 0x80];
    return c;
}

char unit_to_ansi(char16_t unit, bool* used_default, char default_char)
{
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF))
        return static_cast<char>(unit);
    for (int i = 0; i < 32; ++i) {
        if (cp1252_high[i] == unit)
            return static_cast<char>(0x80 + i);
    }
    if (used_default)
        *used_default = true;
    return default_char;
}

std::u16string ansi_to_utf16(const std::string& text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char c : text)
        out.push_back(ansi_to_unit(static_cast<unsigned char>(c)));
    return out;
}

std::string utf16_to_ansi(const std::u16string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text)
        out.push_back(unit_to_ansi(c));
    return out;
}

std::string utf8_to_ansi(const std::string& text)
{
    return utf16_to_ansi(utf8_to_utf16(text));
}
std::string ansi_to_utf8(const std::string& text)
{
    return utf16_to_utf8(ansi_to_utf16(text));
}

std::u16string fold_name(const std::string& utf8)
{
    return fold(sim::utf8_to_utf16(utf8));
}

std::size_t wide_length(const WCHAR* text)
{
    std::size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

bool is_string_type(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// ---------------------------------------------------------------------------
// Machine state, faults, journal, handles.

machine& state()
{
    static machine m;
    return m;
}

bool injected_failure(const char* function, long* code)
{
    machine& m = state();
    // A process that ends (killed, or by ExitProcess) runs nothing more on
    // Windows: the system closes its handles. Here the end unwinds the
    // stack, and the owners' destructors close them instead; those calls
    // are the system's, neither counted nor failed.
    if (std::uncaught_exceptions() > 0)
        return false;
    // Calls that the patch makes from destructors, which cannot throw: a
    // kill due there happens at the next call, which is the same moment
    // (closing changes nothing that lasts beyond the process).
    const bool from_destructor =
        std::strcmp(function, "CoUninitialize") == 0 || std::strcmp(function, "dxdiag_close") == 0 ||
        std::strcmp(function, "RegCloseKey") == 0 || std::strcmp(function, "CloseHandle") == 0;
    if (m.calls_before_kill == 0 && !from_destructor) {
        m.calls_before_kill = -1;
        m.killed = true;
        throw process_killed{};
    }
    if (m.calls_before_kill > 0)
        --m.calls_before_kill;
    int occurrence = ++m.calls[function];
    auto faults = m.faults.find(function);
    if (faults == m.faults.end())
        return false;
    auto fault = faults->second.find(occurrence);
    if (fault == faults->second.end())
        return false;
    *code = fault->second;
    return true;
}

void record(const std::string& line)
{
    state().journal.push_back(line);
}

void set_last_error(DWORD error)
{
    state().last_error = error;
}

std::uintptr_t add_handle(handle_entry entry)
{
    machine& m = state();
    std::uintptr_t value = m.next_handle;
    m.next_handle += 4;
    m.handles.emplace(value, std::move(entry));
    return value;
}

handle_entry* find_handle(const void* handle, handle_kind kind)
{
    auto found = state().handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == state().handles.end() || found->second.kind != kind)
        return nullptr;
    return &found->second;
}

bool remove_handle(const void* handle, handle_kind kind)
{
    if (!find_handle(handle, kind))
        return false;
    state().handles.erase(reinterpret_cast<std::uintptr_t>(handle));
    return true;
}

} // namespace platform::sim::detail

// ---------------------------------------------------------------------------
// The sim.h API: machine, conversions, message boxes, faults, journal.

namespace platform::sim
{

using namespace detail;

std::u16string utf8_to_utf16(const std::string& text)
{
    std::u16string out;
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        std::uint32_t code = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool valid = extra >= 0 && i + static_cast<std::size_t>(extra) < text.size();
        for (int k = 1; valid && k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (valid && extra > 0) {
            static const std::uint32_t minimum[4] = {0, 0x80, 0x800, 0x10000};
            valid = code >= minimum[extra] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        }
        if (!valid) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
    return out;
}

std::string utf16_to_utf8(const std::u16string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t code = text[i];
        bool high = code >= 0xD800 && code <= 0xDBFF;
        bool low_follows = i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if (high && low_follows) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

void reset()
{
    machine& m = state();
    m = machine{};
    reset_registry();
    reset_files();
    m.module_file_name = "C:\\Patch\\kestova-patch.exe";
    m.command_line = "\"C:\\Patch\\kestova-patch.exe\"";
    m.system_directory = "C:\\Windows\\system32";
    m.temp_path = "C:\\Users\\Player\\AppData\\Local\\Temp\\";
    m.current_directory = "C:\\Patch";
    m.special_folders[CSIDL_PROGRAM_FILES] = std::string("C:\\Program Files");
    m.special_folders[CSIDL_PROGRAM_FILESX86] = std::string("C:\\Program Files");
    m.special_folders[CSIDL_COMMON_PROGRAMS] =
        std::string("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs");
    m.special_folders[CSIDL_PROGRAMS] =
        std::string("C:\\Users\\Player\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs");
    m.program_files_folder = std::string("C:\\Program Files");
    m.special_folders[CSIDL_COMMON_APPDATA] = std::string("C:\\ProgramData");
    m.environment = {{"PROGRAMFILES", "C:\\Program Files"},
                     {"SYSTEMROOT", "C:\\Windows"},
                     {"WINDIR", "C:\\Windows"},
                     {"ALLUSERSPROFILE", "C:\\ProgramData"}};
    detail::write_registry_to_disc();
}

void set_environment_variable(const std::string& name, const std::string& value)
{
    std::string key = utf8_to_ansi(name);
    for (char& c : key)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    state().environment[key] = utf8_to_ansi(value);
}

int run_process(const std::function<int()>& body)
{
    state().killed = false;
    // A process's timer ends with it.
    struct timer_ends {
        ~timer_ends() { state().timer = machine::thread_timer{}; }
    } timer_ends_with_process;
    try {
        const int code = body();
        close_own_mutexes();
        return code;
    } catch (const process_exit& exit) {
        close_own_mutexes();
        return exit.exit_code;
    } catch (const process_killed&) {
        // The system closes every handle of a killed process; nothing of the
        // process itself runs any more.
        close_own_mutexes();
        state().handles.clear();
        state().snapshots.clear();
        state().calls_before_kill = -1;
        return 1;
    }
}

void kill_after_calls(long calls)
{
    state().calls_before_kill = calls;
}

bool last_run_killed()
{
    return state().killed;
}

int total_call_count()
{
    int total = 0;
    for (const auto& entry : state().calls)
        total += entry.second;
    return total;
}

void clear_answers()
{
    state().answers.clear();
}

void let_time_pass(DWORD milliseconds)
{
    advance_clock(milliseconds);
}

void queue_answers(const std::vector<int>& answers)
{
    for (int answer : answers)
        state().answers.push_back(answer);
}

const std::vector<message_box>& message_boxes()
{
    return state().boxes;
}
int unscripted_box_count()
{
    return state().unscripted_boxes;
}
void on_message_box(std::function<void(const message_box&)> callback)
{
    state().on_box = std::move(callback);
}

void fail_call(const std::string& function, int occurrence, long error_code)
{
    state().faults[function][occurrence] = error_code;
}

int call_count(const std::string& function)
{
    auto found = state().calls.find(function);
    return found == state().calls.end() ? 0 : found->second;
}

std::map<std::string, int> call_counts()
{
    return state().calls;
}

const std::vector<std::string>& journal()
{
    return state().journal;
}
void clear_journal()
{
    state().journal.clear();
}

int open_handle_count()
{
    int count = 0;
    for (const auto& entry : state().handles) {
        if (entry.second.kind != handle_kind::font)
            ++count;
    }
    return count;
}

const std::vector<std::string>& debug_output()
{
    return state().debug_output;
}
int com_initialize_depth()
{
    return state().com_depth;
}

void set_module_file_name(const std::string& path)
{
    state().module_file_name = path;
}
void set_command_line(const std::string& command_line)
{
    state().command_line = utf8_to_ansi(command_line);
}
void set_system_directory(const std::string& path)
{
    state().system_directory = utf8_to_ansi(path);
}
void set_current_directory(const std::string& path)
{
    state().current_directory = path;
}

void set_os_version(DWORD major, DWORD minor, DWORD platform_id, bool call_succeeds)
{
    machine& m = state();
    m.os_major = major;
    m.os_minor = minor;
    m.os_platform = platform_id;
    m.os_call_succeeds = call_succeeds;
}

void set_special_folder(int csidl, std::optional<std::string> path)
{
    if (path)
        path = utf8_to_ansi(*path);
    state().special_folders[csidl] = path;
}

void set_path_from_id_list_fails(bool fails)
{
    state().path_from_id_list_fails = fails;
}

void set_program_files_folder(std::optional<std::string> path)
{
    if (path)
        path = utf8_to_ansi(*path);
    state().program_files_folder = path;
}

} // namespace platform::sim

// ---------------------------------------------------------------------------
// The seam: kernel and user interface.

namespace platform
{

using namespace sim::detail;

DWORD GetLastError()
{
    return state().last_error;
}
void SetLastError(DWORD error)
{
    state().last_error = error;
}

const char* GetCommandLineA()
{
    long code = 0;
    injected_failure("GetCommandLineA", &code); // cannot fail; counted only
    return state().command_line.c_str();
}

// Modern semantics: a buffer that is too small gets size - 1 characters and
// a NUL, the result is size and the last error ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(void* module, char* file_name, DWORD size)
{
    long code = 0;
    if (injected_failure("GetModuleFileNameA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    if (module) {
        set_last_error(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::string path = utf8_to_ansi(state().module_file_name);
    if (!file_name || size == 0) {
        set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < size) {
        std::memcpy(file_name, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }
    std::memcpy(file_name, path.data(), size - 1);
    file_name[size - 1] = '\0';
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

// The same conventions as GetModuleFileNameA, in UTF-16 code units, with
// every character of the path.
DWORD GetModuleFileNameW(void* module, WCHAR* file_name, DWORD size)
{
    long code = 0;
    if (injected_failure("GetModuleFileNameW", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    if (module) {
        set_last_error(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::u16string path = sim::utf8_to_utf16(state().module_file_name);
    if (!file_name || size == 0) {
        set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < size) {
        std::copy(path.begin(), path.end(), file_name);
        file_name[path.size()] = 0;
        return static_cast<DWORD>(path.size());
    }
    std::copy(path.begin(), path.begin() + (size - 1), file_name);
    file_name[size - 1] = 0;
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

// Too small a buffer: the required size, terminator included, and nothing
// written.
UINT GetSystemDirectoryA(char* buffer, UINT size)
{
    long code = 0;
    if (injected_failure("GetSystemDirectoryA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    const std::string& path = state().system_directory;
    if (path.empty()) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (!buffer || size <= path.size())
        return static_cast<UINT>(path.size() + 1);
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<UINT>(path.size());
}

void OutputDebugStringA(const char* text)
{
    long code = 0;
    injected_failure("OutputDebugStringA", &code);
    state().debug_output.push_back(text ? text : "");
}

namespace
{

DWORD build_number(DWORD major, DWORD minor)
{
    static const struct {
        DWORD major, minor, build;
    } builds[] = {{5, 0, 2195}, {5, 1, 2600}, {5, 2, 3790}, {6, 0, 6002}, {6, 1, 7601}, {6, 2, 9200}};
    for (const auto& b : builds) {
        if (b.major == major && b.minor == minor)
            return b.build;
    }
    return 0;
}

} // namespace

BOOL GetVersionExA(OSVERSIONINFOA* info)
{
    long code = 0;
    if (injected_failure("GetVersionExA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    machine& m = state();
    if (!m.os_call_succeeds) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    info->dwMajorVersion = m.os_major;
    info->dwMinorVersion = m.os_minor;
    info->dwBuildNumber = build_number(m.os_major, m.os_minor);
    info->dwPlatformId = m.os_platform;
    std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
    return 1;
}

// ---------------------------------------------------------------------------
// Code page conversion with Windows' length conventions: a length of -1
// takes the terminator along; an output length of 0 asks for the size; too
// small an output fills it and then fails with ERROR_INSUFFICIENT_BUFFER.

namespace
{

constexpr DWORD MB_ERR_INVALID_CHARS = 0x8;

std::u16string decode_utf8(const char* text, std::size_t length, bool* invalid)
{
    std::string bytes(text, length);
    std::u16string out = sim::utf8_to_utf16(bytes);
    // utf8_to_utf16 marks each bad byte with U+FFFD; a real U+FFFD in the
    // input is three bytes long and cannot be told apart by count alone.
    std::string round_trip = sim::utf16_to_utf8(out);
    *invalid = round_trip != bytes;
    return out;
}

template <typename Unit>
int deliver(const std::basic_string<Unit>& converted, Unit* output, int output_length)
{
    if (output_length == 0)
        return static_cast<int>(converted.size());
    std::size_t fits = std::min(converted.size(), static_cast<std::size_t>(output_length));
    std::copy(converted.begin(), converted.begin() + static_cast<std::ptrdiff_t>(fits), output);
    if (fits < converted.size()) {
        set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(converted.size());
}

bool is_ansi_code_page(UINT code_page)
{
    return code_page == CP_ACP || code_page == 1252;
}

} // namespace

int MultiByteToWideChar(UINT code_page, DWORD flags, const char* text, int length, WCHAR* wide,
                        int wide_length)
{
    long code = 0;
    if (injected_failure("MultiByteToWideChar", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    bool known = is_ansi_code_page(code_page) || code_page == CP_UTF8;
    if (!known || !text || length == 0 || length < -1 || wide_length < 0 || (wide_length > 0 && !wide)) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::size_t count = length == -1 ? std::strlen(text) + 1 : static_cast<std::size_t>(length);
    std::u16string converted;
    if (code_page == CP_UTF8) {
        bool invalid = false;
        converted = decode_utf8(text, count, &invalid);
        if (invalid && (flags & MB_ERR_INVALID_CHARS)) {
            set_last_error(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    } else {
        converted = ansi_to_utf16(std::string(text, count));
    }
    return deliver(converted, wide, wide_length);
}

int WideCharToMultiByte(UINT code_page, DWORD flags, const WCHAR* wide, int wide_length, char* text,
                        int length, const char* default_char, BOOL* used_default_char)
{
    (void)flags;
    long code = 0;
    if (injected_failure("WideCharToMultiByte", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    bool known = is_ansi_code_page(code_page) || code_page == CP_UTF8;
    bool utf8_with_default = code_page == CP_UTF8 && (default_char || used_default_char);
    if (!known || utf8_with_default || !wide || wide_length == 0 || wide_length < -1 || length < 0 ||
        (length > 0 && !text)) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::size_t count =
        wide_length == -1 ? sim::detail::wide_length(wide) + 1 : static_cast<std::size_t>(wide_length);
    std::u16string source(wide, count);
    std::string converted;
    if (code_page == CP_UTF8) {
        converted = sim::utf16_to_utf8(source);
    } else {
        bool used = false;
        char fallback = default_char ? *default_char : '?';
        for (char16_t unit : source)
            converted.push_back(unit_to_ansi(unit, &used, fallback));
        if (used_default_char)
            *used_default_char = used ? 1 : 0;
    }
    return deliver(converted, text, length);
}

namespace
{

// The text with each %NAME% whose name the environment knows replaced by
// its value; anything else stays as written.
std::string expand_environment(const std::string& text)
{
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t end = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
        if (end == std::string::npos) {
            out.push_back(text[i++]);
            continue;
        }
        std::string name = text.substr(i + 1, end - i - 1);
        for (char& c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        auto found = state().environment.find(name);
        if (found == state().environment.end() || name.empty()) {
            out += text.substr(i, end - i + 1);
            i = end + 1;
            continue;
        }
        out += found->second;
        i = end + 1;
    }
    return out;
}

} // namespace

DWORD ExpandEnvironmentStringsA(const char* source, char* destination, DWORD size)
{
    long code = 0;
    if (injected_failure("ExpandEnvironmentStringsA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    if (!source || (size && !destination)) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string expanded = expand_environment(source);
    const DWORD needed = static_cast<DWORD>(expanded.size() + 1);
    if (needed <= size)
        std::memcpy(destination, expanded.c_str(), needed);
    return needed;
}

[[noreturn]] void exit_process(int exit_code)
{
    long code = 0;
    injected_failure("exit_process", &code);
    throw sim::process_exit{exit_code};
}

// ---------------------------------------------------------------------------
// User interface.

namespace
{

constexpr UINT MB_TYPEMASK = 0xF;

int default_answer(UINT style)
{
    return (style & MB_TYPEMASK) == MB_OK ? IDOK : IDCANCEL;
}

} // namespace

int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type)
{
    long code = 0;
    if (injected_failure("MessageBoxA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    machine& m = state();
    sim::message_box box{owner, text ? text : "", caption ? caption : "<null>", type, 0};
    box.text = ansi_to_utf8(box.text);
    if (caption)
        box.caption = ansi_to_utf8(box.caption);
    record("message box " + box.text);
    std::size_t index = m.boxes.size();
    m.boxes.push_back(box);
    if (m.on_box) {
        auto callback = m.on_box; // the callback may replace itself
        callback(box);
    }
    run_box_message_loop();
    int answer = default_answer(type);
    if (m.answers.empty()) {
        ++m.unscripted_boxes;
    } else {
        answer = m.answers.front();
        m.answers.pop_front();
    }
    m.boxes[index].answer = answer;
    return answer;
}

HFONT CreateFontIndirectA(const LOGFONTA* font)
{
    long code = 0;
    if (injected_failure("CreateFontIndirectA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return nullptr;
    }
    if (!font)
        return nullptr;
    handle_entry entry{
        handle_kind::font, nullptr, 0, std::string(font->lfFaceName, strnlen(font->lfFaceName, 32)), 0, {}};
    return reinterpret_cast<HFONT>(add_handle(std::move(entry)));
}

INT_PTR SendMessageA(HWND window, UINT message, std::uintptr_t wparam, INT_PTR lparam)
{
    (void)window;
    (void)message;
    (void)wparam;
    (void)lparam;
    long code = 0;
    injected_failure("SendMessageA", &code);
    return 0;
}

} // namespace platform
