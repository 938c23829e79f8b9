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
// Copies the patch's own executable to destination (a narrow path), never
// over an existing file. Nonzero on success. Without a recorded wide path
// (a run that set module_path alone) the narrow one is used.
int copy_own_executable(const char* destination);

// Entry point and run modes.
enum class run_mode { clean, uninstall_stage, install_stage };
int patch_main();
const char* command_line_after_program_name(const char* command_line);
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
int restore_leftover_parked_registration();

// Recovery after a fatal error inside a stage: the stages note what they
// move, and the fatal error handler puts titles back once.
enum class stage_kind { none, install, uninstall };
void begin_stage_recovery(stage_kind stage);
void end_stage_recovery();
void note_move_started(const char* source_guid, const char* dest_guid);
void note_move_finished();
void note_relocation_done(const char* source_guid, const char* dest_guid);

// Uninstall redirection and stages. run_real_uninstaller returns 1 when the
// uninstaller was started and every process of it has ended, 0 when it
// failed to start, UNINSTALLER_STILL_RUNNING when the user stopped waiting
// while it still runs.
constexpr int UNINSTALLER_STILL_RUNNING = 2;
int prepare_uninstall_redirect(const char* code);
int run_real_uninstaller(const char* code);
int purge_arp_cache();
void uninstall_stage();
void install_stage();

// Uninstall shortcut retargeting.
int retarget_uninstall_shortcut(const char* new_guid);

// Game disc and prerequisites.
int find_disc_and_run_setup();
int disc_needs_patch(const char* drive);
int check_directx_prerequisite(const char* drive);
int is_windows_xp();
