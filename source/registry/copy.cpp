// Copy of a registry key with all its values and subkeys at any depth.
//
// Values and names move through the wide registry calls, so every byte of
// every value arrives unchanged, text outside the ANSI code page included:
// the entry move deletes the source after this copy, so anything the copy
// left out would be lost for good.
#include "registry/registry.h"

#include "misc/misc.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

using namespace platform;

namespace
{

constexpr std::size_t PATH_BUFFER_LENGTH = 1024; // characters, with the NUL
constexpr DWORD SUBKEY_NAME_LENGTH = REGISTRY_MAX_KEY_NAME + 1;
constexpr DWORD VALUE_NAME_LENGTH = REGISTRY_MAX_VALUE_NAME + 1;
constexpr DWORD STRING_WRITE_PADDING = 3; // a whole character past any (even odd) size

// The copy under way: the destination's root and both top paths as given.
HKEY root_key = nullptr;
char initial_source_directory[PATH_BUFFER_LENGTH];
char initial_dest_directory[PATH_BUFFER_LENGTH];
WCHAR wide_source_directory[PATH_BUFFER_LENGTH];
WCHAR wide_dest_directory[PATH_BUFFER_LENGTH];
// The source path of the key being walked; grows by "\name" on the way down
// and is cut back on the way up, so the walk needs no path buffer per level.
WCHAR current_path[PATH_BUFFER_LENGTH];
WCHAR dest_path[PATH_BUFFER_LENGTH];

std::size_t wide_length(const WCHAR* text)
{
    std::size_t length = 0;
    while (text[length] != u'\0') {
        ++length;
    }
    return length;
}

// Where needle first occurs in haystack, as strstr does for narrow text.
const WCHAR* strstr(const WCHAR* haystack, const WCHAR* needle)
{
    const std::size_t needle_length = wide_length(needle);
    for (; *haystack != u'\0'; ++haystack) {
        if (std::memcmp(haystack, needle, needle_length * sizeof(WCHAR)) == 0) {
            return haystack;
        }
    }
    return needle_length == 0 ? haystack : nullptr;
}

// Appends parts to a wide path buffer; a path that does not fit is fatal.
void append_wide(WCHAR* path, const WCHAR* part)
{
    const std::size_t length = wide_length(path);
    const std::size_t addition = wide_length(part);
    if (length + addition + 1 > PATH_BUFFER_LENGTH) {
        fatal_error("Registry key path too long to copy");
    }
    std::memcpy(path + length, part, (addition + 1) * sizeof(WCHAR));
}

void set_context_path(char (&narrow)[PATH_BUFFER_LENGTH], WCHAR (&wide)[PATH_BUFFER_LENGTH], const char* path)
{
    if (!format_text(narrow, sizeof narrow, "%s", path) ||
        MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide, static_cast<int>(PATH_BUFFER_LENGTH)) == 0) {
        fatal_error("Registry key path too long to copy");
    }
}

char fold_ascii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// A destination at or below the source would be walked while it grows.
bool destination_inside_source(HKEY destination_root)
{
    if (destination_root != HKEY_LOCAL_MACHINE) {
        return false;
    }
    const char* source = initial_source_directory;
    const char* dest = initial_dest_directory;
    for (; *source != '\0'; ++source, ++dest) {
        if (fold_ascii(*source) != fold_ascii(*dest)) {
            return false;
        }
    }
    return *dest == '\0' || *dest == '\\';
}

HKEY create_destination_key(const WCHAR* path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root_key, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        fatal_error("Failed to create new key");
    }
    return key;
}

int copy_values(HKEY source_key, HKEY dest_key);
int copy_subkeys(HKEY source_key, WCHAR* current_registry_path);

// Buffers for the values of the copy, allocated once per copy and grown
// when a value does not fit, so that each value takes one reading call.
// The data buffer has room for the write padding after the largest value.
struct value_buffers {
    std::unique_ptr<WCHAR[]> name;
    DWORD name_capacity = 0; // characters, with the NUL
    std::unique_ptr<BYTE[]> data;
    DWORD data_capacity = 0; // bytes, without the padding
};

void allocate_value_buffers(value_buffers& buffers, DWORD name_length, DWORD data_size)
{
    if (name_length > REGISTRY_MAX_VALUE_NAME) {
        name_length = REGISTRY_MAX_VALUE_NAME;
    }
    buffers.name.reset(new (std::nothrow) WCHAR[name_length + 1]);
    buffers.data.reset(new (std::nothrow) BYTE[static_cast<std::size_t>(data_size) + STRING_WRITE_PADDING]);
    if (!buffers.name || !buffers.data) {
        fatal_error("Not enough memory to copy a registry value");
    }
    buffers.name_capacity = name_length + 1;
    buffers.data_capacity = data_size;
}

constexpr DWORD INITIAL_DATA_CAPACITY = 64 * 1024;
value_buffers value_buffer;

// Reads value index into the buffers. A value that does not fit gets
// buffers of its own size first.
LONG read_value(HKEY source_key, DWORD index, value_buffers& buffers, DWORD* type, DWORD* size)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD name_length = buffers.name_capacity;
        *size = buffers.data_capacity;
        const LONG result = RegEnumValueW(source_key, index, buffers.name.get(), &name_length, nullptr, type,
                                          buffers.data.get(), size);
        if (result != ERROR_MORE_DATA) {
            return result;
        }
        DWORD needed_name = VALUE_NAME_LENGTH;
        DWORD needed_size = 0;
        std::unique_ptr<WCHAR[]> probe(new (std::nothrow) WCHAR[VALUE_NAME_LENGTH]);
        if (!probe) {
            fatal_error("Not enough memory to copy a registry value");
        }
        const LONG sizing =
            RegEnumValueW(source_key, index, probe.get(), &needed_name, nullptr, type, nullptr, &needed_size);
        if (sizing != ERROR_SUCCESS) {
            return sizing;
        }
        // Grow only: later values keep fitting as the earlier ones did.
        allocate_value_buffers(buffers, std::max(needed_name, buffers.name_capacity - 1),
                               std::max(needed_size, buffers.data_capacity));
    }
    return ERROR_MORE_DATA;
}

// One value: name, type and bytes read in one call and written unchanged.
bool copy_value(HKEY source_key, HKEY dest_key, DWORD index, value_buffers& buffers)
{
    DWORD type = REG_NONE;
    DWORD size = 0;
    const LONG result = read_value(source_key, index, buffers, &type, &size);
    if (result == ERROR_NO_MORE_ITEMS) {
        return false;
    }
    if (result != ERROR_SUCCESS) {
        fatal_error("Failed to enum key values");
    }
    // The write of a string-type value adds a terminator to the count when
    // the data ends in a character and a NUL character follows it in memory.
    // Non-zero padding after the data keeps the count exact.
    std::memset(buffers.data.get() + size, 0xFF, STRING_WRITE_PADDING);
    if (RegSetValueExW(dest_key, buffers.name.get(), 0, type, buffers.data.get(), size) != ERROR_SUCCESS) {
        fatal_error("Failed to create key value");
    }
    return true;
}

int copy_values(HKEY source_key, HKEY dest_key)
{
    ASSERT(source_key);
    ASSERT(dest_key);
    for (DWORD index = 0; copy_value(source_key, dest_key, index, value_buffer); ++index) {
    }
    return 1;
}

// Subkeys in the platform's enumeration order, each copied whole (values,
// then its own subkeys) before the next one is read.
int copy_subkeys(HKEY source_key, WCHAR* current_registry_path)
{
    const std::size_t current_length = wide_length(current_registry_path);
    for (DWORD index = 0;; ++index) {
        WCHAR name[SUBKEY_NAME_LENGTH];
        DWORD name_length = SUBKEY_NAME_LENGTH;
        FILETIME last_write_time;
        const LONG result =
            RegEnumKeyExW(source_key, index, name, &name_length, nullptr, nullptr, nullptr, &last_write_time);
        if (result == ERROR_NO_MORE_ITEMS) {
            return 1;
        }
        if (result != ERROR_SUCCESS) {
            fatal_error("Failed to enumerate registry keys (%ld)", static_cast<long>(result));
        }

        // clang-format off
        ASSERT(strstr (current_registry_path, wide_source_directory));
        // clang-format on
        const WCHAR* relative = current_registry_path + wide_length(wide_source_directory);

        dest_path[0] = u'\0';
        append_wide(dest_path, wide_dest_directory);
        append_wide(dest_path, relative);
        append_wide(dest_path, u"\\");
        append_wide(dest_path, name);
        key_owner dest_key(create_destination_key(dest_path));
        key_owner subkey;
        if (RegOpenKeyExW(source_key, name, 0, KEY_READ, subkey.receive()) != ERROR_SUCCESS) {
            fatal_error("Failed to get key interface");
        }
        copy_values(subkey.get(), dest_key.get());
        // Closed before the walk goes deeper, so that one key per level
        // stays open.
        dest_key.close();

        append_wide(current_registry_path, u"\\");
        append_wide(current_registry_path, name);
        copy_subkeys(subkey.get(), current_registry_path);
        current_registry_path[current_length] = u'\0';
    }
}

} // namespace

int copy_registry_tree(HKEY destination_root, const char* source_key_path, const char* dest_key_path)
{
    ASSERT(source_key_path);
    ASSERT(dest_key_path);

    root_key = destination_root;
    set_context_path(initial_source_directory, wide_source_directory, source_key_path);
    set_context_path(initial_dest_directory, wide_dest_directory, dest_key_path);
    if (destination_inside_source(destination_root)) {
        fatal_error("Cannot copy a registry key into itself");
    }

    key_owner source_key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide_source_directory, 0, KEY_READ, source_key.receive()) !=
        ERROR_SUCCESS) {
        fatal_error("Failed to get key interface");
    }
    key_owner dest_key(create_destination_key(wide_dest_directory));
    allocate_value_buffers(value_buffer, REGISTRY_MAX_VALUE_NAME, INITIAL_DATA_CAPACITY);
    copy_values(source_key.get(), dest_key.get());
    dest_key.close();

    current_path[0] = u'\0';
    append_wide(current_path, wide_source_directory);
    copy_subkeys(source_key.get(), current_path);
    source_key.close();
    value_buffer = value_buffers{};
    return 1;
}
