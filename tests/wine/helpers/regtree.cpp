// Exports a key of HKEY_LOCAL_MACHINE, as a 32-bit program sees it, with
// all its values and subkeys, as one JSON document:
//   regtree KEY   {"exists": true, "last_write": FILETIME, "values":
//                  [[name, type, hex], ...], "subkeys": {name: {...}}}
//                 or {"exists": false}
//   regtree KEY KEY...  one such document a line, in the order given (one
//                 program start for all the keys a check reads)
// Names and data are read through the wide calls, so the document holds the
// stored bytes exactly (text outside the ANSI code page included), in the
// order the registry enumerates them. The end-to-end tests compare two
// exports to tell that a registration came back byte for byte, and the
// keys' last write times to tell that it was moved at all.
#include "helper_util.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

std::string hex_bytes(const BYTE* data, DWORD size)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (DWORD i = 0; i < size; ++i) {
        hex += digits[data[i] >> 4];
        hex += digits[data[i] & 0xF];
    }
    return hex;
}

std::string name_json(const std::vector<wchar_t>& name, DWORD length)
{
    return helper::json_quote(helper::to_utf8(name.data(), static_cast<int>(length)));
}

// Sizes from RegQueryInfoKeyW, plus one character for the terminator.
std::string values_json(HKEY key, DWORD max_name, DWORD max_data)
{
    std::vector<wchar_t> name(max_name + 1);
    std::vector<BYTE> data(max_data + 1);
    std::string json = "[";
    for (DWORD index = 0;; ++index) {
        DWORD name_length = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        if (RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS)
            break;
        if (index > 0)
            json += ", ";
        json += "[" + name_json(name, name_length) + ", " + std::to_string(type) + ", \"" +
                hex_bytes(data.data(), size) + "\"]";
    }
    return json + "]";
}

std::string key_json(HKEY key)
{
    DWORD subkeys = 0, max_subkey = 0, max_value_name = 0, max_data = 0;
    FILETIME last_write = {};
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &max_subkey, nullptr, nullptr,
                         &max_value_name, &max_data, nullptr, &last_write) != ERROR_SUCCESS)
        return "{\"exists\": true, \"error\": \"RegQueryInfoKeyW failed\"}";
    ULONGLONG time = (static_cast<ULONGLONG>(last_write.dwHighDateTime) << 32) | last_write.dwLowDateTime;
    std::string json = "{\"exists\": true, \"last_write\": " + std::to_string(time);
    json += ", \"values\": " + values_json(key, max_value_name, max_data);
    json += ", \"subkeys\": {";
    std::vector<wchar_t> name(max_subkey + 1);
    for (DWORD index = 0; index < subkeys; ++index) {
        DWORD name_length = max_subkey + 1;
        if (RegEnumKeyExW(key, index, name.data(), &name_length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        helper::scoped_key subkey;
        if (index > 0)
            json += ", ";
        json += name_json(name, name_length) + ": ";
        if (RegOpenKeyExW(key, name.data(), 0, KEY_READ, subkey.out()) == ERROR_SUCCESS)
            json += key_json(subkey.get());
        else
            json += "{\"exists\": true, \"error\": \"RegOpenKeyExW failed\"}";
    }
    return json + "}}";
}

std::wstring strip_root(const std::wstring& path)
{
    for (const wchar_t* root : {L"HKLM\\", L"HKEY_LOCAL_MACHINE\\"}) {
        size_t length = wcslen(root);
        if (path.size() >= length && _wcsnicmp(path.c_str(), root, length) == 0)
            return path.substr(length);
    }
    return path;
}

// One key's document; false when it could not be read.
bool print_key(const wchar_t* path)
{
    helper::scoped_key key;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, strip_root(path).c_str(), 0, KEY_READ, key.out());
    if (result == ERROR_FILE_NOT_FOUND) {
        printf("{\"exists\": false}\n");
        return true;
    }
    if (result != ERROR_SUCCESS) {
        printf("{\"exists\": null, \"error\": %ld}\n", static_cast<long>(result));
        return false;
    }
    printf("%s\n", key_json(key.get()).c_str());
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: regtree KEY [KEY...]\n");
        return 2;
    }
    bool all_read = true;
    for (int i = 1; i < argc; ++i)
        all_read = print_key(argv[i]) && all_read;
    return all_read ? 0 : 1;
}
