// Asks the patch's own DirectX detection what it finds on the machine it
// runs on, and prints the answers as one JSON document:
//   - "diagnostics": directx_version_from_diagnostics (the diagnostics
//     provider);
//   - "file_table": directx_version_from_file_versions (the version
//     resources of the system files);
//   - "query": query_directx_version, with its packed value and text;
//   - "files": the version of each file the table reads, as read_file_version
//     reads it, so that the caller can work out the file table's answer on
//     its own and compare.
// It links the patch's library and reaches Windows through its seam only.
#include "directx_version/directx_version.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace
{

const char* const TABLE_FILES[] = {"ddraw.dll", "d3drg8x.dll", "dplayx.dll", "dinput.dll",
                                   "d3d8.dll",  "mpg2splt.ax", "dpnet.dll",  "d3d9.dll"};

std::string quote(const char* text)
{
    std::string json = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += *p;
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            json += escaped;
        } else {
            json += *p;
        }
    }
    return json + "\"";
}

std::string hresult(platform::HRESULT result)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx",
                  static_cast<unsigned long>(static_cast<std::uint32_t>(result)));
    return quote(text);
}

std::string triple_json(platform::HRESULT result, std::int32_t major, std::int32_t minor, char letter)
{
    const char letter_text[2] = {letter, '\0'};
    return "{\"hr\": " + hresult(result) + ", \"major\": " + std::to_string(major) +
           ", \"minor\": " + std::to_string(minor) + ", \"letter\": " + quote(letter_text) + "}";
}

std::string diagnostics_json()
{
    // Poisoned, so that an output the call does not write shows.
    std::int32_t major = -1, minor = -1;
    char letter = '?';
    platform::HRESULT result = directx_version_from_diagnostics(&major, &minor, &letter);
    return triple_json(result, major, minor, letter);
}

std::string file_table_json()
{
    std::int32_t major = -1, minor = -1;
    char letter = '?';
    platform::HRESULT result = directx_version_from_file_versions(&major, &minor, &letter);
    return triple_json(result, major, minor, letter);
}

std::string query_json()
{
    PackedDirectXVersion packed = 0xFFFFFFFFu;
    char text[32] = "poisoned";
    platform::HRESULT result = query_directx_version(&packed, text, sizeof text);
    char packed_text[16];
    std::snprintf(packed_text, sizeof packed_text, "0x%08lx", static_cast<unsigned long>(packed));
    return "{\"hr\": " + hresult(result) + ", \"packed\": " + quote(packed_text) +
           ", \"text\": " + quote(text) + "}";
}

std::string file_version_json(const char* system_directory, const char* file_name)
{
    char path[512];
    int length = std::snprintf(path, sizeof path, "%s\\%s", system_directory, file_name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path)
        return "null";
    FileVersion64 version = 0;
    platform::HRESULT result = read_file_version(path, &version);
    if (platform::FAILED(result))
        return "{\"hr\": " + hresult(result) + "}";
    char text[64];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(version >> 48),
                  static_cast<unsigned>((version >> 32) & 0xFFFF),
                  static_cast<unsigned>((version >> 16) & 0xFFFF), static_cast<unsigned>(version & 0xFFFF));
    return "{\"hr\": " + hresult(result) + ", \"version\": " + quote(text) + "}";
}

std::string files_json(const char* system_directory)
{
    std::string json = "{";
    for (const char* file_name : TABLE_FILES) {
        if (json.size() > 1)
            json += ", ";
        json += quote(file_name) + ": " + file_version_json(system_directory, file_name);
    }
    return json + "}";
}

} // namespace

int main()
{
    platform::CoInitialize(nullptr);
    char system_directory[260] = "";
    platform::UINT length = platform::GetSystemDirectoryA(system_directory, sizeof system_directory);
    if (length == 0 || length >= sizeof system_directory)
        system_directory[0] = '\0';
    std::string json = "{\"system_directory\": " + quote(system_directory);
    json += ", \"diagnostics\": " + diagnostics_json();
    json += ", \"file_table\": " + file_table_json();
    json += ", \"query\": " + query_json();
    json += ", \"files\": " + files_json(system_directory) + "}";
    std::printf("%s\n", json.c_str());
    platform::CoUninitialize();
    return 0;
}
