// Path joining, folder deletion and text comparison.
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

    SHFILEOPSTRUCTA operation{};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = from;
    operation.pTo = nullptr;
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
    return SHFileOperationA(&operation) == 0 ? 1 : 0;
}

int shell_rename(const char* from_list, const char* to_list)
{
    SHFILEOPSTRUCTA operation{};
    operation.hwnd = nullptr;
    operation.wFunc = FO_RENAME;
    operation.pFrom = from_list;
    operation.pTo = to_list;
    operation.fFlags = 0;
    return SHFileOperationA(&operation);
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
