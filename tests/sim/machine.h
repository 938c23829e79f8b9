// The state of the simulated Windows machine, shared by the .cpp files
// of the simulated backend. Nothing outside tests/sim includes this.
#pragma once

#include "platform/platform.h"
#include "sim/sim.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform::sim::detail
{

// Win32 codes the seam header does not name but the simulation answers with.
constexpr LONG ERROR_NOT_SAME_DEVICE = 17;
constexpr LONG ERROR_SHARING_VIOLATION = 32;
constexpr LONG ERROR_INVALID_NAME = 123;
constexpr LONG ERROR_MOD_NOT_FOUND = 126;
constexpr LONG ERROR_BAD_PATHNAME = 161;
constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
constexpr LONG ERROR_DIRECTORY = 267;
constexpr LONG ERROR_NOACCESS = 998;
constexpr LONG ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);

// ---------------------------------------------------------------------------
// Text. Registry names and data are UTF-16; narrow seam text is code page
// 1252; the sim.h helpers speak UTF-8.
char16_t fold_upper(char16_t c);
std::u16string fold(const std::u16string& text);
bool fold_equal(const std::u16string& a, const std::u16string& b);
// Orders names the way the registry sorts subkeys: by their upper-case form.
struct fold_less {
    bool operator()(const std::u16string& a, const std::u16string& b) const;
};
char16_t ansi_to_unit(unsigned char c);
// '?' (or *default_char) for a unit that code page 1252 cannot represent.
char unit_to_ansi(char16_t unit, bool* used_default = nullptr, char default_char = '?');
std::u16string ansi_to_utf16(const std::string& text);
std::string utf16_to_ansi(const std::u16string& text);
std::string utf8_to_ansi(const std::string& text);
std::string ansi_to_utf8(const std::string& text);
std::size_t wide_length(const WCHAR* text);
bool is_string_type(DWORD type);

// ---------------------------------------------------------------------------
// Registry.
struct reg_value {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
};
struct reg_key {
    std::u16string name;
    reg_key* parent = nullptr; // null for a root and for a deleted key
    bool deleted = false;
    std::vector<reg_value> values; // creation order
    std::map<std::u16string, std::shared_ptr<reg_key>, fold_less> subkeys;
};

// ---------------------------------------------------------------------------
// Files. Names are held as UTF-8, so that a name the ANSI code page cannot
// hold (reached through the wide calls) exists as on Windows; they are
// compared like registry names. The narrow calls' paths are decoded
// through code page 1252 first.
std::u16string fold_name(const std::string& utf8);
struct name_fold_less {
    bool operator()(const std::string& a, const std::string& b) const { return fold_name(a) < fold_name(b); }
};
struct file_node {
    std::string name; // UTF-8, as created
    bool directory = false;
    bool locked = false;
    std::vector<BYTE> bytes;
    std::optional<shortcut> link;
    std::optional<std::array<WORD, 4>> version;
    file_node* parent = nullptr;
    std::map<std::string, std::unique_ptr<file_node>, name_fold_less> children;
};
struct drive_state {
    drive info;
    std::unique_ptr<file_node> root;
};

// A path taken apart: upper-case drive letter and the names below the root.
struct split_path {
    char drive = 0;
    std::vector<std::string> names;
};
// Resolves an ANSI path (a narrow call's) against the current directory
// into UTF-8 names: 0 or a Win32 error.
// Characters that no name may hold give ERROR_INVALID_NAME, except "*" and
// "?" in the last name when wildcards are allowed. Paths of MAX_PATH
// characters or more give ERROR_FILENAME_EXCED_RANGE, as for the narrow
// Win32 calls, unless any_length (the sim.h helpers).
LONG parse_path(const std::string& path, split_path* out, bool wildcards = false, bool any_length = false);
// The same for a UTF-8 path (the wide calls' and the sim.h helpers').
LONG parse_utf8_path(const std::string& path, split_path* out, bool wildcards = false,
                     bool any_length = false);
std::string join_path(const split_path& path);

// ---------------------------------------------------------------------------
// Handles of every kind live in one table, so leak checks can count them.
enum class handle_kind { key, mutex, process, file, id_list, dxdiag, font, thread, job, snapshot };
struct open_file {
    std::vector<BYTE> bytes;
    long position = 0;
    bool text_mode = false;
};
struct handle_entry {
    handle_kind kind;
    std::shared_ptr<reg_key> key;
    REGSAM access = 0;
    std::string text; // mutex name, or the path an ID list names
    // index into machine::processes (process, thread), machine::jobs (job),
    // or the next entry of a snapshot
    std::size_t process = 0;
    open_file file;
};

struct process_record {
    DWORD started_at;
    DWORD duration; // INFINITE: runs for ever
    // A process started suspended runs (and starts its program) once resumed.
    bool suspended = false;
    std::u16string program;        // key into machine::programs ("" for none)
    started_program request;       // what its program is handed when it runs
    std::vector<std::size_t> jobs; // indices into machine::jobs
    DWORD created_at = 0;          // virtual time of its creation (its creation time)
    DWORD parent_id = 0;           // the id of the process that started it
};
struct job_record {
    DWORD limit_flags = 0;
    DWORD total_processes = 0;
};
struct scheduled_event {
    DWORD due;
    std::uint64_t order;
    std::function<void()> run;
};

struct machine {
    std::shared_ptr<reg_key> hklm;
    std::shared_ptr<reg_key> hkcu;

    std::map<char, drive_state> drives;
    std::string current_directory; // UTF-8

    std::string module_file_name; // UTF-8
    std::string command_line;
    std::string system_directory;
    std::string temp_path;
    DWORD os_major = 5;
    DWORD os_minor = 1;
    DWORD os_platform = VER_PLATFORM_WIN32_NT;
    bool os_call_succeeds = true;
    std::map<int, std::optional<std::string>> special_folders;
    bool path_from_id_list_fails = false;
    std::optional<std::string> program_files_folder;

    DWORD last_error = 0;
    std::vector<std::string> debug_output;
    int com_depth = 0;

    std::deque<int> answers;
    std::vector<message_box> boxes;
    int unscripted_boxes = 0;
    std::function<void(const message_box&)> on_box;

    std::map<std::u16string, program> programs; // key: fold_name of the full path
    INT_PTR forced_shell_result = 0;
    std::vector<started_program> started;
    std::vector<process_record> processes;
    std::vector<job_record> jobs;
    // The process whose program is running its start (for start_child).
    std::optional<std::size_t> running_process;
    std::vector<WORD> file_operation_flags;
    std::set<int> aborted_file_operations; // 1-based SHFileOperationA calls

    DWORD now = 0;
    std::vector<scheduled_event> events;
    std::uint64_t next_event_order = 0;
    std::set<std::string> mutexes;
    int open_mutex_calls = 0;
    DWORD total_sleep = 0;

    bool dx_available = false;
    HRESULT dx_open_result = S_OK;
    std::map<std::string, DXDIAG_PROPERTY> dx_properties;

    std::map<std::string, std::map<int, long>> faults;
    std::map<std::string, int> calls;
    int log_appends = 0; // not in calls: see append_to_log
    std::vector<std::string> journal;

    std::map<std::uintptr_t, handle_entry> handles;
    std::uintptr_t next_handle = 0x1000;
    // The processes each open Toolhelp snapshot lists, by handle.
    std::map<std::uintptr_t, std::vector<PROCESSENTRY32>> snapshots;

    // The patch's thread timer, which the message loop of a box runs while
    // the box is up, and how long (virtual ms) each box stays up before the
    // user answers it.
    struct thread_timer {
        std::uintptr_t id = 0; // 0: none
        DWORD interval = 0;
        TIMERPROC proc = nullptr;
        DWORD next_due = 0;
    } timer;
    DWORD box_wait = 0;
    // How long after its creation a process tells a placeholder instead of
    // its creation time (0: never, as on Windows).
    DWORD creation_time_unknown_ms = 0;

    // Interruptions: the seam calls left before the process is killed (-1:
    // never), whether the last run was killed, and the named mutexes the
    // patch itself created (with their open handles).
    long calls_before_kill = -1;
    bool killed = false;
    std::map<std::string, int> own_mutex_handles;

    // The environment (names upper-cased) and the registry as last written
    // to disc, which a power cut brings back.
    std::map<std::string, std::string> environment;
    std::shared_ptr<reg_key> hklm_on_disc;
    std::shared_ptr<reg_key> hkcu_on_disc;
};

machine& state();
void reset_registry();
// Copies the registry to its on-disc state, or back from it.
void write_registry_to_disc();
void restore_registry_from_disc();
void reset_files();

// Counts a call of a seam function; true when fail_call scripted this call
// to fail, with the code to fail with.
// A call made when the process is to be killed throws process_killed
// instead.
bool injected_failure(const char* function, long* code);
// Thrown by the call at which a scripted kill happens; run_process catches it.
struct process_killed {
};
// Closes a mutex handle the patch created; false for any other handle.
bool close_own_mutex(const void* handle);
// What the system does when the process ends: its run mutexes go.
void close_own_mutexes();
void record(const std::string& line);
void set_last_error(DWORD error);

std::uintptr_t add_handle(handle_entry entry);
handle_entry* find_handle(const void* handle, handle_kind kind);
bool remove_handle(const void* handle, handle_kind kind);

// Moves the virtual clock forward, running the events that fall due.
void advance_clock(DWORD milliseconds);
// A box stays up for machine::box_wait while its loop runs the timer.
void run_box_message_loop();

// File system helpers shared with the program and shortcut code.
file_node* find_node(const split_path& path, LONG* error);
bool node_in_use(const file_node* node);

} // namespace platform::sim::detail
