#include "disc_setup.h"

using namespace platform;

namespace
{

class shortcut : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        CoInitialize(nullptr); // as the entry point does
    }
};

TEST_F(shortcut, only_the_38_characters_of_the_product_code_change)
{
    installing_ks3 = 1;
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 1);
    const auto written = sim::get_shortcut(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 3"));
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->arguments, uninstall_arguments(ALTERNATE_PRODUCT_CODE));
    EXPECT_EQ(written->target, "C:\\Windows\\IsUninst.exe");
    EXPECT_EQ(written->description, "Uninstall Kestova 3");
    // The new link holds those three texts and nothing else.
    EXPECT_EQ(written->working_directory, "");
    EXPECT_EQ(written->icon_location, "");
    EXPECT_TRUE(sim::message_boxes().empty());
}

TEST_F(shortcut, the_target_stays_raw_and_title_2_wins_when_both_flags_are_set)
{
    installing_ks2 = 1;
    installing_ks3 = 1;
    sim::add_shortcut(
        shortcut_path(ALL_USERS_PROGRAMS, "Kestova 2"),
        {"%SystemRoot%\\IsUninst.exe", std::string("{") + (SHARED_PRODUCT_CODE + 1), "d", "", ""});
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
    EXPECT_EQ(retarget_uninstall_shortcut(PARKING_PRODUCT_CODE), 1);
    const auto written = sim::get_shortcut(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 2"));
    EXPECT_EQ(written->arguments, PARKING_PRODUCT_CODE);
    EXPECT_EQ(written->target, "%SystemRoot%\\IsUninst.exe");
    EXPECT_EQ(shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 3")),
              uninstall_arguments(SHARED_PRODUCT_CODE));
}

TEST_F(shortcut, the_all_users_folder_alone_is_searched_once_its_location_is_known)
{
    installing_ks3 = 1;
    add_uninstall_shortcut(USER_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
    const run_outcome outcome = run_operation([] { retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE); });
    EXPECT_TRUE(outcome.process_ended);
    EXPECT_EQ(last_box_text().rfind("FAILED: 0x8", 0), 0u) << last_box_text();
    EXPECT_EQ(shortcut_arguments(shortcut_path(USER_PROGRAMS, "Kestova 3")),
              uninstall_arguments(SHARED_PRODUCT_CODE));
}

TEST_F(shortcut, the_current_users_folder_serves_when_the_all_users_location_cannot_be_had)
{
    installing_ks3 = 1;
    sim::set_special_folder(CSIDL_COMMON_PROGRAMS, std::nullopt);
    add_uninstall_shortcut(USER_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 1);
    EXPECT_EQ(shortcut_arguments(shortcut_path(USER_PROGRAMS, "Kestova 3")),
              uninstall_arguments(ALTERNATE_PRODUCT_CODE));
}

TEST_F(shortcut, a_missing_start_menu_is_a_warning_and_result_0)
{
    installing_ks3 = 1;
    sim::set_special_folder(CSIDL_COMMON_PROGRAMS, std::nullopt);
    sim::set_special_folder(CSIDL_PROGRAMS, std::nullopt);
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_EQ(last_box_text(), "Failed to get start menu path");

    sim::set_special_folder(CSIDL_PROGRAMS, USER_PROGRAMS);
    sim::set_path_from_id_list_fails(true);
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_EQ(last_box_text(), "Failed to get start menu path from id list");
}

TEST_F(shortcut, no_title_being_installed_is_an_assertion)
{
    expect_fatal([] { retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE); }, "ASSERT FALSE");
}

class bad_arguments : public shortcut, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(bad_arguments, leave_the_file_unchanged)
{
    installing_ks2 = 1;
    const std::string path = shortcut_path(ALL_USERS_PROGRAMS, "Kestova 2");
    sim::add_shortcut(path, {"C:\\u.exe", GetParam(), "d", "C:\\w", "i.ico"});
    expect_fatal([] { retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE); }, "Error in shortcut file");
    EXPECT_EQ(sim::get_shortcut(path)->arguments, GetParam());
    EXPECT_EQ(sim::get_shortcut(path)->working_directory, "C:\\w");
}

INSTANTIATE_TEST_SUITE_P(arguments, bad_arguments,
                         ::testing::Values("-runfromtemp -removeonly", "", "-f{5F3C9A21-7B4E-4D80}"));

TEST_F(shortcut, a_shortcut_that_cannot_be_saved_is_fatal)
{
    installing_ks3 = 1;
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
    sim::fail_call("shell_link_save", 1, static_cast<long>(E_FAIL));
    expect_fatal([] { retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE); }, "FAILED: 0x80004005");
}

} // namespace
