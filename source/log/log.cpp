// The log file: its place, found once per process, and its lines.
#include "log/log.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstring>

using namespace platform;

namespace
{

constexpr char DATA_FOLDER_NAME[] = "\\Kestova Patch";
constexpr char LOG_NAME[] = "\\kestova-patch.log";
constexpr char OLD_LOG_SUFFIX[] = ".1";
constexpr DWORD ROTATE_SIZE = 256 * 1024;
constexpr std::size_t LINE_SIZE = 512;

char log_path[MAX_PATH];
char old_log_path[MAX_PATH + sizeof OLD_LOG_SUFFIX];
enum class place { unknown, known, none };
place log_place = place::unknown;

bool append_text(char* buffer, std::size_t size, const char* text)
{
    const std::size_t length = strnlen(buffer, size);
    const std::size_t added = std::strlen(text);
    if (length + added >= size) {
        return false;
    }
    std::memcpy(buffer + length, text, added + 1);
    return true;
}

bool find_log_place()
{
    if (log_place == place::unknown) {
        const bool found =
            patch_data_folder(log_path, sizeof log_path) && append_text(log_path, sizeof log_path, LOG_NAME);
        if (found) {
            std::memcpy(old_log_path, log_path, sizeof log_path);
            append_text(old_log_path, sizeof old_log_path, OLD_LOG_SUFFIX);
        }
        log_place = found ? place::known : place::none;
    }
    return log_place == place::known;
}

void format_into(char* buffer, std::size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    format_bounded(buffer, size, format, args);
    va_end(args);
}

// The local time the line begins with; the length of the stamp.
std::size_t write_stamp(char* line, std::size_t size)
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    format_into(line, size, "%04u-%02u-%02u %02u:%02u:%02u  ", now.wYear, now.wMonth, now.wDay, now.wHour,
                now.wMinute, now.wSecond);
    return strnlen(line, size);
}

} // namespace

bool patch_data_folder(char* folder, std::size_t size)
{
    char data[MAX_PATH] = "";
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, data))) {
        return false;
    }
    data[sizeof data - 1] = '\0';
    if (data[0] == '\0' || size == 0) {
        return false;
    }
    folder[0] = '\0';
    return append_text(folder, size, data) && append_text(folder, size, DATA_FOLDER_NAME);
}

void log_line(const char* format, ...)
{
    if (!find_log_place()) {
        return;
    }
    char text[LINE_SIZE];
    va_list args;
    va_start(args, format);
    format_bounded(text, sizeof text, format, args);
    va_end(args);

    // A box's text spans several lines; in the log it stays on one.
    char line[LINE_SIZE + 64];
    std::size_t length = write_stamp(line, sizeof line);
    for (const char* in = text; *in != '\0' && length + 5 < sizeof line; ++in) {
        if (*in == '\n') {
            std::memcpy(line + length, " | ", 3);
            length += 3;
        } else if (*in != '\r') {
            line[length++] = *in;
        }
    }
    line[length++] = '\r';
    line[length++] = '\n';
    append_to_log(log_path, old_log_path, ROTATE_SIZE, line, static_cast<DWORD>(length));
}

void reset_log()
{
    log_place = place::unknown;
}
