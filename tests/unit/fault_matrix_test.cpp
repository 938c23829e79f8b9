// Every platform call the stages make, made to fail once at its first, a
// middle and its last use: whatever happens, no title may be lost, left
// split between two codes or left parked without the user being told.
#include "stage_scenarios.h"

#include <map>
#include <set>

using namespace platform;

namespace
{

using namespace stage_scenarios;

// Failure codes in the form each call reports them.
long failure_code(const std::string& function)
{
    static const std::set<std::string> com_calls = {
        "shell_link_load",  "shell_link_save", "shell_link_rewrite_arguments", "SHGetSpecialFolderLocation",
        "SHGetFolderPathA", "CoInitialize",    "dxdiag_open_system_info",      "dxdiag_get_property"};
    return com_calls.count(function) != 0 ? static_cast<long>(E_FAIL)
                                          : static_cast<long>(ERROR_ACCESS_DENIED);
}

void prepare(const scenario& s)
{
    sim::reset();
    reset_process_state();
    s.arrange();
}

class fault_matrix : public ::testing::TestWithParam<scenario>
{
};

TEST_P(fault_matrix, no_title_is_lost_whatever_call_fails)
{
    const scenario& s = GetParam();
    prepare(s);
    sim::run_process([&] {
        s.run();
        return 0;
    });
    ASSERT_EQ(check_invariant(s), "") << "the run without faults already breaks the invariant";
    const std::map<std::string, int> counts = sim::call_counts();

    int runs = 0;
    std::vector<std::string> failures;
    for (const auto& [function, count] : counts) {
        std::set<int> occurrences = {1, (count + 1) / 2, count};
        for (int occurrence : occurrences) {
            prepare(s);
            sim::fail_call(function, occurrence, failure_code(function));
            sim::run_process([&] {
                s.run();
                return 0;
            });
            ++runs;
            const std::string problem = check_invariant(s);
            if (!problem.empty()) {
                const auto& boxes = sim::message_boxes();
                failures.push_back(function + " #" + std::to_string(occurrence) + ": " + problem +
                                   " (last message: " + (boxes.empty() ? "none" : boxes.back().text) + ")");
            }
        }
    }
    std::printf("fault matrix %s: %zu calls, %d runs, %d kept every title, %zu did not\n", s.name,
                counts.size(), runs, runs - static_cast<int>(failures.size()), failures.size());
    for (const std::string& failure : failures) {
        ADD_FAILURE() << failure;
    }
}

INSTANTIATE_TEST_SUITE_P(stages, fault_matrix,
                         ::testing::Values(scenario{"install_title_3_beside_title_2",
                                                    arrange_title_2_installed,
                                                    run_install_stage,
                                                    {"Kestova 2"},
                                                    "Kestova 3"},
                                           scenario{"install_title_2_beside_title_3",
                                                    arrange_title_3_installed,
                                                    run_install_stage,
                                                    {"Kestova 3"},
                                                    "Kestova 2"},
                                           scenario{"uninstall_with_remaining_title",
                                                    arrange_both_titles_redirected,
                                                    run_uninstall_stage,
                                                    {"Kestova 2"},
                                                    "Kestova 3"},
                                           scenario{"uninstall_without_remaining_title",
                                                    arrange_only_redirected_title,
                                                    run_uninstall_stage,
                                                    {},
                                                    "Kestova 3"}),
                         [](const ::testing::TestParamInfo<scenario>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
