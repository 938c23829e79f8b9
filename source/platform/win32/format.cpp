// Bounded formatting through the system's own C runtime.
//
// msvcrt's _vsnprintf is on every Windows and formats the conversions the
// modules use (%s, %c, %d, %u, %x, %ld, %lu, %lx) to the same text as C99's
// vsnprintf. Unlike vsnprintf it writes the terminating NUL only when there
// is room for it, and for a text that does not fit it answers count or -1,
// having filled all count bytes. (Wine's answers count, not -1, when the
// conversion that overflows is a %c; the answer is read so that either
// means a cut text.) So the whole buffer is handed over and the last byte
// is set here whenever the text did not end inside it.
#include "platform/platform.h"
#include "platform/win32/seam_call.h"

#include <cstdio>
#include <cstring>

int platform::format_bounded(char* buffer, std::size_t size, const char* format, std::va_list args)
{
    win32::seam_call(win32::seam_effect::looks, __func__);
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    // A format the runtime gives up on part-way leaves what it wrote up to
    // then; the zeroed buffer ends that text where it stops.
    std::memset(buffer, 0, size);
    const int written = _vsnprintf(buffer, size, format, args);
    if (written >= 0 && static_cast<std::size_t>(written) < size) {
        return 1;
    }
    buffer[size - 1] = '\0';
    return 0;
}
