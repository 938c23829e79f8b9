// States that an interrupted run leaves, each put right by the next run;
// the one copy at a time; the run after a restart.
#include "whole_run_test.h"

using namespace platform;

namespace
{

using namespace stage_scenarios;

class interruption : public whole_run_test
{
  protected:
    static std::string only_box()
    {
        EXPECT_EQ(sim::message_boxes().size(), 1u) << last_box_text();
        return last_box_text();
    }
};

TEST_F(interruption, a_second_copy_says_so_and_changes_nothing)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_title(PARKING_PRODUCT_CODE, "Kestova 3");
    sim::create_mutex(RUN_MUTEX_NAME); // the first copy, still at work
    const std::string before = sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE");
    sim::clear_journal();
    start("C:\\Patch\\kestova-patch.exe");
    EXPECT_EQ(only_box(), "Kestova Patch is already running.\nWait until it has finished.");
    EXPECT_EQ(sim::message_boxes()[0].caption, "");
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE"), before);
    EXPECT_EQ(sim::journal(), std::vector<std::string>{"message box " + last_box_text()});
}

TEST_F(interruption, the_run_mutex_is_given_back_at_the_end_and_after_a_fatal_error)
{
    start("C:\\Patch\\kestova-patch.exe"); // nothing installed: a fatal error
    EXPECT_EQ(only_box(), "Neither 'Kestova 2' or 'Kestova 3' are currently installed");
    sim::create_key(HKEY_LOCAL_MACHINE, UNINSTALL_PATH);
    start("C:\\Patch\\kestova-patch.exe", "clean");
    EXPECT_EQ(last_box_text(), "CLEANED OKAY");
    start("C:\\Patch\\kestova-patch.exe", "clean");
    EXPECT_EQ(last_box_text(), "CLEANED OKAY");
    EXPECT_EQ(sim::open_handle_count(), 0);
}

// While the disc's setup runs, a restart must bring the patch back: the
// RunOnce entry names a lasting copy with its own command line.
TEST_F(interruption, while_the_setup_runs_a_run_once_entry_names_a_lasting_copy)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    std::optional<std::string> during;
    sim::add_program("D:\\setup.exe", [&](const sim::started_program&) {
        during = sim::get_string(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch");
        EXPECT_EQ(sim::file_bytes(LASTING_COPY), PATCH_BYTES);
        add_title(SHARED_PRODUCT_CODE, "Kestova 3");
        sim::create_mutex(SETUP_MUTEX_NAME);
        sim::schedule(SETUP_FINISH_MS, [] { sim::remove_mutex(SETUP_MUTEX_NAME); });
        return SETUP_FINISH_MS;
    });
    start("C:\\Patch\\kestova-patch.exe");
    EXPECT_EQ(during, "\"" + LASTING_COPY + "\" /resume-after-restart");
    EXPECT_FALSE(sim::get_value(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch"));
    // The copy goes; the folder stays with the log in it.
    EXPECT_FALSE(sim::file_exists(LASTING_COPY));
    EXPECT_EQ(sim::list_directory("C:\\ProgramData\\Kestova Patch"),
              std::vector<std::string>{"kestova-patch.log"});
    expect_registration(ALTERNATE_PRODUCT_CODE, "Kestova 3");
}

// The run after the restart finishes the swap and starts nothing; the
// system deleted the entry before starting it, and it arranges no other.
TEST_F(interruption, the_run_after_a_restart_only_finishes_the_swap)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::add_file(LASTING_COPY, PATCH_BYTES);
    start(LASTING_COPY, "/resume-after-restart");
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_registration(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    EXPECT_EQ(registration_fault("Kestova 3", ALTERNATE_PRODUCT_CODE), "");
    expect_no_registration(PARKING_PRODUCT_CODE);
    EXPECT_TRUE(sim::started_programs().empty());
    EXPECT_FALSE(sim::get_value(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch"));
    EXPECT_NE(only_box().find("Kestova 3 is registered under " + std::string(ALTERNATE_PRODUCT_CODE)),
              std::string::npos);

    // A later run on the whole machine shows nothing of the repair and
    // deletes the copy the resumed run could not.
    sim::queue_answers({IDNO});
    start("C:\\Patch\\kestova-patch.exe");
    EXPECT_EQ(last_box_text(), "Both titles are already installed (under " +
                                   std::string(SHARED_PRODUCT_CODE) + " and " + ALTERNATE_PRODUCT_CODE +
                                   ").\nNothing was changed.");
    EXPECT_FALSE(sim::file_exists(LASTING_COPY));
}

TEST_F(interruption, an_uninstall_stage_cut_off_before_the_removal_puts_both_back)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    sim::add_file(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe", INSTALLER_BYTES);
    sim::add_file(folder_path(SHARED_PRODUCT_CODE) + "\\setup.exe", PATCH_BYTES);
    start("C:\\Temp\\_is4f2a\\setup.tmp");
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_registration(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    EXPECT_EQ(registration_fault("Kestova 3", ALTERNATE_PRODUCT_CODE), "");
    expect_no_registration(PARKING_PRODUCT_CODE);
    EXPECT_TRUE(sim::started_programs().empty());
}

// The uninstaller had removed its title and left its folder: the folder
// goes, so that the parked title's move back can succeed.
TEST_F(interruption, a_leftover_folder_of_a_removed_title_is_deleted_and_the_parked_title_returns)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    sim::add_file(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe", INSTALLER_BYTES);
    sim::add_file(folder_path(SHARED_PRODUCT_CODE) + "\\data1.hdr", {9});
    start("C:\\Patch\\kestova-patch.exe");
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::file_bytes(folder_path(SHARED_PRODUCT_CODE) + "\\data1.hdr"),
              (std::vector<BYTE>{1, 2, 3}));
    EXPECT_FALSE(sim::file_exists(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe"));
    expect_no_registration(PARKING_PRODUCT_CODE);
    EXPECT_NE(only_box().find("removed title had left behind was deleted"), std::string::npos);
}

// A folder under the shared code with no entry, no parked title and no
// sign of the patch is not the patch's to delete.
TEST_F(interruption, an_unknown_folder_under_the_shared_code_is_left_alone)
{
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup_is.exe", INSTALLER_BYTES);
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe", PATCH_BYTES);
    sim::add_file(folder_path(SHARED_PRODUCT_CODE) + "\\setup.exe", INSTALLER_BYTES);
    std::snprintf(module_path, sizeof module_path, "c:\\patch\\kestova-patch.exe");
    EXPECT_EQ(put_right_interrupted_run(), 0);
    EXPECT_TRUE(sim::file_exists(folder_path(SHARED_PRODUCT_CODE) + "\\setup.exe"));
    EXPECT_TRUE(sim::message_boxes().empty());
}

// Killed after the texts were rewritten and before the copy was complete:
// the copy is finished from the source.
TEST_F(interruption, an_entry_move_cut_off_is_finished_from_its_source)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "UninstallString",
                    uninstall_string_for(SHARED_PRODUCT_CODE));
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "LogFile",
                    log_file_for(SHARED_PRODUCT_CODE));
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName", "Kestova 2");
    start("C:\\Patch\\kestova-patch.exe");
    // The folder had not moved yet: it joins its entry.
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "Publisher"), "Quenmoor");
    expect_no_registration(PARKING_PRODUCT_CODE);
}

// The subtree copy's fatal error ends the process with the source keys of
// its walk open; the system closes them with the process.
class interruption_with_fatal_copy : public interruption
{
  protected:
    void TearDown() override {}
};

// A copy that fails every time (here: every key creation) is undone, not
// repeated: the title stays whole where it was, registered once.
TEST_F(interruption_with_fatal_copy, a_move_that_fails_every_time_is_undone)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    for (int occurrence = 1; occurrence <= 40; ++occurrence) {
        sim::fail_call("RegCreateKeyExW", occurrence, ERROR_ACCESS_DENIED);
    }
    start("C:\\Patch\\kestova-patch.exe");
    EXPECT_EQ(codes_holding("Kestova 2"), std::vector<std::string>{SHARED_PRODUCT_CODE});
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_no_registration(PARKING_PRODUCT_CODE);
    EXPECT_TRUE(sim::started_programs().empty());
}

} // namespace
