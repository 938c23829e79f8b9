// Path joining, what a path names, folder deletion and text comparison.
#include "misc/misc.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr std::size_t DELETE_PATH_BUFFER_SIZE = 512;

char lower_ascii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

int append_path(char* dest_string, std::size_t dest_size, const char* source_string)
{
    ASSERT(source_string);
    ASSERT(dest_string);

    const std::size_t length = strnlen(dest_string, dest_size);
    if (length == dest_size) {
        return 0; // not terminated within its buffer
    }
    const bool needs_separator = length > 0 && dest_string[length - 1] != '\\';
    while (*source_string == '\\') {
        ++source_string;
    }
    const std::size_t rest = std::strlen(source_string);
    const std::size_t needed = length + (needs_separator ? 1 : 0) + rest + 1;
    if (needed > dest_size) {
        return 0;
    }
    char* end = dest_string + length;
    if (needs_separator) {
        *end++ = '\\';
    }
    std::memcpy(end, source_string, rest + 1);
    return 1;
}

// Both answer from the path's attributes. A path whose attributes cannot be
// read (missing, or the call failed) is neither a folder nor a file, so the
// callers treat it as absent.
bool is_folder(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool is_file(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The shell reads pFrom as a list of names ended by an empty name, hence the
// second NUL. A path that does not fit is refused rather than cut: a cut
// path could name a different folder.
int delete_folder(const char* path)
{
    char from[DELETE_PATH_BUFFER_SIZE];
    const std::size_t length = path == nullptr ? 0 : strnlen(path, sizeof from);
    if (length == 0 || length + 2 > sizeof from) {
        return 0;
    }
    std::memcpy(from, path, length);
    from[length] = '\0';
    from[length + 1] = '\0';

    return shell_file_operation(FO_DELETE, from, nullptr) == 0 ? 1 : 0;
}

// The shell's own windows stay away: no confirmation (which would answer
// for the user), no error box, no progress. An operation that the shell
// reports as aborted did not (wholly) happen, whatever it returned.
int shell_file_operation(UINT function, const char* from_list, const char* to_list)
{
    SHFILEOPSTRUCTA operation{};
    operation.hwnd = nullptr;
    operation.wFunc = function;
    operation.pFrom = from_list;
    operation.pTo = to_list;
    operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    const int result = SHFileOperationA(&operation);
    if (result == 0 && operation.fAnyOperationsAborted) {
        return ERROR_CANCELLED;
    }
    return result;
}

// Without confirmations the shell would replace an existing file of the new
// name (or merge into an existing folder), so a name that is taken is
// refused before the shell is asked.
int shell_rename(const char* from_list, const char* to_list)
{
    if (to_list != nullptr && GetFileAttributesA(to_list) != INVALID_FILE_ATTRIBUTES) {
        return ERROR_ALREADY_EXISTS;
    }
    return shell_file_operation(FO_RENAME, from_list, to_list);
}

int compare_ignoring_case(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        const unsigned char x = static_cast<unsigned char>(lower_ascii(*a));
        const unsigned char y = static_cast<unsigned char>(lower_ascii(*b));
        if (x != y || x == '\0') {
            return x < y ? -1 : (x > y ? 1 : 0);
        }
    }
}
