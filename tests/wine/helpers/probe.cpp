// Answers questions about the Windows machine it runs on, as a 32-bit program
// sees it, and prints each answer as one JSON document:
//   probe drive D:\      the drive's type and, when readable, its volume label
//   probe drives         every logical drive with its type
//   probe reg KEY        a key of HKEY_LOCAL_MACHINE with its values and
//                        subkeys, all the way down ({"exists": false} if absent)
//   probe processes      every process of the machine: its id, its parent's
//                        id and its program's file name
// The end-to-end tests use it to check drive set-ups and to read back the
// registry in the 32-bit view that the patch itself uses.
#include "helper_util.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

// The drive calls are the ANSI ones that the patch makes.
std::string drive_json(const char* root)
{
    UINT type = GetDriveTypeA(root);
    char label[MAX_PATH + 1] = {};
    char file_system[MAX_PATH + 1] = {};
    DWORD serial = 0;
    BOOL readable = GetVolumeInformationA(root, label, sizeof label, &serial, nullptr, nullptr, file_system,
                                          sizeof file_system);
    std::string json = "{\"root\": " + helper::json_quote(helper::acp_to_utf8(root));
    json += ", \"type\": " + std::to_string(type);
    json += ", \"readable\": " + std::string(readable ? "true" : "false");
    if (readable) {
        json += ", \"label\": " + helper::json_quote(helper::acp_to_utf8(label));
        json += ", \"file_system\": " + helper::json_quote(helper::acp_to_utf8(file_system));
        json += ", \"serial\": " + std::to_string(serial);
    }
    return json + "}";
}

int print_drive(const char* root)
{
    printf("%s\n", drive_json(root).c_str());
    return 0;
}

int print_drives()
{
    char roots[512] = {};
    DWORD length = GetLogicalDriveStringsA(sizeof roots, roots);
    if (length == 0 || length >= sizeof roots)
        return 1;
    std::string json = "[";
    for (const char* root = roots; *root != '\0'; root += strlen(root) + 1) {
        if (json.size() > 1)
            json += ", ";
        json += drive_json(root);
    }
    printf("%s]\n", json.c_str());
    return 0;
}

std::string hex_bytes(const BYTE* data, DWORD size)
{
    std::string hex;
    char pair[3];
    for (DWORD i = 0; i < size; ++i) {
        snprintf(pair, sizeof pair, "%02x", data[i]);
        hex += pair;
    }
    return hex;
}

// The ANSI text of a string value, without the terminator if one was stored.
std::string value_text(const BYTE* data, DWORD size)
{
    const char* text = reinterpret_cast<const char*>(data);
    int length = static_cast<int>(size);
    while (length > 0 && text[length - 1] == '\0')
        --length;
    return helper::acp_to_utf8(text, length);
}

std::string value_json(DWORD type, const BYTE* data, DWORD size)
{
    std::string json = "{\"type\": " + std::to_string(type);
    json += ", \"size\": " + std::to_string(size);
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        json += ", \"text\": " + helper::json_quote(value_text(data, size));
    if (type == REG_DWORD && size == sizeof(DWORD)) {
        DWORD number;
        memcpy(&number, data, sizeof number);
        json += ", \"dword\": " + std::to_string(number);
    }
    return json + ", \"hex\": \"" + hex_bytes(data, size) + "\"}";
}

// Values are read through the ANSI calls, as the patch reads them, so that
// "size" and "hex" are exactly what the patch gets.
std::string values_json(HKEY key, DWORD max_name, DWORD max_data)
{
    std::vector<char> name(max_name + 1);
    std::vector<BYTE> data(max_data + 1);
    std::string json = "{";
    for (DWORD index = 0;;) {
        DWORD name_length = static_cast<DWORD>(name.size());
        DWORD data_size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG result =
            RegEnumValueA(key, index, name.data(), &name_length, nullptr, &type, data.data(), &data_size);
        if (result == ERROR_MORE_DATA) {
            // The sizes from RegQueryInfoKeyA need not hold for the ANSI
            // forms; grow both buffers and read the same value again.
            name.resize(name.size() * 2 + 256);
            data.resize(std::max<size_t>(data.size() * 2, data_size + 1));
            continue;
        }
        if (result != ERROR_SUCCESS)
            break;
        if (json.size() > 1)
            json += ", ";
        json += helper::json_quote(helper::acp_to_utf8(name.data(), static_cast<int>(name_length)));
        json += ": " + value_json(type, data.data(), data_size);
        ++index;
    }
    return json + "}";
}

std::string key_json(HKEY key)
{
    DWORD subkey_count = 0, max_subkey = 0, max_value_name = 0, max_data = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkey_count, &max_subkey, nullptr, nullptr,
                         &max_value_name, &max_data, nullptr, nullptr) != ERROR_SUCCESS)
        return "{\"exists\": true, \"error\": \"RegQueryInfoKey failed\"}";
    std::string json = "{\"exists\": true, \"values\": " + values_json(key, max_value_name, max_data);
    json += ", \"subkeys\": {";
    std::vector<char> name(max_subkey + 1);
    bool first = true;
    for (DWORD index = 0; index < subkey_count; ++index) {
        DWORD name_length = max_subkey + 1;
        if (RegEnumKeyExA(key, index, name.data(), &name_length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        helper::scoped_key subkey;
        if (RegOpenKeyExA(key, name.data(), 0, KEY_READ, subkey.out()) != ERROR_SUCCESS)
            continue;
        if (!first)
            json += ", ";
        first = false;
        json += helper::json_quote(helper::acp_to_utf8(name.data(), static_cast<int>(name_length)));
        json += ": " + key_json(subkey.get());
    }
    return json + "}}";
}

// The key path may start with HKLM\ or HKEY_LOCAL_MACHINE\; it is always
// taken under HKEY_LOCAL_MACHINE.
std::string strip_root(const std::string& path)
{
    for (const char* root : {"HKLM\\", "HKEY_LOCAL_MACHINE\\"}) {
        size_t length = strlen(root);
        if (path.size() >= length && _strnicmp(path.c_str(), root, length) == 0)
            return path.substr(length);
    }
    return path;
}

int print_key(const char* path)
{
    std::string subkey = strip_root(path);
    helper::scoped_key key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, key.out());
    if (result == ERROR_FILE_NOT_FOUND) {
        printf("{\"exists\": false}\n");
        return 0;
    }
    if (result != ERROR_SUCCESS) {
        printf("{\"exists\": null, \"error\": %ld}\n", static_cast<long>(result));
        return 1;
    }
    printf("%s\n", key_json(key.get()).c_str());
    return 0;
}

int print_processes()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 1;
    std::string json = "[";
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL found = Process32FirstW(snapshot, &entry); found; found = Process32NextW(snapshot, &entry)) {
        if (json.size() > 1)
            json += ", ";
        json += "{\"pid\": " + std::to_string(entry.th32ProcessID) +
                ", \"parent\": " + std::to_string(entry.th32ParentProcessID) +
                ", \"exe\": " + helper::json_quote(helper::to_utf8(entry.szExeFile)) + "}";
    }
    CloseHandle(snapshot);
    printf("%s]\n", json.c_str());
    return 0;
}

int usage()
{
    fprintf(stderr, "usage: probe drive ROOT | probe drives | probe reg KEY | probe processes\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "drive") == 0)
        return print_drive(argv[2]);
    if (argc == 2 && strcmp(argv[1], "drives") == 0)
        return print_drives();
    if (argc == 3 && strcmp(argv[1], "reg") == 0)
        return print_key(argv[2]);
    if (argc == 2 && strcmp(argv[1], "processes") == 0)
        return print_processes();
    return usage();
}
