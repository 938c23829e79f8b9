// The patch's workflow: the entry point and its run modes, the detection of
// the installed title, the game disc and DirectX checks, and the install
// and uninstall stages. Built on recovery and registration.
//
// Which file holds what:
//   entry.cpp           the entry point, the choice of run mode, clean mode and
//                       the run after a restart
//   detection.cpp       which title is installed
//   disc.cpp            the game disc and its setup
//   directx_check.cpp   the DirectX prerequisite
//   install_stage.cpp   the install stage
//   uninstall_stage.cpp the uninstall stage and the real uninstaller
#pragma once

#include "platform/platform.h"
#include "recovery/recovery.h"
#include "registration/registration.h"

// ---------------------------------------------------------------------------
// entry.cpp

enum class run_mode { clean, uninstall_stage, install_stage, resume };
int patch_main();
// The command line's text after the program's own name. An unquoted name
// is found by the running module's file name (module_path when none is
// given), so a blank in its folders' names does not end it.
const char* command_line_after_program_name(const char* command_line);
const char* command_line_after_program_name(const char* command_line, const char* module);
run_mode choose_run_mode(const char* command_line_tail, const char* lower_case_module_path);
void clean_mode();
// The run the system starts after a restart: it only finishes or undoes
// what the interrupted run left.
void resume_after_restart();

// The one copy of the patch at work: the named mutex every run holds, and
// the box a second copy shows.
constexpr char RUN_MUTEX_NAME[] = "Global\\Kestova-Patch-Run";
constexpr char ALREADY_RUNNING[] = "Kestova Patch is already running.\nWait until it has finished.";

// ---------------------------------------------------------------------------
// detection.cpp

// Installed-title detection.
int detect_installed_game();

// ---------------------------------------------------------------------------
// disc.cpp

// Game disc.
int find_disc_and_run_setup();
int disc_needs_patch(const char* drive);

// ---------------------------------------------------------------------------
// directx_check.cpp

int check_directx_prerequisite(const char* drive);
int is_windows_xp();

// ---------------------------------------------------------------------------
// install_stage.cpp

void install_stage();

// ---------------------------------------------------------------------------
// uninstall_stage.cpp

// run_real_uninstaller returns 1 when the uninstaller was started and every
// process of it has ended, 0 when it failed to start,
// UNINSTALLER_STILL_RUNNING when the user stopped waiting while it still
// runs.
constexpr int UNINSTALLER_STILL_RUNNING = 2;
int run_real_uninstaller(const char* code);
void uninstall_stage();
