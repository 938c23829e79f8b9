// The process killed after every platform call a run makes (Task Manager, a
// crash, a power cut: no handler runs, the machine stays as it is), then the
// patch started again: whatever the moment, the next run must leave every
// title whole, nothing parked, the new title redirected, and no arrangement
// for a restart behind. The second run is killed at every call once too,
// and a third run must then put everything right.
#include "recovery/recovery.h"
#include "stage_scenarios.h"

#include <cstdio>
#include <set>

using namespace platform;

namespace
{

using namespace stage_scenarios;

struct crash_scenario {
    const char* name;
    scenario stage;
    std::string module;              // the run that is killed
    std::vector<std::string> starts; // how the patch is started again
};

void prepare(const crash_scenario& c)
{
    sim::reset();
    reset_process_state();
    sim::add_file(UNINSTALL_MODULE, PATCH_BYTES);
    sim::create_key(HKEY_LOCAL_MACHINE, RUN_ONCE);
    sim::add_directory("C:\\ProgramData"); // as on every Windows
    c.stage.arrange();
    // Unanswered boxes get their defaults, whichever run shows them.
    sim::clear_answers();
    // The machine as set up has long been on disc.
    sim::write_registry_to_disc();
}

// Everything the next run could read, so that kills that leave the same
// machine behind are run on once.
std::string machine_signature()
{
    std::string signature = sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE") + files_but_log("C:\\");
    for (const char* title : {"Kestova 2", "Kestova 3"}) {
        signature += shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, title)) + "\n";
    }
    return signature;
}

// One start of the patch through its entry point; kill_after < 0 runs it
// to its end. Returns the platform calls it made.
int run_patch(const std::string& module, long kill_after)
{
    reset_process_state();
    sim::set_module_file_name(module);
    sim::set_command_line("\"" + module + "\"");
    const int calls_before = sim::total_call_count();
    sim::kill_after_calls(kill_after);
    sim::run_process([] { return patch_main(); });
    sim::kill_after_calls(-1);
    return sim::total_call_count() - calls_before;
}

// Between two runs the user waits: programs the killed run started finish
// what they were doing, and the disc's setup is closed (the next run would
// not act while it runs).
void time_passes()
{
    sim::let_time_pass(10 * 60 * 1000);
    sim::remove_mutex(SETUP_MUTEX_NAME);
    sim::end_all_programs();
}

// The fault matrix's check, made strict: a kill is no failing call, so the
// next whole run can always put everything right.
std::string whole_state(const crash_scenario& c)
{
    const std::string problem = check_invariant(c.stage);
    if (!problem.empty()) {
        return problem;
    }
    if (sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE)) ||
        sim::directory_exists(folder_path(PARKING_PRODUCT_CODE))) {
        return "something is left under the parking code";
    }
    if (!sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)) &&
        sim::directory_exists(folder_path(SHARED_PRODUCT_CODE))) {
        return "a removed title's folder is left under the shared code";
    }
    if (sim::get_value(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch") || sim::file_exists(LASTING_COPY)) {
        return "the arrangement for a restart is left behind";
    }
    if (sim::key_exists(HKEY_LOCAL_MACHINE, STARTED_PROGRAMS_KEY)) {
        return "the record of started programs is left behind";
    }
    return "";
}

std::string describe_failure(const std::string& what, const std::string& problem)
{
    const auto& boxes = sim::message_boxes();
    return what + ": " + problem + " (last message: " + (boxes.empty() ? "none" : boxes.back().text) + ")";
}

class crash_matrix : public ::testing::TestWithParam<crash_scenario>
{
};

TEST_P(crash_matrix, a_kill_at_any_call_is_put_right_by_the_next_run)
{
    const crash_scenario& c = GetParam();
    prepare(c);
    const int calls = run_patch(c.module, -1);
    ASSERT_EQ(whole_state(c), "") << "the run without a kill already breaks the invariant";
    ASSERT_GT(calls, 10);

    int cells = 0;
    std::vector<std::string> failures;
    for (int n = 1; n <= calls; ++n) {
        for (const std::string& start : c.starts) {
            prepare(c);
            run_patch(c.module, n);
            time_passes();
            run_patch(start, -1);
            ++cells;
            const std::string problem = whole_state(c);
            if (!problem.empty()) {
                failures.push_back(
                    describe_failure("kill after call " + std::to_string(n) + ", then " + start, problem));
            }
        }
    }
    std::printf("crash matrix %s: %d calls, %d cells, %d ended whole\n", c.name, calls, cells,
                cells - static_cast<int>(failures.size()));
    for (std::size_t i = 0; i < failures.size() && i < 20; ++i) {
        ADD_FAILURE() << failures[i];
    }
    EXPECT_TRUE(failures.empty()) << failures.size() << " cells did not end whole";
}

// After a power cut the system starts the RunOnce command that the
// registry on disc holds, if any, at the logon (deleting the value first),
// as the run after a restart. A command whose program is gone starts
// nothing: the arrangement to come back is broken, which is a problem
// returned (empty when there is none).
std::string logon_after_restart()
{
    const auto command = sim::get_string(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch");
    if (!command) {
        return "";
    }
    sim::delete_key(HKEY_LOCAL_MACHINE, RUN_ONCE);
    sim::create_key(HKEY_LOCAL_MACHINE, RUN_ONCE);
    const std::size_t end = command->find('"', 1);
    if (command->empty() || (*command)[0] != '"' || end == std::string::npos) {
        return "the RunOnce command is not a quoted program: " + *command;
    }
    const std::string program = command->substr(1, end - 1);
    if (!sim::file_exists(program)) {
        return "the RunOnce command names a program that is gone: " + *command;
    }
    reset_process_state();
    sim::set_module_file_name(program);
    sim::set_command_line(*command);
    sim::run_process([] { return patch_main(); });
    return "";
}

// A power cut at any call: every program ends, the registry is as last
// written to disc (changes since the last flush are lost), every file
// change stays. The logon after the restart runs the RunOnce command, then
// the user starts the patch: everything must be whole.
TEST_P(crash_matrix, a_power_cut_at_any_call_is_put_right_by_the_next_start)
{
    const crash_scenario& c = GetParam();
    prepare(c);
    const int calls = run_patch(c.module, -1);

    int cells = 0;
    int resumed = 0;
    std::vector<std::string> failures;
    for (int n = 1; n <= calls; ++n) {
        for (const std::string& start : c.starts) {
            prepare(c);
            run_patch(c.module, n);
            sim::power_cut();
            if (sim::get_value(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch")) {
                ++resumed;
            }
            const std::string logon_problem = logon_after_restart();
            sim::let_time_pass(10 * 60 * 1000);
            run_patch(start, -1);
            ++cells;
            const std::string problem = logon_problem.empty() ? whole_state(c) : logon_problem;
            if (!problem.empty()) {
                failures.push_back(describe_failure(
                    "power cut after call " + std::to_string(n) + ", then " + start, problem));
            }
        }
    }
    std::printf(
        "crash matrix %s, power cut: %d calls, %d cells (%d with a run at the logon), %d ended whole\n",
        c.name, calls, cells, resumed, cells - static_cast<int>(failures.size()));
    for (std::size_t i = 0; i < failures.size() && i < 20; ++i) {
        ADD_FAILURE() << failures[i];
    }
    EXPECT_TRUE(failures.empty()) << failures.size() << " cells did not end whole";
}

// Kills that leave the same machine behind lead to the same next run, so
// each distinct machine left by the first kill is run on once, and each
// distinct machine left by the second kill gets its third run.
TEST_P(crash_matrix, a_second_kill_during_the_repair_is_put_right_by_a_third_run)
{
    const crash_scenario& c = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    // The second-kill matrices take minutes under the sanitizers; the
    // native build runs them in full.
    GTEST_SKIP() << "run in full by the native build";
#endif
    prepare(c);
    const int calls = run_patch(c.module, -1);

    int pairs = 0;
    int third_runs = 0;
    std::vector<std::string> failures;
    std::set<std::string> first_states;
    for (int n = 1; n <= calls; ++n) {
        for (const std::string& start : c.starts) {
            const auto first_kill = [&] {
                prepare(c);
                run_patch(c.module, n);
                time_passes();
            };
            first_kill();
            if (!first_states.insert(start + machine_signature()).second) {
                continue;
            }
            const int second_calls = run_patch(start, -1);
            std::set<std::string> second_states;
            for (int m = 1; m < second_calls; ++m) {
                first_kill();
                run_patch(start, m);
                time_passes();
                ++pairs;
                if (!second_states.insert(machine_signature()).second) {
                    continue;
                }
                run_patch(start, -1);
                ++third_runs;
                const std::string problem = whole_state(c);
                if (!problem.empty()) {
                    failures.push_back(describe_failure("kill after call " + std::to_string(n) + ", then " +
                                                            start + " killed after call " + std::to_string(m),
                                                        problem));
                }
            }
        }
    }
    std::printf("crash matrix %s, second run killed too: %zu distinct first kills, %d kill pairs, %d third "
                "runs, %d ended whole\n",
                c.name, first_states.size(), pairs, third_runs,
                third_runs - static_cast<int>(failures.size()));
    for (std::size_t i = 0; i < failures.size() && i < 20; ++i) {
        ADD_FAILURE() << failures[i];
    }
    EXPECT_TRUE(failures.empty()) << failures.size() << " third runs did not end whole";
}

// A kill while a chain's engine works, after its first process has ended,
// and the patch started again at once: while any process of the chain runs,
// that run changes nothing but the record; once the chain has ended, the
// next run puts everything right.
class chain_crash_matrix : public ::testing::TestWithParam<crash_scenario>
{
};

// What a run changed through the platform (the journal), but its own run
// mutex, its boxes and the record of started programs, which a run that
// only warns may extend.
std::vector<std::string> changes_but_record()
{
    std::vector<std::string> changes;
    for (const std::string& line : sim::journal()) {
        if (line.rfind("message box ", 0) != 0 && line.rfind("create mutex ", 0) != 0 &&
            line.find("\\Kestova Patch") == std::string::npos) {
            changes.push_back(line);
        }
    }
    return changes;
}

TEST_P(chain_crash_matrix, a_kill_while_the_engine_works_is_waited_for_then_put_right)
{
    const crash_scenario& c = GetParam();
    prepare(c);
    const int calls = run_patch(c.module, -1);
    ASSERT_EQ(whole_state(c), "") << "the run without a kill already breaks the invariant";

    int cells = 0;
    int waited = 0;
    std::vector<std::string> failures;
    for (int n = 1; n <= calls; ++n) {
        for (const std::string& start : c.starts) {
            prepare(c);
            run_patch(c.module, n);
            // A process left suspended by the killed run never runs.
            const bool at_work = sim::running_process_count(true) > 0;
            sim::clear_journal();
            run_patch(start, -1);
            if (at_work) {
                ++waited;
                const std::vector<std::string> changes = changes_but_record();
                if (!changes.empty()) {
                    failures.push_back(
                        describe_failure("kill after call " + std::to_string(n) + ", then " + start,
                                         "a run acted while the chain still worked: " + changes[0]));
                }
            }
            time_passes();
            run_patch(start, -1);
            ++cells;
            const std::string problem = whole_state(c);
            if (!problem.empty()) {
                failures.push_back(describe_failure(
                    "kill after call " + std::to_string(n) + ", then " + start + " twice", problem));
            }
        }
    }
    std::printf(
        "crash matrix %s, run again at once: %d calls, %d cells (%d while the chain worked), %d ended "
        "whole\n",
        c.name, calls, cells, waited, cells - static_cast<int>(failures.size()));
    for (std::size_t i = 0; i < failures.size() && i < 20; ++i) {
        ADD_FAILURE() << failures[i];
    }
    EXPECT_TRUE(failures.empty()) << failures.size() << " cells failed";
}

INSTANTIATE_TEST_SUITE_P(
    chains, chain_crash_matrix,
    ::testing::Values(
        crash_scenario{"install_title_3_with_a_chained_setup",
                       {"", arrange_title_2_installed_chained_setup, nullptr, {"Kestova 2"}, "Kestova 3"},
                       INSTALL_MODULE,
                       {INSTALL_MODULE}},
        crash_scenario{
            "uninstall_with_a_chained_uninstaller",
            {"", arrange_both_titles_redirected_chained_uninstaller, nullptr, {"Kestova 2"}, "Kestova 3"},
            UNINSTALL_MODULE,
            {INSTALL_MODULE, UNINSTALL_MODULE}}),
    [](const ::testing::TestParamInfo<crash_scenario>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    stages, crash_matrix,
    ::testing::Values(crash_scenario{"install_title_3_beside_title_2",
                                     {"", arrange_title_2_installed, nullptr, {"Kestova 2"}, "Kestova 3"},
                                     INSTALL_MODULE,
                                     {INSTALL_MODULE}},
                      crash_scenario{"install_title_2_beside_title_3",
                                     {"", arrange_title_3_installed, nullptr, {"Kestova 3"}, "Kestova 2"},
                                     INSTALL_MODULE,
                                     {INSTALL_MODULE}},
                      crash_scenario{
                          "uninstall_with_remaining_title",
                          {"", arrange_both_titles_redirected, nullptr, {"Kestova 2"}, "Kestova 3"},
                          UNINSTALL_MODULE,
                          {INSTALL_MODULE, UNINSTALL_MODULE}},
                      crash_scenario{"uninstall_without_remaining_title",
                                     {"", arrange_only_redirected_title, nullptr, {}, "Kestova 3"},
                                     UNINSTALL_MODULE,
                                     {INSTALL_MODULE, UNINSTALL_MODULE}}),
    [](const ::testing::TestParamInfo<crash_scenario>& info) { return std::string(info.param.name); });

} // namespace
