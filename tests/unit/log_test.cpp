// The log: what a run writes into it, and that a log that cannot be
// written changes nothing.
#include "stage_scenarios.h"

#include "log/log.h"

#include <algorithm>
#include <sstream>

using namespace platform;

namespace
{

using namespace stage_scenarios;

const std::string LOG = "C:\\ProgramData\\Kestova Patch\\kestova-patch.log";
const std::string OLD_LOG = LOG + ".1";

class log_test : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        sim::add_directory("C:\\ProgramData"); // as on every Windows
    }

    static void start(const std::string& module, const std::string& arguments = "")
    {
        reset_process_state();
        sim::set_module_file_name(module);
        sim::set_command_line("\"" + module + "\"" + (arguments.empty() ? "" : " " + arguments));
        sim::run_process([] { return patch_main(); });
    }

    // The log's lines without their time stamps.
    static std::vector<std::string> log_lines(const std::string& path = LOG)
    {
        const auto bytes = sim::file_bytes(path);
        std::vector<std::string> lines;
        if (!bytes) {
            return lines;
        }
        std::istringstream text(std::string(bytes->begin(), bytes->end()));
        for (std::string line; std::getline(text, line);) {
            EXPECT_GE(line.size(), 21u) << line;
            EXPECT_EQ(line.back(), '\r') << "lines end with CR LF: " << line;
            lines.push_back(line.substr(21, line.size() - 22));
        }
        return lines;
    }

    // True when each of wanted is found in a line after the line of the one
    // before it; says which one is missing otherwise.
    static ::testing::AssertionResult tells_in_order(const std::vector<std::string>& lines,
                                                     const std::vector<std::string>& wanted)
    {
        std::size_t at = 0;
        for (const std::string& part : wanted) {
            while (at < lines.size() && lines[at].find(part) == std::string::npos) {
                ++at;
            }
            if (at == lines.size()) {
                std::string all;
                for (const std::string& line : lines) {
                    all += "\n  " + line;
                }
                return ::testing::AssertionFailure()
                       << "no line \"" << part << "\" in its place; the log:" << all;
            }
            ++at;
        }
        return ::testing::AssertionSuccess();
    }
};

const std::string SHARED = SHARED_PRODUCT_CODE;
const std::string ALTERNATE = ALTERNATE_PRODUCT_CODE;
const std::string PARKING = PARKING_PRODUCT_CODE;

TEST_F(log_test, a_swap_tells_each_move_before_it_is_made_and_each_result_after)
{
    arrange_title_2_installed();
    start("C:\\Patch\\kestova-patch.exe");
    EXPECT_TRUE(tells_in_order(log_lines(), {
                                                "Kestova Patch " KESTOVA_VERSION
                                                " begins (install): c:\\patch\\kestova-patch.exe",
                                                "Found \"Kestova 2\" under " + SHARED,
                                                "Arranging a run after a restart",
                                                "Moving the product folder",
                                                "Folder moved",
                                                "Moving the uninstall entry " + SHARED + " to " + PARKING,
                                                "Entry moved",
                                                "Box: Found Kestova 3 in drive D:\\. |  | Install Kestova 3?",
                                                "Answer: Yes",
                                                "Starting D:\\",
                                                "The setup has signalled",
                                                "Every program it started has ended",
                                                "Moving the uninstall entry " + SHARED + " to " + ALTERNATE,
                                                "Entry moved",
                                                "Pointing the shortcut",
                                                "Moving the uninstall entry " + PARKING + " to " + SHARED,
                                                "Entry moved",
                                                "Redirecting the uninstaller",
                                                "Uninstaller redirected",
                                                "The run after a restart is no longer needed",
                                                "Run ends",
                                            }));
}

TEST_F(log_test, a_removal_tells_the_swap_round_and_back)
{
    arrange_both_titles_redirected();
    start("C:\\Temp\\_is4f2a\\setup.tmp");
    EXPECT_TRUE(tells_in_order(log_lines(),
                               {
                                   "begins (uninstall)",
                                   "Found \"Kestova 2\" under " + SHARED,
                                   "Found \"Kestova 3\" under " + ALTERNATE + ", its uninstaller redirected",
                                   "Moving the uninstall entry " + SHARED + " to " + PARKING,
                                   "Moving the uninstall entry " + ALTERNATE + " to " + SHARED,
                                   "Starting ",
                                   "Box: Please wait",
                                   "Answer: OK",
                                   "Moving the uninstall entry " + PARKING + " to " + SHARED,
                                   "Run ends",
                               }));
}

// The first run is killed once it has parked the installed title; the next
// run puts it back.
TEST_F(log_test, a_repaired_interruption_tells_both_runs)
{
    const std::string parked = "Moving the uninstall entry " + SHARED + " to " + PARKING;
    bool killed_parked = false;
    for (long calls = 1; calls < 400 && !killed_parked; ++calls) {
        sim::reset();
        reset_process_state();
        sim::add_directory("C:\\ProgramData");
        arrange_title_2_installed();
        sim::kill_after_calls(calls);
        start("C:\\Patch\\kestova-patch.exe");
        killed_parked = sim::last_run_killed() && tells_in_order(log_lines(), {parked, "Entry moved"});
    }
    ASSERT_TRUE(killed_parked);
    sim::clear_answers();
    start("C:\\Patch\\kestova-patch.exe");
    const auto lines = log_lines();
    EXPECT_TRUE(tells_in_order(lines, {
                                          "begins (install)",
                                          parked,
                                          "Entry moved",
                                          "begins (install)",
                                          "Found \"Kestova 2\" under " + PARKING,
                                          "Moving the uninstall entry " + PARKING + " to " + SHARED,
                                          "Entry moved",
                                          "Box: An earlier run of the patch was interrupted",
                                          "Run ends",
                                      }));
    // The killed run has no end in the log: its process ended on the way.
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Run ends"), 1);
}

// The same run with every write of the log failing: the same changes in
// the same order, the same boxes, the same machine but for the log.
TEST_F(log_test, a_log_that_cannot_be_written_changes_nothing_else)
{
    arrange_title_2_installed();
    start("C:\\Patch\\kestova-patch.exe");
    const std::vector<std::string> journal = sim::journal();
    const std::string machine = sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE") + files_but_log("C:\\");
    const auto boxes = sim::message_boxes().size();
    ASSERT_FALSE(log_lines().empty());

    sim::reset();
    reset_process_state();
    sim::add_directory("C:\\ProgramData");
    arrange_title_2_installed();
    for (int write = 1; write <= 200; ++write) {
        sim::fail_call("append_to_log", write, 112); // ERROR_DISK_FULL
    }
    start("C:\\Patch\\kestova-patch.exe");
    // The log had made its folder already when the arrangement for a
    // restart made sure of it.
    std::vector<std::string> expected = journal;
    expected.insert(expected.begin() + 1, "create directory C:\\ProgramData\\Kestova Patch");
    EXPECT_EQ(sim::journal(), expected);
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE") + files_but_log("C:\\"), machine);
    EXPECT_EQ(sim::message_boxes().size(), boxes);
    EXPECT_TRUE(log_lines().empty());
}

TEST_F(log_test, without_a_place_for_the_log_the_run_goes_on)
{
    sim::set_special_folder(CSIDL_COMMON_APPDATA, std::nullopt);
    arrange_title_2_installed();
    start("C:\\Patch\\kestova-patch.exe");
    EXPECT_EQ(codes_holding("Kestova 2"), std::vector<std::string>{SHARED});
    EXPECT_EQ(codes_holding("Kestova 3"), std::vector<std::string>{ALTERNATE});
    EXPECT_FALSE(sim::file_exists(LOG));
}

TEST_F(log_test, a_full_log_becomes_the_old_log_and_a_new_one_begins)
{
    const std::vector<BYTE> full(256 * 1024, 'x');
    const std::vector<BYTE> older = {'o', 'l', 'd'};
    sim::add_file(LOG, full);
    sim::add_file(OLD_LOG, older);
    arrange_title_2_installed();
    start("C:\\Patch\\kestova-patch.exe");
    EXPECT_EQ(sim::file_bytes(OLD_LOG), full);
    const auto lines = log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().find("begins (install)"), std::string::npos) << lines.front();
    EXPECT_EQ(lines.back(), "Run ends");
}

TEST_F(log_test, a_log_below_its_limit_grows_and_clean_mode_keeps_it)
{
    const std::string earlier = "2026-01-01 00:00:00  an earlier run\r\n";
    sim::add_file(LOG, std::vector<BYTE>(earlier.begin(), earlier.end()));
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    start("C:\\Patch\\kestova-patch.exe", "clean");
    const auto lines = log_lines();
    EXPECT_FALSE(sim::file_exists(OLD_LOG));
    EXPECT_TRUE(tells_in_order(lines, {
                                          "an earlier run",
                                          "begins (clean)",
                                          "Found \"Kestova 2\" under " + SHARED,
                                          "Deleting every registration of both titles",
                                          "Box: CLEANED OKAY",
                                          "Answer: OK",
                                          "Run ends",
                                      }));
}

TEST_F(log_test, a_fatal_error_is_told_with_the_end_of_its_run)
{
    sim::set_command_line("\"C:\\Patch\\kestova-patch.exe\"");
    start("C:\\Patch\\kestova-patch.exe");
    EXPECT_TRUE(
        tells_in_order(log_lines(), {
                                        "begins (install)",
                                        "Box: Neither 'Kestova 2' or 'Kestova 3' are currently installed",
                                        "Run ends after that error",
                                    }));
}

} // namespace
