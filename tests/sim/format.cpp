// Bounded formatting on the simulated machine: the host C library's
// vsnprintf, which already cuts a long text and ends it inside the buffer.
#include "platform/platform.h"

#include <cstdio>

int platform::format_bounded(char* buffer, std::size_t size, const char* format, std::va_list args)
{
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    const int written = std::vsnprintf(buffer, size, format, args);
    if (written < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(written) < size ? 1 : 0;
}
