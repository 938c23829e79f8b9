// The patch's log file and the local time its lines begin with. The log is
// opened for each text and closed again, so that nothing stays open should
// the process be ended, and a text is on disc before the call returns.
#include "platform/win32/internal.h"

#include <cstring>

using win32::seam_call;
using win32::seam_effect;

static_assert(sizeof(::SYSTEMTIME) == sizeof(platform::SYSTEMTIME), "same time record");

namespace
{

HANDLE open_for_appending(const char* path)
{
    return ::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void create_folder_of(const char* path)
{
    char folder[MAX_PATH];
    const std::size_t length = strnlen(path, sizeof folder);
    if (length == sizeof folder) {
        return;
    }
    std::memcpy(folder, path, length + 1);
    char* last = std::strrchr(folder, '\\');
    if (last != nullptr) {
        *last = '\0';
        ::CreateDirectoryA(folder, nullptr);
    }
}

bool write_at_end(HANDLE file, const char* text, DWORD length)
{
    DWORD written = 0;
    return ::SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
           ::WriteFile(file, text, length, &written, nullptr) && written == length &&
           ::FlushFileBuffers(file);
}

BOOL append(const char* path, const char* old_path, DWORD rotate_size, const char* text, DWORD length)
{
    HANDLE file = open_for_appending(path);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_PATH_NOT_FOUND) {
        create_folder_of(path);
        file = open_for_appending(path);
    }
    if (file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    const DWORD size = ::GetFileSize(file, nullptr);
    if (size != INVALID_FILE_SIZE && size >= rotate_size) {
        ::CloseHandle(file);
        ::MoveFileExA(path, old_path, MOVEFILE_REPLACE_EXISTING);
        file = open_for_appending(path);
        if (file == INVALID_HANDLE_VALUE) {
            return FALSE;
        }
    }
    const bool written = write_at_end(file, text, length);
    ::CloseHandle(file);
    return written ? TRUE : FALSE;
}

} // namespace

void platform::GetLocalTime(platform::SYSTEMTIME* time)
{
    seam_call(seam_effect::logs, __func__);
    ::GetLocalTime(reinterpret_cast<::SYSTEMTIME*>(time));
}

platform::BOOL platform::append_to_log(const char* path, const char* old_path, platform::DWORD rotate_size,
                                       const char* text, platform::DWORD length)
{
    seam_call(seam_effect::logs, __func__);
    const DWORD kept = ::GetLastError();
    const BOOL appended = append(path, old_path, rotate_size, text, length);
    ::SetLastError(kept);
    return appended;
}
