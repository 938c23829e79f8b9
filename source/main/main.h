// The patch driver and the coexistence workflow.
#pragma once

#include "main/layout.h"
#include "platform/platform.h"

#include <cstddef>

// Process-wide state.
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
// Copies the patch's own executable to destination (a narrow path); over an
// existing file only when replace_existing is nonzero. Nonzero on success.
// Without a recorded wide path (a run that set module_path alone) the
// narrow one is used.
int copy_own_executable(const char* destination, int replace_existing = 0);
// 1 when the file at path (a narrow path) is byte for byte the running
// executable. (own_executable.cpp)
int is_own_executable(const char* path);
// Puts a copy of the running executable at destination, over any file
// there: written as temporary (a name in the same folder) first and moved
// into place in one replacing, write-through step, so that destination is
// never a torn copy. 1 on success; on failure the temporary copy is gone
// and destination as it was.
int replace_with_own_executable(const char* destination, const char* temporary);

// Entry point and run modes.
enum class run_mode { clean, uninstall_stage, install_stage, resume };
int patch_main();
// The command line's text after the program's own name. An unquoted name
// is found by the running module's file name (module_path when none is
// given), so a blank in its folders' names does not end it.
const char* command_line_after_program_name(const char* command_line);
const char* command_line_after_program_name(const char* command_line, const char* module);
run_mode choose_run_mode(const char* command_line_tail, const char* lower_case_module_path);
void clean_mode();

// The product folder of a product code: INSTALL_INFO_ROOT\code. 1 when it
// fit in buffer.
int format_product_folder(char* buffer, std::size_t size, const char* product_code);
const char* install_info_root();

// Installed-title detection.
int detect_installed_game();

// Product-code relocation.
int move_install_info_folder(const char* source_guid, const char* dest_guid);
int move_uninstall_entry(const char* source_guid, const char* dest_guid);
int relocate_registration(const char* source_guid, const char* dest_guid);
int relocate_whole_registration(const char* source_guid, const char* dest_guid);
void undo_uninstall_entry_move(const char* source_guid, const char* dest_guid);
// Writes the registry to disc (RegFlushKey on HKEY_LOCAL_MACHINE\SOFTWARE)
// before a folder move or deletion that follows from what it now holds.
void flush_registry();

// Recovery after a fatal error inside a stage: the moves note the one under
// way, and the fatal error handler undoes it and then brings every
// registration to a whole state (as the start of a run does).
enum class stage_kind { none, install, uninstall };
void begin_stage_recovery(stage_kind stage);
void end_stage_recovery();
void note_move_started(const char* source_guid, const char* dest_guid);
void note_move_finished();
void recover_after_fatal_error();

// What an interrupted run left (killed, the machine restarted, a fatal
// error): finished or undone at the start of every stage. Returns 1 when it
// changed something or found a state it cannot put right, after telling
// the user in one box; the stage then ends. 0 when all was whole.
int put_right_interrupted_run();
// Brings the registrations to a whole state, as far as it can, after a
// fatal error (the in-flight step is never repeated). Shows no box of its own.
void reconcile_after_fatal_error(const char* failed_source, const char* failed_dest);
// Forgets the steps taken so far (a new stage begins).
void reset_reconciliation();

// Uninstall redirection and stages. run_real_uninstaller returns 1 when the
// uninstaller was started and every process of it has ended, 0 when it
// failed to start, UNINSTALLER_STILL_RUNNING when the user stopped waiting
// while it still runs.
constexpr int UNINSTALLER_STILL_RUNNING = 2;
int prepare_uninstall_redirect(const char* code);
// The warning for a title whose uninstaller could not be redirected: not
// to remove it until the patch has run again (which redirects it).
void warn_not_redirected(const char* code);
int run_real_uninstaller(const char* code);
int purge_arp_cache();
void uninstall_stage();
void install_stage();

// Coming back after a restart: the command line of the run that the system
// starts once at the next logon, the arrangement made before a title is
// parked (1 when made), its removal when a run has ended, and that run.
constexpr char RESUME_ARGUMENT[] = "/resume-after-restart";
int arrange_resume_after_restart();
void remove_resume_arrangement();
// At the end of a run: the arrangement stays while a title is parked or a
// program the patch started may still work (the run after the next logon
// puts that right); otherwise it goes.
void settle_resume_arrangement();
void resume_after_restart();

// The one copy of the patch at work: the named mutex every run holds, and
// the box a second copy shows.
constexpr char RUN_MUTEX_NAME[] = "Global\\Kestova-Patch-Run";
constexpr char ALREADY_RUNNING[] = "Kestova Patch is already running.\nWait until it has finished.";

// Uninstall shortcut retargeting.
int retarget_uninstall_shortcut(const char* new_guid);

// Game disc and prerequisites.
int find_disc_and_run_setup();
int disc_needs_patch(const char* drive);
int check_directx_prerequisite(const char* drive);
int is_windows_xp();
