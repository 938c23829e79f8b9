// Measures the installed DirectX release: first through the diagnostics
// provider, and only when that fails through the version resources of a
// fixed list of system files.
#include "directx_version/directx_version.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>

using namespace platform;

namespace
{

constexpr UINT SYSTEM_DIRECTORY_LIMIT = 260;
constexpr std::size_t FILE_PATH_BUFFER_SIZE = 512;
constexpr int LETTER_BUFFER_SIZE = 10;
constexpr char NO_LETTER = ' ';

// Bounded formatting through the platform: true when the whole text fit
// (a longer one is cut and NUL-terminated).
bool format_into(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
bool format_into(char* buffer, std::size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int fit = format_bounded(buffer, size, format, args);
    va_end(args);
    return fit != 0;
}

struct version_triple {
    std::int32_t major;
    std::int32_t minor;
    char letter;
};

// ---------------------------------------------------------------------------
// The diagnostics provider.

// Balances a successful CoInitialize (S_FALSE included) with CoUninitialize.
class scoped_com_initialization
{
  public:
    scoped_com_initialization() : initialized_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~scoped_com_initialization()
    {
        if (initialized_) {
            CoUninitialize();
        }
    }
    scoped_com_initialization(const scoped_com_initialization&) = delete;
    scoped_com_initialization& operator=(const scoped_com_initialization&) = delete;

  private:
    bool initialized_;
};

struct dxdiag_session_closer {
    void operator()(DXDIAG_SESSION* session) const { dxdiag_close(session); }
};
using dxdiag_session_owner = std::unique_ptr<DXDIAG_SESSION, dxdiag_session_closer>;

// Accepts only a VT_UI4 property; an unaccepted read leaves the output as it
// was.
bool read_unsigned_property(DXDIAG_SESSION* session, const WCHAR* name, std::int32_t* value)
{
    DXDIAG_PROPERTY property{};
    if (FAILED(dxdiag_get_property(session, name, &property)) || property.vt != VT_UI4) {
        return false;
    }
    if (value != nullptr) {
        *value = static_cast<std::int32_t>(property.ulVal);
    }
    return true;
}

// Converts the whole string into the 10-byte buffer. A string too long for
// it makes the conversion fail, so its first character is then converted on
// its own (two units for a surrogate pair): only that character counts.
bool convert_first_letter(const WCHAR* text, char* letter)
{
    char converted[LETTER_BUFFER_SIZE] = {};
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, converted, sizeof converted, nullptr, nullptr) == 0) {
        const bool surrogate_pair =
            text[0] >= 0xD800 && text[0] <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF;
        std::memset(converted, 0, sizeof converted);
        if (WideCharToMultiByte(CP_ACP, 0, text, surrogate_pair ? 2 : 1, converted, sizeof converted - 1,
                                nullptr, nullptr) == 0) {
            return false;
        }
    }
    *letter = converted[0];
    return true;
}

bool read_letter_property(DXDIAG_SESSION* session, const WCHAR* name, char* letter)
{
    DXDIAG_PROPERTY property{};
    if (FAILED(dxdiag_get_property(session, name, &property)) || property.vt != VT_BSTR ||
        property.bstr_is_null) {
        return false;
    }
    // The text must end inside its buffer whatever the provider handed over.
    property.bstrVal[sizeof property.bstrVal / sizeof property.bstrVal[0] - 1] = 0;
    char converted = '\0';
    if (!convert_first_letter(property.bstrVal, &converted)) {
        return false;
    }
    if (letter != nullptr) {
        *letter = converted;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The file table.

enum class row_condition {
    at_least,               // the file's version is at least threshold
    at_least_by_first_part, // first part 4: threshold; 5: threshold_first_part_5
    readable,               // the file's version can be read
};

struct version_parts {
    std::uint32_t a, b, c, d;
};

struct file_row {
    int group;
    const char* file_name;
    row_condition condition;
    version_parts threshold;
    version_parts threshold_first_part_5;
    version_triple result;
};

// One row per known DirectX release. Consecutive rows of one group share one
// reading of the file's version; the last passing row decides.
constexpr file_row FILE_ROWS[] = {
    {1, "ddraw.dll", row_condition::at_least, {4, 2, 0, 95}, {}, {1, 0, NO_LETTER}},
    {1, "ddraw.dll", row_condition::at_least, {4, 3, 0, 1096}, {}, {2, 0, NO_LETTER}},
    {1, "ddraw.dll", row_condition::at_least, {4, 4, 0, 68}, {}, {3, 0, NO_LETTER}},
    {2, "d3drg8x.dll", row_condition::at_least, {4, 4, 0, 70}, {}, {3, 0, 'a'}},
    {3, "ddraw.dll", row_condition::at_least, {4, 5, 0, 155}, {}, {5, 0, NO_LETTER}},
    {3, "ddraw.dll", row_condition::at_least, {4, 6, 0, 318}, {}, {6, 0, NO_LETTER}},
    {3, "ddraw.dll", row_condition::at_least, {4, 6, 0, 436}, {}, {6, 1, NO_LETTER}},
    {4, "dplayx.dll", row_condition::at_least, {4, 6, 3, 518}, {}, {6, 1, 'a'}},
    {5, "ddraw.dll", row_condition::at_least, {4, 7, 0, 700}, {}, {7, 0, NO_LETTER}},
    {6, "dinput.dll", row_condition::at_least, {4, 7, 0, 716}, {}, {7, 0, 'a'}},
    {7,
     "ddraw.dll",
     row_condition::at_least_by_first_part,
     {4, 8, 0, 400},
     {5, 1, 2258, 400},
     {8, 0, NO_LETTER}},
    {8,
     "d3d8.dll",
     row_condition::at_least_by_first_part,
     {4, 8, 1, 881},
     {5, 1, 2600, 881},
     {8, 1, NO_LETTER}},
    {8, "d3d8.dll", row_condition::at_least_by_first_part, {4, 8, 1, 901}, {5, 1, 2600, 901}, {8, 1, 'a'}},
    {9, "mpg2splt.ax", row_condition::at_least, {6, 3, 1, 885}, {}, {8, 1, 'b'}},
    {10,
     "dpnet.dll",
     row_condition::at_least_by_first_part,
     {4, 9, 0, 134},
     {5, 2, 3677, 134},
     {8, 2, NO_LETTER}},
    {11, "d3d9.dll", row_condition::readable, {}, {}, {9, 0, NO_LETTER}},
};

bool is_at_least(FileVersion64 version, const version_parts& threshold)
{
    const FileVersion64 packed = pack_version(threshold.a, threshold.b, threshold.c, threshold.d);
    return compare_packed_versions(version, packed) >= 0;
}

bool row_passes(const file_row& row, FileVersion64 version)
{
    switch (row.condition) {
    case row_condition::at_least:
        return is_at_least(version, row.threshold);
    case row_condition::at_least_by_first_part: {
        const std::uint32_t first_part = static_cast<std::uint32_t>(version >> 48);
        if (first_part == 4) {
            return is_at_least(version, row.threshold);
        }
        return first_part == 5 && is_at_least(version, row.threshold_first_part_5);
    }
    case row_condition::readable:
        return true;
    }
    return false;
}

// The system directory, or false when there is none. A path that does not
// fit the limit is refused rather than cut: a cut path names other files.
bool get_system_directory(char (&directory)[SYSTEM_DIRECTORY_LIMIT])
{
    const UINT length = GetSystemDirectoryA(directory, SYSTEM_DIRECTORY_LIMIT);
    directory[SYSTEM_DIRECTORY_LIMIT - 1] = '\0';
    return length > 0 && length < SYSTEM_DIRECTORY_LIMIT;
}

HRESULT read_system_file_version(const char* system_directory, const char* file_name, FileVersion64* version)
{
    char path[FILE_PATH_BUFFER_SIZE];
    if (!format_into(path, sizeof path, "%s\\%s", system_directory, file_name)) {
        return E_FAIL;
    }
    return read_file_version(path, version);
}

// Walks the table and reports whether any row passed; *result holds the
// last passing row's release.
bool find_release_in_file_table(const char* system_directory, version_triple* result)
{
    bool found = false;
    int read_group = 0;
    bool group_readable = false;
    FileVersion64 version = 0;
    for (const file_row& row : FILE_ROWS) {
        if (row.group != read_group) {
            read_group = row.group;
            group_readable = SUCCEEDED(read_system_file_version(system_directory, row.file_name, &version));
        }
        if (group_readable && row_passes(row, version)) {
            *result = row.result;
            found = true;
        }
    }
    return found;
}

// ---------------------------------------------------------------------------
// The query.

char lower_ascii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::uint32_t letter_number(char letter)
{
    return letter >= 'a' && letter <= 'z' ? static_cast<std::uint32_t>(letter - 'a' + 1) : 0;
}

// Computed in unsigned arithmetic: the parts are added, not masked, and a
// provider's out-of-range major must not overflow a signed value.
PackedDirectXVersion pack_directx_version(const version_triple& triple)
{
    const std::uint32_t major = static_cast<std::uint32_t>(triple.major);
    const std::uint32_t minor = static_cast<std::uint32_t>(triple.minor);
    return (major * 256u + minor) * 256u + letter_number(triple.letter);
}

void format_directx_version(const version_triple& triple, char* text, std::int32_t text_length)
{
    const std::size_t size = static_cast<std::size_t>(text_length);
    if (triple.letter == NO_LETTER || triple.letter == '\0') {
        format_into(text, size, "%d.%d", triple.major, triple.minor);
        return;
    }
    format_into(text, size, "%d.%d%c", triple.major, triple.minor, triple.letter);
}

} // namespace

HRESULT query_directx_version(PackedDirectXVersion* packed, char* text, std::int32_t text_length)
{
    const bool wants_text = text != nullptr && text_length > 0;
    if (packed != nullptr) {
        *packed = 0;
    }
    if (wants_text) {
        text[0] = '\0';
    }

    version_triple triple{0, 0, NO_LETTER};
    if (FAILED(directx_version_from_diagnostics(&triple.major, &triple.minor, &triple.letter)) &&
        FAILED(directx_version_from_file_versions(&triple.major, &triple.minor, &triple.letter))) {
        return E_FAIL;
    }
    triple.letter = lower_ascii(triple.letter);

    if (packed != nullptr) {
        *packed = pack_directx_version(triple);
    }
    if (wants_text) {
        format_directx_version(triple, text, text_length);
    }
    return S_OK;
}

HRESULT directx_version_from_diagnostics(std::int32_t* major, std::int32_t* minor, char* letter)
{
    const scoped_com_initialization com;
    DXDIAG_SESSION* opened = nullptr;
    if (FAILED(dxdiag_open_system_info(&opened)) || opened == nullptr) {
        return E_FAIL;
    }
    const dxdiag_session_owner session(opened);

    // Every property is read even when an earlier one was not accepted.
    const bool major_read = read_unsigned_property(session.get(), u"dwDirectXVersionMajor", major);
    const bool minor_read = read_unsigned_property(session.get(), u"dwDirectXVersionMinor", minor);
    const bool letter_read = read_letter_property(session.get(), u"szDirectXVersionLetter", letter);
    return major_read && minor_read && letter_read ? S_OK : E_FAIL;
}

HRESULT directx_version_from_file_versions(std::int32_t* major, std::int32_t* minor, char* letter)
{
    version_triple result{0, 0, NO_LETTER};
    char system_directory[SYSTEM_DIRECTORY_LIMIT];
    if (get_system_directory(system_directory)) {
        find_release_in_file_table(system_directory, &result);
    }
    if (major != nullptr) {
        *major = result.major;
    }
    if (minor != nullptr) {
        *minor = result.minor;
    }
    if (letter != nullptr) {
        *letter = result.letter;
    }
    return S_OK;
}

HRESULT read_file_version(const char* path, FileVersion64* version)
{
    if (path == nullptr || version == nullptr) {
        return E_INVALIDARG;
    }
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) {
        return E_FAIL;
    }
    const std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
    if (!block) {
        return E_OUTOFMEMORY;
    }
    if (!GetFileVersionInfoA(path, 0, size, block.get())) {
        return E_FAIL;
    }
    void* fixed_info = nullptr;
    UINT fixed_info_length = 0;
    if (!VerQueryValueA(block.get(), "\\", &fixed_info, &fixed_info_length) || fixed_info == nullptr ||
        fixed_info_length < sizeof(VS_FIXEDFILEINFO)) {
        return E_FAIL;
    }
    // The record lies inside the block at whatever alignment the file gave it.
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, fixed_info, sizeof info);
    *version = (static_cast<FileVersion64>(info.dwFileVersionMS) << 32) | info.dwFileVersionLS;
    return S_OK;
}

FileVersion64 pack_version(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d)
{
    return (static_cast<FileVersion64>(a & 0xFFFFu) << 48) | (static_cast<FileVersion64>(b & 0xFFFFu) << 32) |
           (static_cast<FileVersion64>(c & 0xFFFFu) << 16) | static_cast<FileVersion64>(d & 0xFFFFu);
}

std::int32_t compare_packed_versions(FileVersion64 x, FileVersion64 y)
{
    const std::uint32_t x_upper = static_cast<std::uint32_t>(x >> 32);
    const std::uint32_t y_upper = static_cast<std::uint32_t>(y >> 32);
    if (x_upper != y_upper) {
        return x_upper > y_upper ? 1 : -1;
    }
    const std::uint32_t x_lower = static_cast<std::uint32_t>(x);
    const std::uint32_t y_lower = static_cast<std::uint32_t>(y);
    if (x_lower != y_lower) {
        return x_lower > y_lower ? 1 : -1;
    }
    return 0;
}
