// The simulated Windows machine behind the platform seam (native builds).
//
// Tests set up a machine state through these functions, run one operation of
// the patch, and inspect the outcome and the journal of effects. The
// simulation behaves like Windows: the same error codes and required sizes,
// names compared without regard to case, values enumerated in creation
// order and subkeys sorted by name, ANSI conversion through code page 1252
// (characters it cannot represent become "?").
//
// Texts handed to these helpers are UTF-8; the simulation stores registry
// names and string data as UTF-16, like Windows.
#pragma once

#include "platform/platform.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::sim
{

// exit_process throws this in the simulation, so a test can observe the end
// of the process without the test runner ending. run_process() catches it.
struct process_exit {
    int exit_code;
};

// Runs body as the patch's process would run: returns the exit code given to
// exit_process, or body's own return value.
int run_process(const std::function<int()>& body);

// A fresh machine: empty HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, drive C:
// (fixed) with an empty tree, module path "C:\\Patch\\kestova-patch.exe",
// command line "\"C:\\Patch\\kestova-patch.exe\"", system directory
// "C:\\Windows\\system32", Program Files "C:\\Program Files", all-users
// Programs "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs",
// current user's Programs
// "C:\\Users\\Player\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs",
// temp folder "C:\\Users\\Player\\AppData\\Local\\Temp\\" (not created), current
// directory "C:\\Patch" (not created), Windows XP (NT 5.1), no DirectX
// diagnostics provider, COM not initialised, clock at 0, no faults, empty
// journal, last error 0.
void reset();

// ---------------------------------------------------------------------------
// Registry. root is HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER; path is
// relative to it with single backslashes ("" for the root itself).
struct registry_value {
    std::string name; // UTF-8
    DWORD type;
    std::vector<BYTE> data; // as stored (string types: UTF-16LE)
};
void create_key(HKEY root, const std::string& path);
bool key_exists(HKEY root, const std::string& path);
void delete_key(HKEY root, const std::string& path); // with everything below
// Stores raw bytes, as the wide calls would.
void set_value(HKEY root, const std::string& path, const std::string& name, DWORD type,
               const std::vector<BYTE>& data);
// Stores text as UTF-16LE with its terminator (creates the key if needed).
void set_string(HKEY root, const std::string& path, const std::string& name, const std::string& text,
                DWORD type = REG_SZ);
void set_dword(HKEY root, const std::string& path, const std::string& name, DWORD value);
std::optional<registry_value> get_value(HKEY root, const std::string& path, const std::string& name);
// The stored text of a string value, converted to UTF-8 and cut at its first
// NUL; nullopt when the value is missing.
std::optional<std::string> get_string(HKEY root, const std::string& path, const std::string& name);
std::vector<registry_value> values(HKEY root, const std::string& path); // enumeration order
std::vector<std::string> subkeys(HKEY root, const std::string& path);   // enumeration order
// A canonical text of a whole subtree (relative key names, value names,
// types and data bytes in hex), for byte-for-byte comparisons of two trees.
std::string dump_tree(HKEY root, const std::string& path);

// ---------------------------------------------------------------------------
// Drives and files. Paths are Windows paths ("C:\\a\\b"), compared without
// regard to case. Creating a file or folder creates its parent folders, and
// a drive that does not exist yet as a fixed drive with media (add_drive
// later changes its kind and keeps its files). The seam's file calls refuse
// paths of MAX_PATH characters or more, like the narrow Win32 calls; these
// helpers accept any length. Modifying calls on a CD-ROM drive fail with
// ERROR_WRITE_PROTECT; files there report FILE_ATTRIBUTE_READONLY.
struct drive {
    std::string root;        // "D:\\"
    UINT type;               // DRIVE_CDROM, DRIVE_FIXED, ...
    std::string label;       // volume label
    std::string file_system; // "CDFS"
    bool has_media;          // false: GetVolumeInformationA fails (ERROR_NOT_READY)
};
void add_drive(const drive& d);
void add_file(const std::string& path, const std::vector<BYTE>& bytes = {});
void add_text_file(const std::string& path, const std::string& text);
void add_directory(const std::string& path);
bool file_exists(const std::string& path);
bool directory_exists(const std::string& path);
std::optional<std::vector<BYTE>> file_bytes(const std::string& path);
// Names directly inside a folder, in sorted order (folders end with "\\").
std::vector<std::string> list_directory(const std::string& path);
// A canonical text of a folder tree (relative names, sizes, content hashes).
std::string dump_directory(const std::string& path);
// A locked file or folder (and everything below it) can be neither renamed
// nor deleted, as when a program has it open.
void lock_path(const std::string& path, bool locked = true);

// Shortcut files, as the Shell Link class stores them.
struct shortcut {
    std::string target; // raw, unexpanded
    std::string arguments;
    std::string description;
    std::string working_directory;
    std::string icon_location;
    WORD hotkey = 0;
    int show_command = SW_SHOW;
    std::string relative_path = "";
};
void add_shortcut(const std::string& path, const shortcut& s);
std::optional<shortcut> get_shortcut(const std::string& path);

// Version resources: a file with a version block whose fixed file
// information holds this version (a.b.c.d).
void set_file_version(const std::string& path, WORD a, WORD b, WORD c, WORD d);

// ---------------------------------------------------------------------------
// Message boxes.
struct message_box {
    HWND owner;
    std::string text;
    std::string caption; // a null caption is recorded as "<null>"
    UINT style;
    int answer;
};
// How long (virtual ms) every box stays up before the user answers it
// (0, the default: at once). Meanwhile the box's message loop runs the
// patch's thread timer and scheduled events fall due.
void set_box_wait(DWORD milliseconds);
// Answers for the next boxes, in order. A box with no scripted answer gets
// IDOK when its style has only an OK button, otherwise IDCANCEL, and counts
// as unscripted.
void queue_answers(const std::vector<int>& answers);
const std::vector<message_box>& message_boxes();
int unscripted_box_count();
// Called for each box before its answer is taken; may change the machine
// (for example, a test plays the user removing a title while a box waits).
void on_message_box(std::function<void(const message_box&)> callback);

// ---------------------------------------------------------------------------
// Programs started through ShellExecuteA / ShellExecuteExA.
struct started_program {
    std::string file;       // as passed
    std::string parameters; // "" for none
    std::string directory;  // "" for none
    std::string verb;       // "" for the default verb
    int show;
    DWORD started_at; // virtual clock, ms
    INT_PTR result;   // the shell's answer; 32 or less: nothing started
    // The call that asked for the start: "ShellExecuteA", "ShellExecuteExA"
    // or "CreateProcessA" (whose result is 42 when started, else 0, with
    // the reason as the last error).
    std::string call = "";
};
// A scripted program: runs when a start names this path (compared without
// regard to case, after a relative path is resolved against the current
// directory). It may change the machine and schedule later events; it
// returns how long the process runs (virtual ms; INFINITE for ever).
using program = std::function<DWORD(const started_program&)>;
void add_program(const std::string& path, program behaviour);
// A start of a file that does not exist answers 2 (file not found); a file
// that exists with no scripted behaviour starts and runs for ever.
// force_shell_result makes the next starts answer this value (0 to clear);
// a forced answer above 32 starts the program even when the file is missing.
void force_shell_result(INT_PTR result);
// Every start the patch asked for, in order, with the shell's answer; only
// those answered above 32 were started (and appear in the journal).
const std::vector<started_program>& started_programs();

// Program chains. Inside a scripted program (while it starts, or in an
// event it scheduled with a delay below its run time): the running program
// starts the program at path as its child, the way a program does with
// CreateProcess, now or delay_ms later. The child belongs to every job its
// parent belongs to at that moment, and runs the path's scripted behaviour
// (or runs for ever). Such starts are not the patch's: they are neither in
// started_programs nor in the journal. A child started with breakaway
// (CREATE_BREAKAWAY_FROM_JOB) belongs to none of its parent's jobs; its
// parent's id still names the parent, as Toolhelp reports it.
void start_child(const std::string& path, DWORD delay_ms = 0, bool breakaway = false);
// Wine, unlike Windows, answers GetProcessTimes for a process that another
// program started and that is still starting (its program not yet loaded)
// with a placeholder creation time, 0x5555555555555555; this plays that for
// the first milliseconds of every such process (0, the default: never).
void set_creation_time_unknown_for(DWORD milliseconds);
// The id of the process the patch is (the parent of what it starts), as
// Toolhelp lists it.
constexpr DWORD PATCH_PROCESS_ID = 996;
// Processes (the patch's starts and their children) that still run; with
// working_only, those that were ever resumed (a process left suspended by a
// killed parent never runs a single instruction).
int running_process_count(bool working_only = false);
// Every process that still runs ends now (the user closed the programs).
void end_all_programs();

// ---------------------------------------------------------------------------
// Shell file operations. The occurrence-th SHFileOperationA call (1-based)
// is aborted, as when the user cancels the shell's progress window or the
// shell gives up: nothing is done, the call returns 0 and sets
// fAnyOperationsAborted. file_operation_flags lists the fFlags of every
// SHFileOperationA call, in order.
void abort_file_operation(int occurrence);
const std::vector<WORD>& file_operation_flags();

// ---------------------------------------------------------------------------
// Virtual time and named mutexes. Sleep and WaitForSingleObject advance the
// clock and run the events that fall due.
DWORD now_ms();
void schedule(DWORD delay_ms, std::function<void()> event);
void create_mutex(const std::string& name);
void remove_mutex(const std::string& name);
// How often OpenMutexA was called, and the total time given to Sleep.
int open_mutex_calls();
DWORD total_sleep_ms();

// ---------------------------------------------------------------------------
// Machine identity and special folders.
void set_module_file_name(const std::string& path);
void set_command_line(const std::string& command_line);
void set_system_directory(const std::string& path); // "" makes the call fail (0)
void set_current_directory(const std::string& path);
void set_os_version(DWORD major, DWORD minor, DWORD platform_id, bool call_succeeds = true);
// A folder location that cannot be had makes SHGetSpecialFolderLocation fail.
void set_special_folder(int csidl, std::optional<std::string> path);
void set_path_from_id_list_fails(bool fails);
void set_program_files_folder(std::optional<std::string> path); // SHGetFolderPathA(CSIDL_PROGRAM_FILES)

// ---------------------------------------------------------------------------
// DirectX diagnostics provider.
void set_dxdiag_available(bool available);   // false: creation fails
void set_dxdiag_open_result(HRESULT result); // a failing Initialize/container call
void set_dxdiag_property(const std::string& name, const DXDIAG_PROPERTY& property);
void remove_dxdiag_property(const std::string& name);
// Convenience: the three properties, VT_UI4 / VT_UI4 / VT_BSTR.
void set_dxdiag_version(DWORD major, DWORD minor, const std::string& letter);

// ---------------------------------------------------------------------------
// Fault injection: the occurrence-th call (1-based) of the named seam
// function (its Win32 name, such as "RegSetValueExA" or "shell_link_save")
// fails with the given code: registry calls return it, BOOL calls return
// FALSE and set it as the last error, handle calls return NULL, COM calls
// return it as their HRESULT, SHFileOperationA returns it, ShellExecuteA
// returns it as its result.
void fail_call(const std::string& function, int occurrence, long error_code);
int call_count(const std::string& function);
std::map<std::string, int> call_counts();

// ---------------------------------------------------------------------------
// Interruptions. kill_after_calls(n): once n more seam calls have been made,
// the next one kills the process, as Task Manager or a power cut would: no
// fatal error handler and nothing else of the process runs, every handle it
// held is closed (its named mutexes go), and the machine stays as it is.
// run_process then returns 1 and last_run_killed() is true. Programs the
// process started go on (their scheduled events stay).
void kill_after_calls(long calls);
bool last_run_killed();
// The sum of call_counts().
int total_call_count();
// Drops the answers queued for boxes not yet shown.
void clear_answers();
// Lets virtual time pass outside the patch (events fall due), as while the
// user waits between two runs.
void let_time_pass(DWORD milliseconds);

// ---------------------------------------------------------------------------
// Power cuts. Windows writes registry changes to disc lazily, while a file
// or folder change is on disc at once. RegFlushKey (or this helper, as the
// system's lazy writer does after a while) makes the whole registry as it
// is now the state on disc; power_cut() then ends every program, drops the
// scheduled events and named mutexes, and brings the registry back to that
// state, keeping every file change. A fresh machine's empty registry is on
// disc.
void write_registry_to_disc();
void power_cut();

// The environment that ExpandEnvironmentStringsA reads (names without
// regard to case). A fresh machine has ProgramFiles "C:\\Program Files",
// SystemRoot and windir "C:\\Windows", ALLUSERSPROFILE "C:\\ProgramData".
void set_environment_variable(const std::string& name, const std::string& value);

// ---------------------------------------------------------------------------
// The journal: one line for every change and every start, in order, such as
// "create key HKLM\\SOFTWARE\\X", "set value HKLM\\SOFTWARE\\X [Name]",
// "delete key HKLM\\SOFTWARE\\X", "rename C:\\a -> C:\\b", "delete C:\\a",
// "copy C:\\a -> C:\\b", "start D:\\\\setup.exe", "save shortcut C:\\x.lnk",
// "message box <text>"; also "delete value HKLM\\SOFTWARE\\X [Name]",
// "create directory C:\\x" and "start <file> <parameters>". Key paths use the
// keys' stored names; file paths are written as the caller passed them; a
// deleted subtree is one line. Only calls through the seam are recorded,
// not the setup helpers of this header (which scripted programs and events
// use too).
const std::vector<std::string>& journal();
void clear_journal();

// Handles still open (keys, mutexes, processes, files, ID lists, DirectX
// diagnostics sessions), for leak checks. Fonts are not counted.
int open_handle_count();

// The texts given to OutputDebugStringA, one entry per call.
const std::vector<std::string>& debug_output();
// How many CoInitialize calls are not yet balanced by CoUninitialize. The
// shell-link and DirectX diagnostics calls fail with CO_E_NOTINITIALIZED
// (0x800401F0) when it is 0, as on Windows.
int com_initialize_depth();

// Conversions the simulation uses (code page 1252), for tests.
std::u16string utf8_to_utf16(const std::string& text);
std::string utf16_to_utf8(const std::u16string& text);

} // namespace platform::sim
