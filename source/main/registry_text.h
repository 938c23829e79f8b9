// Reading and rewriting the text values of an uninstall entry.
#pragma once

#include "platform/platform.h"

#include <cstddef>

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

// The folder text of the entry's "UninstallString" (from the first double
// quote up to and including the first "}" after it), read without any
// fatal error. False when there is no such entry or text.
bool read_entry_folder_text(const char* product_code, char (&folder)[TEXT_BUFFER_SIZE]);

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

// True when path names an existing folder; is_file, an existing file.
bool is_folder(const char* path);
bool is_file(const char* path);

// ---------------------------------------------------------------------------
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
