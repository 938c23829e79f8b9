// The program's three ways of reporting a problem, and the debugger trace.
#include "misc/misc.h"

#include "log/log.h"

#include <cstdarg>

using namespace platform;

namespace
{

constexpr std::size_t MESSAGE_BUFFER_SIZE = 1024;
constexpr UINT WARNING_BOX_STYLE = MB_OK | MB_ICONWARNING | MB_SYSTEMMODAL;

fatal_error_handler installed_handler = nullptr;
bool handler_has_run = false;

// The text is cut to the buffer, never overrun (the platform's bounded
// formatting). The caption is the empty string: a null caption would make
// the platform show its default title.
void show_warning_box(const char* format, va_list args)
{
    char text[MESSAGE_BUFFER_SIZE];
    format_bounded(text, sizeof text, format, args);
    show_box(text, "", WARNING_BOX_STYLE);
}

const char* answer_name(int answer)
{
    static const char* const names[] = {"none", "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No"};
    return answer >= 0 && answer < 8 ? names[answer] : "?";
}

// Runs the handler unless it has already run since it was last set: a
// fatal error inside the handler runs it again only after the handler has
// set it again (see set_fatal_error_handler in misc.h).
void run_fatal_error_handler_once()
{
    if (installed_handler == nullptr || handler_has_run) {
        return;
    }
    handler_has_run = true;
    installed_handler();
}

} // namespace

int show_box(const char* text, const char* caption, UINT style)
{
    log_line("Box: %s", text);
    const int answer = MessageBoxA(nullptr, text, caption, style);
    log_line("Answer: %s", answer_name(answer));
    return answer;
}

void set_fatal_error_handler(fatal_error_handler handler)
{
    installed_handler = handler;
    handler_has_run = false;
}

void fatal_error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    show_warning_box(format, args);
    va_end(args);
    run_fatal_error_handler_once();
    log_line("Run ends after that error");
    exit_process(0);
}

void warn_user(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    show_warning_box(format, args);
    va_end(args);
}

void debug_trace(const char* format, ...)
{
    char text[MESSAGE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    format_bounded(text, sizeof text, format, args);
    va_end(args);
    OutputDebugStringA(text);
    OutputDebugStringA("\n");
}

// Only the expression is shown; the module and line help a developer who
// reads the code, not the user.
void assert_failed(const char* expression, const char* source_module, int line)
{
    (void)source_module;
    (void)line;
    fatal_error("ASSERT %s", expression);
}

int format_text(char* buffer, std::size_t size, const char* format, ...)
{
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    const int fit = format_bounded(buffer, size, format, args);
    va_end(args);
    return fit;
}
