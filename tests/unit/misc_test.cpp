#include "patch_test.h"

#include <cstring>

using namespace platform;

namespace
{

struct append_case {
    const char* dest;
    const char* source;
    const char* expected;
};

class append_path_table : public patch_test, public ::testing::WithParamInterface<append_case>
{
};

TEST_P(append_path_table, joins_with_exactly_one_backslash)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s", GetParam().dest);
    EXPECT_EQ(append_path(buffer, GetParam().source), 1);
    EXPECT_STREQ(buffer, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(cases, append_path_table,
                         ::testing::Values(append_case{"C:\\a", "\\setup.exe", "C:\\a\\setup.exe"},
                                           append_case{"C:\\a\\", "setup.exe", "C:\\a\\setup.exe"},
                                           append_case{"C:\\a\\", "\\\\b", "C:\\a\\b"},
                                           append_case{"", "\\b", "b"}, append_case{"C:\\a", "", "C:\\a\\"},
                                           append_case{"C:\\a", "\\\\", "C:\\a\\"},
                                           append_case{"C:\\a", "b\\c\\", "C:\\a\\b\\c\\"}));

TEST_F(patch_test, append_path_refuses_a_result_that_does_not_fit_and_leaves_the_buffer_alone)
{
    char buffer[16];
    std::memset(buffer, 0xbd, sizeof buffer);
    std::memcpy(buffer, "C:\\folder", 10);
    EXPECT_EQ(append_path(buffer, "\\setup.ex"), 0); // needs 20 bytes
    EXPECT_STREQ(buffer, "C:\\folder");
    EXPECT_EQ(static_cast<unsigned char>(buffer[10]), 0xbd);

    EXPECT_EQ(append_path(buffer, "\\x.exe"), 1); // exactly 16 bytes with the NUL
    EXPECT_STREQ(buffer, "C:\\folder\\x.exe");
}

TEST_F(patch_test, append_path_checks_the_component_before_the_buffer)
{
    expect_fatal([] { append_path(nullptr, 0, nullptr); }, "ASSERT source_string");
    expect_fatal([] { append_path(nullptr, 0, "x"); }, "ASSERT dest_string");
}

TEST_F(patch_test, fatal_error_shows_a_system_modal_warning_with_empty_caption_and_ends_the_process)
{
    bool after_call_ran = false;
    const run_outcome outcome = run_operation([&] {
        fatal_error("Error when getting display name (%ld)", 5L);
        after_call_ran = true;
    });
    EXPECT_TRUE(outcome.process_ended);
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_FALSE(after_call_ran);
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    const sim::message_box& box = sim::message_boxes()[0];
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.text, "Error when getting display name (5)");
    EXPECT_EQ(box.caption, "");
    EXPECT_EQ(box.style, 0x1030u);
}

TEST_F(patch_test, warn_user_returns_after_the_box)
{
    const run_outcome outcome = run_operation([] { warn_user("Failed to run %s", "setup_is.exe"); });
    EXPECT_FALSE(outcome.process_ended);
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_EQ(sim::message_boxes()[0].text, "Failed to run setup_is.exe");
    EXPECT_EQ(sim::message_boxes()[0].style, 0x1030u);
}

TEST_F(patch_test, a_failed_assertion_shows_only_the_expression)
{
    const int is_ks2 = 0, is_ks3 = 0;
    expect_fatal([&] { ASSERT(is_ks2 || is_ks3); }, "ASSERT is_ks2 || is_ks3");
}

TEST_F(patch_test, a_message_longer_than_its_buffer_is_cut_not_overrun)
{
    const std::string long_path(3000, 'x');
    run_operation([&] { warn_user("Error reading file: %s", long_path.c_str()); });
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_EQ(sim::message_boxes()[0].text.size(), 1023u);
    EXPECT_EQ(sim::message_boxes()[0].text.rfind("Error reading file: xxx", 0), 0u);
}

void restore_for_test()
{
    warn_user("restoring");
}
void failing_restore()
{
    fatal_error("inside the restore");
}

TEST_F(patch_test, the_fatal_error_handler_runs_once_after_the_box)
{
    set_fatal_error_handler(restore_for_test);
    run_operation([] { fatal_error("first"); });
    ASSERT_EQ(sim::message_boxes().size(), 2u);
    EXPECT_EQ(sim::message_boxes()[0].text, "first");
    EXPECT_EQ(sim::message_boxes()[1].text, "restoring");

    set_fatal_error_handler(failing_restore);
    const run_outcome outcome = run_operation([] { fatal_error("second"); });
    EXPECT_TRUE(outcome.process_ended);
    ASSERT_EQ(sim::message_boxes().size(), 4u);
    EXPECT_EQ(sim::message_boxes()[3].text, "inside the restore");
}

TEST_F(patch_test, debug_trace_sends_the_text_then_a_line_feed_and_shows_nothing)
{
    debug_trace("value %d", 7);
    EXPECT_EQ(sim::debug_output(), (std::vector<std::string>{"value 7", "\n"}));
    EXPECT_TRUE(sim::message_boxes().empty());
}

TEST_F(patch_test, delete_folder_deletes_the_folder_and_everything_in_it)
{
    sim::add_file("C:\\Games\\Old\\data\\a.bin", {1, 2, 3});
    sim::add_file("C:\\Games\\Keep.txt", {4});
    EXPECT_EQ(delete_folder("C:\\Games\\Old"), 1);
    EXPECT_FALSE(sim::directory_exists("C:\\Games\\Old"));
    EXPECT_TRUE(sim::file_exists("C:\\Games\\Keep.txt"));
    EXPECT_TRUE(sim::message_boxes().empty());
}

TEST_F(patch_test, delete_folder_reports_failure_without_a_message)
{
    EXPECT_EQ(delete_folder("C:\\Missing"), 0);
    sim::add_file("C:\\Busy\\file.dat", {1});
    sim::lock_path("C:\\Busy\\file.dat");
    EXPECT_EQ(delete_folder("C:\\Busy"), 0);
    EXPECT_TRUE(sim::file_exists("C:\\Busy\\file.dat"));
    EXPECT_TRUE(sim::message_boxes().empty());
}

TEST_F(patch_test, delete_folder_refuses_a_path_too_long_for_its_buffer_instead_of_cutting_it)
{
    // Cut to 510 characters, this path would name the folder "C:\\Keep".
    const std::string too_long = "C:\\Keep" + std::string(504, '\\');
    sim::add_directory("C:\\Keep");
    EXPECT_EQ(delete_folder(too_long.c_str()), 0);
    EXPECT_TRUE(sim::directory_exists("C:\\Keep"));
    EXPECT_EQ(sim::call_count("SHFileOperationA"), 0);
}

TEST_F(patch_test, compare_ignoring_case_folds_ascii_letters_only)
{
    EXPECT_EQ(compare_ignoring_case("kestova 3", "Kestova 3"), 0);
    EXPECT_EQ(compare_ignoring_case("ks2", "KS2"), 0);
    EXPECT_NE(compare_ignoring_case("KS2 ", "KS2"), 0);
    EXPECT_LT(compare_ignoring_case("a", "b"), 0);
}

TEST_F(patch_test, shortcut_read_and_write_round_trip_three_strings)
{
    CoInitialize(nullptr); // as the entry point does
    const char* path = "C:\\Menu\\Uninstall.lnk";
    sim::add_shortcut(path, {"%WINDIR%\\IsUninst.exe", "-f\"x\" {5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}",
                             "Remove", "C:\\Work", "icon.ico,0"});
    char target[MAX_PATH], arguments[MAX_PATH], description[MAX_PATH];
    ASSERT_GE(read_shortcut(nullptr, path, target, arguments, description), 0);
    EXPECT_STREQ(target, "%WINDIR%\\IsUninst.exe");
    EXPECT_STREQ(description, "Remove");

    ASSERT_GE(write_shortcut(target, "-y", path, description), 0);
    const auto written = sim::get_shortcut(path);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->arguments, "-y");
    EXPECT_EQ(written->target, "%WINDIR%\\IsUninst.exe");
    EXPECT_EQ(written->working_directory, "");
}

TEST_F(patch_test, shortcut_operations_fail_for_a_path_that_cannot_be_converted)
{
    CoInitialize(nullptr);
    const std::string long_path = "C:\\" + std::string(300, 'a') + ".lnk";
    char target[MAX_PATH] = "x", arguments[MAX_PATH] = "", description[MAX_PATH] = "";
    EXPECT_LT(read_shortcut(nullptr, long_path.c_str(), target, arguments, description), 0);
    EXPECT_STREQ(target, "");
    EXPECT_LT(write_shortcut("t", "a", long_path.c_str(), "d"), 0);
    EXPECT_FALSE(sim::get_shortcut(long_path).has_value());
}

TEST_F(patch_test, read_shortcut_of_a_missing_file_fails_and_leaves_the_target_empty)
{
    CoInitialize(nullptr);
    char target[MAX_PATH] = "stale", arguments[MAX_PATH] = "", description[MAX_PATH] = "";
    EXPECT_LT(read_shortcut(nullptr, "C:\\Menu\\Missing.lnk", target, arguments, description), 0);
    EXPECT_STREQ(target, "");
}

TEST_F(patch_test, file_helpers_answer_from_the_file_system)
{
    sim::add_file("C:\\Data\\five.bin", {1, 2, 3, 4, 5});
    EXPECT_EQ(get_file_size("C:\\Data\\five.bin"), 5);
    EXPECT_EQ(get_file_size("C:\\Data\\none.bin"), 0);
    EXPECT_EQ(is_read_only("C:\\Data\\five.bin"), 0);
}

TEST_F(patch_test, a_file_is_not_a_folder_a_folder_is_not_a_file_and_a_missing_path_is_neither)
{
    sim::add_file("C:\\Data\\five.bin", {1, 2, 3, 4, 5});
    sim::add_directory("C:\\Data\\Empty");
    EXPECT_TRUE(is_file("C:\\Data\\five.bin"));
    EXPECT_FALSE(is_folder("C:\\Data\\five.bin"));
    EXPECT_TRUE(is_folder("C:\\Data"));
    EXPECT_TRUE(is_folder("C:\\Data\\Empty"));
    EXPECT_FALSE(is_file("C:\\Data"));
    EXPECT_FALSE(is_file("C:\\Data\\none.bin"));
    EXPECT_FALSE(is_folder("C:\\Data\\none.bin"));
    EXPECT_FALSE(is_folder("C:\\Data\\five.bin\\inside"));
}

TEST_F(patch_test, a_path_whose_attributes_cannot_be_read_is_neither_folder_nor_file)
{
    sim::add_file("C:\\Data\\five.bin", {1, 2, 3, 4, 5});
    sim::fail_call("GetFileAttributesA", 1, ERROR_ACCESS_DENIED);
    sim::fail_call("GetFileAttributesA", 2, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(is_folder("C:\\Data"));
    EXPECT_FALSE(is_file("C:\\Data\\five.bin"));
    EXPECT_TRUE(is_folder("C:\\Data")) << "the next call answers again";
}

} // namespace
