// Building and reading registry trees through the platform seam's wide
// calls, for tests that run on both backends.
#pragma once

#include "platform/platform.h"

#include <cstdio>
#include <string>
#include <vector>

namespace tree
{

using platform::BYTE;
using platform::DWORD;
using platform::HKEY;
using platform::WCHAR;

inline std::u16string widen(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

// Creates the key path (relative to HKEY_LOCAL_MACHINE) and returns it open.
inline HKEY create(const std::u16string& path)
{
    HKEY key = nullptr;
    platform::RegCreateKeyExW(platform::HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                              platform::KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

inline bool set(const std::u16string& path, const std::u16string& name, DWORD type,
                const std::vector<BYTE>& data)
{
    HKEY key = create(path);
    if (key == nullptr) {
        return false;
    }
    // Non-zero padding after the data: the write adds a terminator to the
    // count of string-type data that is followed by a NUL character.
    std::vector<BYTE> padded(data);
    padded.insert(padded.end(), 3, 0xFF);
    const bool ok = platform::RegSetValueExW(key, name.c_str(), 0, type, padded.data(),
                                             static_cast<DWORD>(data.size())) == platform::ERROR_SUCCESS;
    platform::RegCloseKey(key);
    return ok;
}

inline std::vector<BYTE> utf16_bytes(const std::u16string& text)
{
    std::vector<BYTE> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<BYTE>(c & 0xFF));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

inline bool exists(const std::u16string& path)
{
    HKEY key = nullptr;
    if (platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, path.c_str(), 0, platform::KEY_READ, &key) !=
        platform::ERROR_SUCCESS) {
        return false;
    }
    platform::RegCloseKey(key);
    return true;
}

inline std::string hex(const std::u16string& text)
{
    std::string out;
    char unit[8];
    for (char16_t c : text) {
        std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

inline void dump_key(HKEY key, const std::string& relative, std::string& out)
{
    out += "[" + relative + "]\n";
    std::vector<WCHAR> name(platform::REGISTRY_MAX_VALUE_NAME + 1);
    for (DWORD index = 0;; ++index) {
        DWORD name_length = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = 0;
        if (platform::RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type, nullptr, &size) !=
            platform::ERROR_SUCCESS) {
            break;
        }
        std::vector<BYTE> data(size + 1);
        name_length = static_cast<DWORD>(name.size());
        platform::RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type, data.data(), &size);
        out += "  " + hex(std::u16string(name.data(), name_length)) + " type=" + std::to_string(type) + " ";
        char byte[4];
        for (DWORD i = 0; i < size; ++i) {
            std::snprintf(byte, sizeof byte, "%02x", data[i]);
            out += byte;
        }
        out += "\n";
    }
    for (DWORD index = 0;; ++index) {
        WCHAR sub[platform::REGISTRY_MAX_KEY_NAME + 1];
        DWORD sub_length = platform::REGISTRY_MAX_KEY_NAME + 1;
        if (platform::RegEnumKeyExW(key, index, sub, &sub_length, nullptr, nullptr, nullptr, nullptr) !=
            platform::ERROR_SUCCESS) {
            break;
        }
        HKEY child = nullptr;
        if (platform::RegOpenKeyExW(key, sub, 0, platform::KEY_READ, &child) != platform::ERROR_SUCCESS) {
            out += "  <cannot open " + hex(sub) + ">\n";
            continue;
        }
        dump_key(child, relative + "\\" + hex(std::u16string(sub, sub_length)), out);
        platform::RegCloseKey(child);
    }
}

// A text of the whole subtree, names in hex, for byte-for-byte comparisons.
inline std::string dump(const std::u16string& path)
{
    HKEY key = nullptr;
    if (platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, path.c_str(), 0, platform::KEY_READ, &key) !=
        platform::ERROR_SUCCESS) {
        return "<missing>";
    }
    std::string out;
    dump_key(key, "", out);
    platform::RegCloseKey(key);
    return out;
}

} // namespace tree
