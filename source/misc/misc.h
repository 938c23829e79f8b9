// Messages, assertions, path and file helpers, and the shell-link operations.
#pragma once

#include "platform/platform.h"

#include <cstddef>

// Reporting. Texts are formatted printf-style into a 1024-byte buffer; a
// longer text is cut, never overrun. Both boxes have no owner, an empty
// caption and MB_OK | MB_ICONWARNING | MB_SYSTEMMODAL.
[[noreturn]] void fatal_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void warn_user(const char* format, ...) __attribute__((format(printf, 1, 2)));
void debug_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void assert_failed(const char* expression, const char* source_module, int line);

// Every box the patch shows: MessageBoxA without an owner, with the text
// and the user's answer in the log.
int show_box(const char* text, const char* caption, platform::UINT style);

// A fatal error whose text is "ASSERT " and the failed expression.
#define ASSERT(condition) ((condition) ? (void)0 : assert_failed(#condition, __FILE__, __LINE__))

// Called by fatal_error just before the process ends. Recovery sets it
// (recover_after_fatal_error, recovery/recovery.h) to put back registrations
// the stages have moved: the one way misc, registry and registration call
// back up into recovery. A fatal error inside the handler calls it again
// only when it has been set since it began, and the repair does set it
// again: reconcile.cpp's run_steps before each step, and
// reconcile_after_fatal_error before it undoes the failed move. So a step
// that fails inside the handler recurses into it, one level deeper on the
// same stack for each failing step; each step runs at most once per process,
// which bounds the depth, and the process ends when the innermost handler
// returns.
using fatal_error_handler = void (*)();
void set_fatal_error_handler(fatal_error_handler handler);

// Joins a path component to dest_string with exactly one backslash between
// them (leading backslashes of the component are skipped). Returns 1, or 0
// when the result would not fit in dest_size bytes; dest_string is then
// left unchanged.
int append_path(char* dest_string, std::size_t dest_size, const char* source_string);
template <std::size_t N> int append_path(char (&dest_string)[N], const char* source_string)
{
    return append_path(dest_string, N, source_string);
}

// True when path names an existing folder; is_file, an existing file (not a
// folder). A path whose attributes cannot be read is neither.
bool is_folder(const char* path);
bool is_file(const char* path);

// Deletes a file, or a folder and everything in it, without confirmation or progress
// display. 1 when the shell reports success; 0 otherwise, and for a path
// that does not fit the 512-byte buffer (nothing is deleted then).
int delete_folder(const char* path);

// Renames a file or folder with the shell (FO_RENAME, with none of the
// shell's own windows). The names are lists of one name each, ended by a
// second NUL. Returns the shell's result: 0 for success, ERROR_ALREADY_EXISTS
// when the new name is taken, ERROR_CANCELLED when the shell aborted it.
int shell_rename(const char* from_list, const char* to_list);

// One SHFileOperationA with FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
// 0 for success, ERROR_CANCELLED when the shell reports it aborted.
int shell_file_operation(platform::UINT function, const char* from_list, const char* to_list);

// Bounded formatting: 1 when the whole text fit into buffer, 0 when it was
// cut (the buffer then holds the cut text, always NUL-terminated).
int format_text(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Case-insensitive comparison of ASCII letters, like the C runtime's _stricmp.
int compare_ignoring_case(const char* a, const char* b);

// Shell links. Buffers hold 260 characters each. read_shortcut fills target,
// arguments and description; both return COM result codes.
platform::HRESULT read_shortcut(platform::HWND owner, const char* shortcut_path, char* target,
                                char* arguments, char* description);
platform::HRESULT write_shortcut(const char* target, const char* arguments, const char* shortcut_path,
                                 const char* description);

// Small file, folder and font helpers.
platform::INT_PTR set_window_font(platform::HWND window);
long get_file_size(const char* file_name);
int is_read_only(const char* path);
int prepare_temp_folder(char* out_path, std::size_t out_size);
