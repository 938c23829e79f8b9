#include "main/registry_text.h"

#include "main/layout.h"
#include "misc/misc.h"

#include <cstring>

using namespace platform;

int format_uninstall_entry(char (&path)[TEXT_BUFFER_SIZE], const char* product_code)
{
    return format_text(path, sizeof path, UNINSTALL_KEY_FORMAT, product_code);
}

LONG read_text_value(HKEY key, const char* name, char (&text)[TEXT_BUFFER_SIZE], bool* terminated)
{
    DWORD size = sizeof text;
    DWORD type = REG_NONE;
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    *terminated = false;
    if (result != ERROR_SUCCESS) {
        text[0] = '\0';
        return result;
    }
    if (size > sizeof text) {
        size = sizeof text;
    }
    if (std::memchr(text, '\0', size) != nullptr) {
        *terminated = true;
    } else if (size < sizeof text) {
        text[size] = '\0';
        *terminated = true;
    } else {
        text[sizeof text - 1] = '\0';
    }
    return result;
}

char* find_product_code(char* text)
{
    char* brace = std::strchr(text, '{');
    if (brace == nullptr || std::strlen(brace) < PRODUCT_CODE_LENGTH) {
        return nullptr;
    }
    return brace;
}

char* find_product_code_of(char* text, const char* code, const char* other_code)
{
    char* brace = find_product_code(text);
    if (brace == nullptr) {
        return nullptr;
    }
    const char saved = brace[PRODUCT_CODE_LENGTH];
    brace[PRODUCT_CODE_LENGTH] = '\0';
    const bool named = compare_ignoring_case(brace, code) == 0 ||
                       (other_code != nullptr && compare_ignoring_case(brace, other_code) == 0);
    brace[PRODUCT_CODE_LENGTH] = saved;
    return named ? brace : nullptr;
}

void overwrite_product_code(char* position, const char* product_code)
{
    std::memcpy(position, product_code, PRODUCT_CODE_LENGTH);
}

int uninstall_entry_exists(const char* product_code)
{
    char path[TEXT_BUFFER_SIZE];
    if (!format_uninstall_entry(path, product_code)) {
        return 0;
    }
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
        return 0;
    }
    RegCloseKey(key);
    return 1;
}

bool read_entry_folder(const char* product_code, char (&folder)[TEXT_BUFFER_SIZE])
{
    char path[TEXT_BUFFER_SIZE];
    HKEY key = nullptr;
    if (!format_uninstall_entry(path, product_code) ||
        RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
        return false;
    }
    char text[TEXT_BUFFER_SIZE];
    bool terminated = false;
    const LONG result = read_text_value(key, "UninstallString", text, &terminated);
    RegCloseKey(key);
    const char* quote = result == ERROR_SUCCESS && terminated ? std::strchr(text, '"') : nullptr;
    const char* brace = quote != nullptr ? std::strchr(quote + 1, '}') : nullptr;
    if (brace == nullptr) {
        return false;
    }
    const std::size_t length = static_cast<std::size_t>(brace - quote);
    std::memcpy(folder, quote + 1, length);
    folder[length] = '\0';
    return true;
}

bool is_folder(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool read_display_name(const char* product_code, char (&name)[DISPLAY_NAME_BUFFER_SIZE])
{
    char path[TEXT_BUFFER_SIZE];
    HKEY key = nullptr;
    name[0] = '\0';
    if (!format_uninstall_entry(path, product_code) ||
        RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
        return false;
    }
    char value[DISPLAY_NAME_BUFFER_SIZE];
    DWORD size = sizeof value;
    const LONG result =
        RegQueryValueExA(key, "DisplayName", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || size == 0 || size > sizeof value ||
        std::memchr(value, '\0', size) == nullptr || value[0] == '\0') {
        return false;
    }
    std::memcpy(name, value, sizeof name);
    return true;
}

bool value_names_code(const char* entry_code, const char* value_name, const char* code)
{
    char path[TEXT_BUFFER_SIZE];
    HKEY key = nullptr;
    if (!format_uninstall_entry(path, entry_code) ||
        RegOpenKeyA(HKEY_LOCAL_MACHINE, path, &key) != ERROR_SUCCESS) {
        return false;
    }
    char text[TEXT_BUFFER_SIZE];
    bool terminated = false;
    const LONG result = read_text_value(key, value_name, text, &terminated);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && terminated && find_product_code_of(text, code, nullptr) != nullptr;
}

bool is_copy_of_entry(const char* copy_code, const char* source_code)
{
    char copy_name[DISPLAY_NAME_BUFFER_SIZE];
    char source_name[DISPLAY_NAME_BUFFER_SIZE];
    if (!read_display_name(copy_code, copy_name)) {
        return true;
    }
    return read_display_name(source_code, source_name) && std::strcmp(copy_name, source_name) == 0;
}
