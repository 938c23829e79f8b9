// A title's uninstaller redirected through the patch.
//
// A title under the alternate code is removed through a copy of the patch
// in its product folder: the removal runs the patch from a ".tmp" copy,
// which puts the title under the shared code for the time of the removal,
// so that the installer's real uninstaller finds it where it expects it.
#include "log/log.h"
#include "registration/registration.h"

#include "misc/misc.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr char REDIRECT_COPY_NAME[] = "\\setup.exe.new";

} // namespace

// The product folder named by the quoted path in the entry's
// "UninstallString", where it stands: the text with its variables
// expanded, or the folder's known place.
void product_folder_from_entry(const char* code, char (&folder)[TEXT_BUFFER_SIZE])
{
    uninstall_entry entry;
    if (!read_uninstall_entry(code, &entry)) {
        fatal_error("Could not find uninstall guid key in registry");
    }
    if (entry.uninstall_string.result != ERROR_SUCCESS) {
        fatal_error("Error when getting uninstall string from registry (%ld)",
                    static_cast<long>(entry.uninstall_string.last_error));
    }
    if (!folder_text_of(entry, folder)) {
        fatal_error("Error in uninstall string");
    }
    DWORD error = 0;
    if (find_entry_folder(entry, folder, &error) == folder_state::unknown) {
        fatal_error(FOLDER_UNCERTAIN, code, folder, static_cast<unsigned long>(error));
    }
}

// folder joined with a file name, followed by a second NUL (the shell's list
// form). A path without room for both is an unusable uninstall string.
void file_in_folder(const char (&folder)[TEXT_BUFFER_SIZE], const char* file_name,
                    char (&path)[TEXT_BUFFER_SIZE])
{
    std::memcpy(path, folder, sizeof path);
    if (!append_path(path, sizeof path - 1, file_name)) {
        fatal_error("Error in uninstall string");
    }
    path[std::strlen(path) + 1] = '\0';
}

// The redirection: the installer's own "setup.exe" kept as "setup_is.exe"
// (renamed first, so that nothing ever takes its place while it is the
// only copy), then a copy of the running patch written under a temporary
// name and moved over "setup.exe" in one replacing, write-through step, so
// that a kill or a full disc never leaves a torn "setup.exe". A copy that
// fails leaves the folder without a "setup.exe" rather than with the
// installer's own, which would act under the shared code on the other
// title; the next run redirects it.
int prepare_uninstall_redirect(const char* code)
{
    char folder[TEXT_BUFFER_SIZE];
    product_folder_from_entry(code, folder);
    char installer[TEXT_BUFFER_SIZE];
    char real_uninstaller[TEXT_BUFFER_SIZE];
    char copy[TEXT_BUFFER_SIZE];
    file_in_folder(folder, INSTALLER_PROGRAM, installer);
    file_in_folder(folder, REAL_UNINSTALLER_PROGRAM, real_uninstaller);
    file_in_folder(folder, REDIRECT_COPY_NAME, copy);

    log_line("Redirecting the uninstaller %s through the patch", installer);
    const int redirected = (is_file(real_uninstaller) || shell_rename(installer, real_uninstaller) == 0) &&
                           replace_with_own_executable(installer, copy);
    log_line(redirected ? "Uninstaller redirected" : "Uninstaller not redirected");
    return redirected;
}

void warn_not_redirected(const char* code)
{
    char title[DISPLAY_NAME_BUFFER_SIZE];
    if (!read_display_name(code, title)) {
        std::strcpy(title, "The title");
    }
    warn_user(
        "The uninstaller of %s (under %s) could not be redirected through the patch.\n"
        "Both titles are installed. Do not remove %s until kestova-patch.exe has run again: its next run "
        "redirects it.",
        title, code, title);
}
