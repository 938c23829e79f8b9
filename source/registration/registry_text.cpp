#include "registration/registration.h"

#include "misc/misc.h"

#include <cstring>

using namespace platform;

int format_uninstall_entry(char (&path)[TEXT_BUFFER_SIZE], const char* product_code)
{
    return format_text(path, sizeof path, UNINSTALL_KEY_FORMAT, product_code);
}

LONG read_text_value(HKEY key, const char* name, char (&text)[TEXT_BUFFER_SIZE], bool* terminated,
                     DWORD* type_out)
{
    DWORD size = sizeof text;
    DWORD type = REG_NONE;
    const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    *terminated = false;
    if (type_out != nullptr) {
        *type_out = type;
    }
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
    key_owner key;
    return RegOpenKeyA(HKEY_LOCAL_MACHINE, path, key.receive()) == ERROR_SUCCESS ? 1 : 0;
}

namespace
{

// The last error is taken at once: a later call may change it.
void read_entry_text(HKEY key, const char* name, entry_text* value)
{
    value->result = read_text_value(key, name, value->text, &value->terminated, &value->type);
    value->last_error = value->result == ERROR_SUCCESS ? 0 : GetLastError();
}

} // namespace

void read_open_uninstall_entry(HKEY key, const char* product_code, uninstall_entry* entry)
{
    entry->code = product_code;
    read_entry_text(key, "UninstallString", &entry->uninstall_string);
    read_entry_text(key, "LogFile", &entry->log_file);
}

bool read_uninstall_entry(const char* product_code, uninstall_entry* entry)
{
    char path[TEXT_BUFFER_SIZE];
    key_owner key;
    if (!format_uninstall_entry(path, product_code) ||
        RegOpenKeyA(HKEY_LOCAL_MACHINE, path, key.receive()) != ERROR_SUCCESS) {
        return false;
    }
    read_open_uninstall_entry(key.get(), product_code, entry);
    return true;
}

// The one rule for the product folder in "UninstallString": from the
// character after its first double quote up to and including the first
// "}" after it.
bool folder_text_of(const uninstall_entry& entry, char (&folder)[TEXT_BUFFER_SIZE])
{
    const entry_text& value = entry.uninstall_string;
    const char* quote =
        value.result == ERROR_SUCCESS && value.terminated ? std::strchr(value.text, '"') : nullptr;
    const char* brace = quote != nullptr ? std::strchr(quote + 1, '}') : nullptr;
    if (brace == nullptr) {
        folder[0] = '\0';
        return false;
    }
    const std::size_t length = static_cast<std::size_t>(brace - quote);
    std::memcpy(folder, quote + 1, length);
    folder[length] = '\0';
    return true;
}

namespace
{

constexpr std::size_t WIDE_PATH_SIZE = 1024;

bool not_found(DWORD error)
{
    return error == static_cast<DWORD>(ERROR_FILE_NOT_FOUND) ||
           error == static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
}

// A path of fewer than MAX_PATH characters, through the narrow call.
folder_state short_folder_state(const char* path, DWORD* error)
{
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? folder_state::present : folder_state::absent;
    }
    *error = GetLastError();
    return not_found(*error) ? folder_state::absent : folder_state::unknown;
}

// A path of MAX_PATH characters or more: made absolute and normalised with
// the wide call, which takes any length. Short enough then, path is
// replaced by the normalised form; otherwise the folder is looked at with
// the long-path prefix, and found_long says it stands where the narrow
// shell calls cannot move it.
folder_state long_folder_state(char (&path)[TEXT_BUFFER_SIZE], DWORD* error, bool* found_long)
{
    WCHAR wide[WIDE_PATH_SIZE];
    WCHAR full[WIDE_PATH_SIZE + 4] = {u'\\', u'\\', u'?', u'\\'};
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, WIDE_PATH_SIZE) == 0) {
        *error = GetLastError();
        return folder_state::unknown;
    }
    const DWORD length = GetFullPathNameW(wide, WIDE_PATH_SIZE, full + 4, nullptr);
    if (length == 0 || length >= WIDE_PATH_SIZE) {
        *error = length == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
        return folder_state::unknown;
    }
    char narrow[TEXT_BUFFER_SIZE];
    BOOL lossy = 0;
    if (length < MAX_PATH &&
        WideCharToMultiByte(CP_ACP, 0, full + 4, -1, narrow, sizeof narrow, nullptr, &lossy) != 0 && !lossy) {
        std::memcpy(path, narrow, sizeof path);
        return short_folder_state(path, error);
    }
    const DWORD attributes = GetFileAttributesW(full);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = GetLastError();
        return not_found(*error) ? folder_state::absent : folder_state::unknown;
    }
    *found_long = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder_state::absent;
}

// The known place of a folder whose text ends with a product code:
// INSTALL_INFO_ROOT and that code.
bool known_place(const char (&text)[TEXT_BUFFER_SIZE], char (&place)[TEXT_BUFFER_SIZE])
{
    const std::size_t length = std::strlen(text);
    if (length < PRODUCT_CODE_LENGTH || text[length - PRODUCT_CODE_LENGTH] != '{') {
        return false;
    }
    return format_product_folder(place, sizeof place, text + length - PRODUCT_CODE_LENGTH) != 0;
}

} // namespace

folder_state find_entry_folder(const uninstall_entry& entry, char (&folder)[TEXT_BUFFER_SIZE], DWORD* error)
{
    *error = 0;
    char text[TEXT_BUFFER_SIZE];
    if (!folder_text_of(entry, text)) {
        folder[0] = '\0';
        return folder_state::absent;
    }
    std::memcpy(folder, text, sizeof folder);
    if (std::strchr(text, '%') != nullptr) {
        const DWORD needed = ExpandEnvironmentStringsA(text, folder, sizeof folder);
        if (needed == 0 || needed > sizeof folder) {
            *error = needed == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
            std::memcpy(folder, text, sizeof folder);
            return folder_state::unknown;
        }
        folder[sizeof folder - 1] = '\0';
    }
    bool found_long = false;
    const folder_state named = std::strlen(folder) < MAX_PATH ? short_folder_state(folder, error)
                                                              : long_folder_state(folder, error, &found_long);
    if (named != folder_state::absent) {
        return named;
    }
    char place[TEXT_BUFFER_SIZE];
    if (!known_place(text, place)) {
        return found_long ? folder_state::unknown : folder_state::absent;
    }
    const folder_state known = short_folder_state(place, error);
    if (known == folder_state::present || std::strlen(folder) >= MAX_PATH) {
        std::memcpy(folder, place, sizeof folder);
    }
    return known == folder_state::absent && found_long ? folder_state::unknown : known;
}

folder_state find_entry_folder(const char* product_code, char (&folder)[TEXT_BUFFER_SIZE], DWORD* error)
{
    uninstall_entry entry;
    if (!read_uninstall_entry(product_code, &entry)) {
        *error = 0;
        folder[0] = '\0';
        return folder_state::absent;
    }
    return find_entry_folder(entry, folder, error);
}

bool read_entry_folder(const char* product_code, char (&folder)[TEXT_BUFFER_SIZE])
{
    DWORD error = 0;
    return find_entry_folder(product_code, folder, &error) != folder_state::unknown && folder[0] != '\0';
}

bool read_display_name(const char* product_code, char (&name)[DISPLAY_NAME_BUFFER_SIZE])
{
    char path[TEXT_BUFFER_SIZE];
    key_owner key;
    name[0] = '\0';
    if (!format_uninstall_entry(path, product_code) ||
        RegOpenKeyA(HKEY_LOCAL_MACHINE, path, key.receive()) != ERROR_SUCCESS) {
        return false;
    }
    char value[DISPLAY_NAME_BUFFER_SIZE];
    DWORD size = sizeof value;
    const LONG result =
        RegQueryValueExA(key.get(), "DisplayName", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    key.close();
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
    key_owner key;
    if (!format_uninstall_entry(path, entry_code) ||
        RegOpenKeyA(HKEY_LOCAL_MACHINE, path, key.receive()) != ERROR_SUCCESS) {
        return false;
    }
    char text[TEXT_BUFFER_SIZE];
    bool terminated = false;
    const LONG result = read_text_value(key.get(), value_name, text, &terminated);
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
