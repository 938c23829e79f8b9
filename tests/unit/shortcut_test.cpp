#include "disc_setup.h"

using namespace platform;

namespace
{

const std::string NOT_USABLE_KS3 =
    "The \"Uninstall Kestova 3\" shortcut in the Start menu could not be changed and would start the other "
    "title's uninstaller: do not use it. Remove Kestova 3 through Add/Remove Programs, which removes it "
    "correctly.";
const std::string NOT_USABLE_KS2 =
    "The \"Uninstall Kestova 2\" shortcut in the Start menu could not be changed and would start the other "
    "title's uninstaller: do not use it. Remove Kestova 2 through Add/Remove Programs, which removes it "
    "correctly.";

class shortcut : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        CoInitialize(nullptr); // as the entry point does
    }
};

TEST_F(shortcut, only_the_38_characters_of_the_product_code_change_and_every_other_property_stays)
{
    installing_ks3 = 1;
    const std::string path = shortcut_path(ALL_USERS_PROGRAMS, "Kestova 3");
    sim::shortcut link{"%ProgramFiles%\\InstallShield\\IsUninst.exe",
                       uninstall_arguments(SHARED_PRODUCT_CODE),
                       "Uninstall Kestova 3",
                       "C:\\Games\\Kestova 3",
                       "C:\\Games\\Kestova 3\\game.ico,2",
                       0x0655, // Ctrl+Alt+U
                       7,      // SW_SHOWMINNOACTIVE
                       "..\\..\\IsUninst.exe"};
    sim::add_shortcut(path, link);
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 1);
    const auto written = sim::get_shortcut(path);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->arguments, uninstall_arguments(ALTERNATE_PRODUCT_CODE));
    EXPECT_EQ(written->target, link.target);
    EXPECT_EQ(written->description, link.description);
    EXPECT_EQ(written->working_directory, link.working_directory);
    EXPECT_EQ(written->icon_location, link.icon_location);
    EXPECT_EQ(written->hotkey, link.hotkey);
    EXPECT_EQ(written->show_command, link.show_command);
    EXPECT_EQ(written->relative_path, link.relative_path);
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
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 0);
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
    EXPECT_EQ(last_box_text(), "Failed to get start menu path\n\n" + NOT_USABLE_KS3);

    sim::set_special_folder(CSIDL_PROGRAMS, USER_PROGRAMS);
    sim::set_path_from_id_list_fails(true);
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_EQ(last_box_text(), "Failed to get start menu path from id list\n\n" + NOT_USABLE_KS3);
}

TEST_F(shortcut, no_title_being_installed_is_an_assertion)
{
    expect_fatal([] { retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE); }, "ASSERT FALSE");
}

class bad_arguments : public shortcut, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(bad_arguments, leave_the_file_unchanged_and_say_what_that_means)
{
    installing_ks2 = 1;
    const std::string path = shortcut_path(ALL_USERS_PROGRAMS, "Kestova 2");
    sim::add_shortcut(path, {"C:\\u.exe", GetParam(), "d", "C:\\w", "i.ico"});
    const std::vector<BYTE> before = *sim::file_bytes(path);
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_EQ(last_box_text(), "Error in shortcut file\n\n" + NOT_USABLE_KS2);
    EXPECT_EQ(sim::message_boxes().back().style, 0x1030u);
    EXPECT_EQ(*sim::file_bytes(path), before);
}

// No "{", a code cut short, and a first "{" that is not the code (the
// product code follows later in a quoted path).
const std::string brace_before_the_code =
    "-f\"C:\\{x}\\" + std::string(SHARED_PRODUCT_CODE) + "\\setup.exe\"";

INSTANTIATE_TEST_SUITE_P(arguments, bad_arguments,
                         ::testing::Values("-runfromtemp -removeonly", "", "-f{5F3C9A21-7B4E-4D80}",
                                           brace_before_the_code.c_str()));

TEST_F(shortcut, arguments_that_do_not_fit_or_convert_are_refused_never_cut)
{
    installing_ks3 = 1;
    const std::string path = shortcut_path(ALL_USERS_PROGRAMS, "Kestova 3");
    const std::string long_arguments = uninstall_arguments(SHARED_PRODUCT_CODE) + std::string(600, 'x');
    sim::add_shortcut(path, {"C:\\u.exe", long_arguments, "d", "C:\\w", "i.ico"});
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_EQ(last_box_text(), "FAILED: 0x8007007a\n\n" + NOT_USABLE_KS3); // ERROR_INSUFFICIENT_BUFFER
    EXPECT_EQ(sim::get_shortcut(path)->arguments, long_arguments);

    const std::string greek = uninstall_arguments(SHARED_PRODUCT_CODE) + " -dir \"C:\\Ωmega\"";
    sim::add_shortcut(path, {"C:\\u.exe", greek, "d", "C:\\w", "i.ico"});
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_EQ(last_box_text(), "FAILED: 0x80070459\n\n" + NOT_USABLE_KS3); // ERROR_NO_UNICODE_TRANSLATION
    EXPECT_EQ(sim::get_shortcut(path)->arguments, greek);
}

TEST_F(shortcut, a_shortcut_already_naming_the_new_code_is_left_alone)
{
    installing_ks3 = 1;
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", ALTERNATE_PRODUCT_CODE);
    sim::clear_journal();
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 1);
    EXPECT_TRUE(sim::journal().empty());
    EXPECT_TRUE(sim::message_boxes().empty());
}

TEST_F(shortcut, a_shortcut_that_cannot_be_saved_is_told_and_the_stage_goes_on)
{
    installing_ks3 = 1;
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
    sim::fail_call("shell_link_rewrite_arguments", 1, static_cast<long>(E_FAIL));
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_EQ(last_box_text(), "FAILED: 0x80004005\n\n" + NOT_USABLE_KS3);
    sim::lock_path(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 3"));
    EXPECT_EQ(retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_EQ(last_box_text(), "FAILED: 0x80070020\n\n" + NOT_USABLE_KS3); // ERROR_SHARING_VIOLATION
    EXPECT_EQ(shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 3")),
              uninstall_arguments(SHARED_PRODUCT_CODE));
}

} // namespace
