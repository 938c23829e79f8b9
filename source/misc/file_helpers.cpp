// Small file, folder and font helpers kept with the module's services.
#include "misc/misc.h"

#include <cstring>

using namespace platform;

INT_PTR set_window_font(HWND window)
{
    LOGFONTA settings{};
    settings.lfHeight = 14;
    settings.lfWeight = 100;
    settings.lfCharSet = 0;
    settings.lfQuality = 2;
    const HFONT font = CreateFontIndirectA(&settings);
    if (font == nullptr) {
        fatal_error("Failed to create font");
    }
    return SendMessageA(window, WM_SETFONT, reinterpret_cast<std::uintptr_t>(font), 1);
}

long get_file_size(const char* file_name)
{
    ASSERT(file_name);
    CRT_FILE* file = crt_fopen(file_name, "r");
    if (file == nullptr) {
        return 0;
    }
    crt_fseek(file, 0, CRT_SEEK_END);
    const long size = crt_ftell(file);
    crt_fclose(file);
    return size;
}

int is_read_only(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 1 : 0;
}

// Creates (or reuses) the "soundex" folder in the user's temp folder and
// empties it. Returns the shell's result: 0 for success.
int prepare_temp_folder(char* out_path, std::size_t out_size)
{
    char folder[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH || !format_text(folder + length, MAX_PATH - length, "soundex")) {
        return ERROR_PATH_NOT_FOUND;
    }
    CreateDirectoryA(folder, nullptr);
    if (!format_text(out_path, out_size, "%s", folder)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }

    char pattern[MAX_PATH + 2];
    const std::size_t folder_length = std::strlen(folder);
    if (folder_length + 4 > MAX_PATH) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::memcpy(pattern, folder, folder_length);
    std::memcpy(pattern + folder_length, "\\*\0", 4); // the list's second NUL
    return shell_file_operation(FO_DELETE, pattern, nullptr);
}
