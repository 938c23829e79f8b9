// Operations on a title's registration (its product folder, uninstall entry,
// Start-menu shortcut and Add/Remove Programs cache), the patch's own
// executable, and the process-wide state they read. Built on misc, registry
// and the platform seam only; nothing here calls back into recovery or the
// workflow, except through misc's fatal error handler.
//
// Which file holds what:
//   process_state.cpp      module_path and the other process-wide state, the
//                          install-info root and the product folders under it
//   registry_text.cpp      reading and rewriting the text values of an entry,
//                          and reading registrations whole
//   relocation.cpp         moving a registration from one product code to
//                          another, and the note of the move under way
//   shortcut_retarget.cpp  the new title's "Uninstall" shortcut
//   uninstall_redirect.cpp a title's uninstaller redirected through the patch
//   arp_cache.cpp          the Add/Remove Programs cache
//   own_executable.cpp     the patch's own executable copied, put in place and
//                          recognised
#pragma once

#include "platform/platform.h"

#include <cstddef>

// ---------------------------------------------------------------------------
// What the patch relies on in the titles' installer registration layout.
// Each constant is one entity in the whole program (inline), so that its
// address is the same in every module; code that compares codes still
// compares their texts.

inline constexpr char SHARED_PRODUCT_CODE[] = "{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}";
inline constexpr char ALTERNATE_PRODUCT_CODE[] = "{C41E7D08-93A2-4F6B-B85D-61F09E2A7C34}";
inline constexpr char PARKING_PRODUCT_CODE[] = "{00000000-0000-0000-0000-000000000000}";
inline constexpr std::size_t PRODUCT_CODE_LENGTH = 38;
// The three codes a title's registration can stand under.
inline constexpr const char* ALL_PRODUCT_CODES[] = {SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE,
                                                    PARKING_PRODUCT_CODE};

inline constexpr char INSTALL_INFO_FOLDER_NAME[] = "InstallShield Installation Information";
inline constexpr char DEFAULT_PROGRAM_FILES[] = "C:\\Program Files";
inline constexpr char UNINSTALL_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr char UNINSTALL_KEY_FORMAT[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s";
inline constexpr char ARP_CACHE_KEY[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache";
inline constexpr char SOFTWARE_KEY[] = "SOFTWARE";
inline constexpr char PUBLISHER_KEY[] = "Quenmoor";

inline constexpr char PATCH_CAPTION[] = "Kestova Patch";
inline constexpr char KS2_DISPLAY_NAME[] = "Kestova 2";
inline constexpr char KS3_DISPLAY_NAME[] = "Kestova 3";

inline constexpr char INSTALLER_PROGRAM[] = "\\setup.exe";
inline constexpr char REAL_UNINSTALLER_PROGRAM[] = "\\setup_is.exe";

inline constexpr char SETUP_MUTEX_NAME[] = "ZENTRAVOLK-SYSCFG";
inline constexpr char KS2_DISC_LABEL[] = "KS2";
inline constexpr char KS3_DISC_LABEL[] = "Kestova 3";
inline constexpr char KS2_SHORTCUT[] = "\\Quenmoor\\Kestova 2\\Uninstall Kestova 2.lnk";
inline constexpr char KS3_SHORTCUT[] = "\\Quenmoor\\Kestova 3\\Uninstall Kestova 3.lnk";

// ---------------------------------------------------------------------------
// process_state.cpp

extern char module_path[512];
extern int shared_code_in_use;
extern int is_ks2_installed;
extern int is_ks3_installed;
extern int installing_ks2;
extern int installing_ks3;
// Sets the process-wide state back to its start values (tests run many
// "processes" in one).
void reset_process_state();

// The running executable's full path as the system holds it (wide, any
// characters), recorded at start beside module_path, whose narrow text has
// "?" for characters outside the ANSI code page. The patch finds and
// copies its own executable through this one.
constexpr std::size_t MODULE_PATH_WIDE_SIZE = 1024;
extern platform::WCHAR module_path_wide[MODULE_PATH_WIDE_SIZE];
// Records module_path and module_path_wide (the entry point does so first).
void record_module_path();

// The product folder of a product code: INSTALL_INFO_ROOT\code. 1 when it
// fit in buffer.
int format_product_folder(char* buffer, std::size_t size, const char* product_code);
const char* install_info_root();

// ---------------------------------------------------------------------------
// registry_text.cpp

// Size of the buffers that hold a key path or a value's text.
constexpr std::size_t TEXT_BUFFER_SIZE = 512;

// Formats the uninstall entry path of a product code. 1 when it fit.
int format_uninstall_entry(char (&path)[TEXT_BUFFER_SIZE], const char* product_code);

// Reads a value as narrow text into a 512-byte buffer (the value's type is
// not looked at). Returns the registry call's result; on success *terminated
// says whether the text ends with a NUL within the buffer (a value stored
// without one gets it added when there is room).
platform::LONG read_text_value(platform::HKEY key, const char* name, char (&text)[TEXT_BUFFER_SIZE],
                               bool* terminated, platform::DWORD* type = nullptr);

// The first "{" of text when a whole product code (38 characters) fits from
// there to the end of the text; otherwise null, so that a rewrite can never
// run past the text.
char* find_product_code(char* text);

// The first "{" of text when the 38 characters from there are code or
// other_code (compared without regard to case, as product codes and the
// file names made of them are); otherwise null. A text whose first "{"
// begins anything else is not the text of the registration being moved,
// and must not be rewritten at all.
char* find_product_code_of(char* text, const char* code, const char* other_code);

// Writes a product code's 38 characters, without a NUL, over the text from
// position.
void overwrite_product_code(char* position, const char* product_code);

// 1 when an uninstall entry stands under the product code.
int uninstall_entry_exists(const char* product_code);

// An uninstall entry as read at one moment, with one open of its key: its
// code and the two texts that name it, which the operations check and
// rewrite from this record instead of reading the entry again.
struct entry_text {
    platform::LONG result;       // the registry call's result
    platform::DWORD last_error;  // GetLastError() right after a failed read
    bool terminated;             // see read_text_value
    platform::DWORD type;        // REG_SZ, REG_EXPAND_SZ, ...
    char text[TEXT_BUFFER_SIZE]; // empty when the read failed
};
struct uninstall_entry {
    const char* code;
    entry_text uninstall_string; // "UninstallString"
    entry_text log_file;         // "LogFile"
};
// Reads the entry under product_code. False when it has none (its key
// cannot be opened); a value that cannot be read is kept with its result.
bool read_uninstall_entry(const char* product_code, uninstall_entry* entry);
// The same from a key the caller holds open.
void read_open_uninstall_entry(platform::HKEY key, const char* product_code, uninstall_entry* entry);

// The folder text of the entry's "UninstallString": from the character
// after its first double quote up to and including the first "}" after it.
// The one place that holds this rule. False (and folder empty) when the
// text was not read whole or does not follow it.
bool folder_text_of(const uninstall_entry& entry, char (&folder)[TEXT_BUFFER_SIZE]);

// Where the entry's product folder stands. The text names it, after its
// environment variables are expanded (a REG_EXPAND_SZ text may hold
// "%ProgramFiles%") and, when it is MAX_PATH characters or longer, after it
// is normalised; when that names no existing folder, the folder's known
// place (INSTALL_INFO_ROOT and the code that ends the text) is looked at.
// present: folder is a path the narrow calls can move. absent: no folder
// stands at either place for sure (folder is where it belongs, or empty
// without an entry or text). unknown: the system could not tell (error
// holds why), or the folder stands where the narrow shell calls cannot
// reach it; nothing may then act on the title.
enum class folder_state { present, absent, unknown };
folder_state find_entry_folder(const uninstall_entry& entry, char (&folder)[TEXT_BUFFER_SIZE],
                               platform::DWORD* error);
// The same, the entry read first (absent without one).
folder_state find_entry_folder(const char* product_code, char (&folder)[TEXT_BUFFER_SIZE],
                               platform::DWORD* error);

// The folder that find_entry_folder gives. False when there is no entry or
// text, or its state is unknown.
bool read_entry_folder(const char* product_code, char (&folder)[TEXT_BUFFER_SIZE]);

// The warning (and fatal error) for a folder whose state is unknown: the
// product code, the folder and the error number.
constexpr char FOLDER_UNCERTAIN[] =
    "The product folder of the title under %s cannot be found for sure (%s, error %lu).\n"
    "Nothing was changed. Make sure that folder can be reached, then run the patch again.";

// Reading registrations whole, for the reconciliation of interrupted runs.

constexpr std::size_t DISPLAY_NAME_BUFFER_SIZE = 64;

// The entry's "DisplayName" (at most 63 characters). False when there is no
// entry or no such text.
bool read_display_name(const char* product_code, char (&name)[DISPLAY_NAME_BUFFER_SIZE]);

// True when the first "{" of the entry's text value starts code (letter
// case aside: installers write codes either way).
bool value_names_code(const char* entry_code, const char* value_name, const char* code);

// True when the entry under copy_code is (part of) a copy of the entry
// under source_code: it has no "DisplayName" yet, or the same one.
bool is_copy_of_entry(const char* copy_code, const char* source_code);

// ---------------------------------------------------------------------------
// relocation.cpp

// Product-code relocation.
int move_install_info_folder(const char* source_guid, const char* dest_guid);
int move_uninstall_entry(const char* source_guid, const char* dest_guid);
int relocate_registration(const char* source_guid, const char* dest_guid);
int relocate_whole_registration(const char* source_guid, const char* dest_guid);
void undo_uninstall_entry_move(const char* source_guid, const char* dest_guid);
// Writes the registry to disc (RegFlushKey on HKEY_LOCAL_MACHINE\SOFTWARE)
// before a folder move or deletion that follows from what it now holds.
void flush_registry();

// The move under way: the moves note it when they begin and forget it when
// they have finished, so that the fatal error handler (recovery) can undo
// a move that a fatal error cut off. take_noted_move returns the note and
// forgets it.
struct noted_move {
    const char* source;
    const char* dest;
};
void note_move_started(const char* source_guid, const char* dest_guid);
void note_move_finished();
noted_move take_noted_move();

// ---------------------------------------------------------------------------
// shortcut_retarget.cpp

// Uninstall shortcut retargeting.
int retarget_uninstall_shortcut(const char* new_guid);

// ---------------------------------------------------------------------------
// uninstall_redirect.cpp

int prepare_uninstall_redirect(const char* code);
// The warning for a title whose uninstaller could not be redirected: not
// to remove it until the patch has run again (which redirects it).
void warn_not_redirected(const char* code);
// The product folder named by the quoted path in the entry's
// "UninstallString"; every failure is fatal.
void product_folder_from_entry(const char* code, char (&folder)[TEXT_BUFFER_SIZE]);
// folder joined with a file name, followed by a second NUL (the shell's list
// form); a path without room for both is fatal.
void file_in_folder(const char (&folder)[TEXT_BUFFER_SIZE], const char* file_name,
                    char (&path)[TEXT_BUFFER_SIZE]);

// ---------------------------------------------------------------------------
// arp_cache.cpp

// Deletes both titles' keys from the Add/Remove Programs cache. 0 when the
// cache key could not be opened.
int purge_arp_cache();

// ---------------------------------------------------------------------------
// own_executable.cpp

// Copies the patch's own executable to destination (a narrow path); over an
// existing file only when replace_existing is nonzero. Nonzero on success.
// Without a recorded wide path (a run that set module_path alone) the
// narrow one is used.
int copy_own_executable(const char* destination, int replace_existing = 0);
// 1 when the file at path (a narrow path) is byte for byte the running
// executable.
int is_own_executable(const char* path);
// Puts a copy of the running executable at destination, over any file
// there: written as temporary (a name in the same folder) first and moved
// into place in one replacing, write-through step, so that destination is
// never a torn copy. 1 on success; on failure the temporary copy is gone
// and destination as it was.
int replace_with_own_executable(const char* destination, const char* temporary);
