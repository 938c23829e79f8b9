// States that the repair at the start of every run must put right whatever
// their cause: a step that failed (never repeated in one process), codes
// written in lower case, product folders that the entries' texts do not
// name literally, leftovers that would block a move, a torn redirection
// copy, a power cut.
#include "whole_run_test.h"

#include <algorithm>
#include <cctype>

using namespace platform;

namespace
{

using namespace stage_scenarios;

class put_right : public whole_run_test
{
  protected:
    static int boxes_starting_with(const std::string& prefix)
    {
        const auto& boxes = sim::message_boxes();
        return static_cast<int>(std::count_if(boxes.begin(), boxes.end(), [&](const sim::message_box& box) {
            return box.text.compare(0, prefix.size(), prefix) == 0;
        }));
    }

    // Both titles whole: the first under the shared code with its own
    // uninstaller, the new one under the alternate code redirected.
    static void expect_both_whole(const std::string& first, const std::string& second)
    {
        EXPECT_EQ(registration_fault(first, SHARED_PRODUCT_CODE), "");
        EXPECT_EQ(registration_fault(second, ALTERNATE_PRODUCT_CODE), "");
        EXPECT_EQ(codes_holding(first), std::vector<std::string>{SHARED_PRODUCT_CODE});
        EXPECT_EQ(codes_holding(second), std::vector<std::string>{ALTERNATE_PRODUCT_CODE});
        expect_no_registration(PARKING_PRODUCT_CODE);
    }
};

std::string lower(std::string text)
{
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The disc's setup registers Kestova 3 and, before it signals, leaves a
// file of its product folder open (a virus scan of the new setup.exe), so
// the first move of the swap is refused.
void add_disc_whose_title_folder_stays_open()
{
    add_cd_drive("D:\\", "Kestova 3");
    sim::add_file("D:\\setup.exe", setup_exe_image(STAMP_2004));
    sim::add_program("D:\\setup.exe", [](const sim::started_program&) {
        add_title(SHARED_PRODUCT_CODE, "Kestova 3");
        add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
        sim::lock_path(folder_path(SHARED_PRODUCT_CODE) + "\\data1.hdr");
        sim::create_mutex(SETUP_MUTEX_NAME);
        return DWORD{3000};
    });
}

// ---------------------------------------------------------------------------
// A failed step is not repeated.

TEST_F(put_right, a_refused_first_move_of_the_swap_shows_one_box_and_the_next_run_finishes_the_swap)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_disc_whose_title_folder_stays_open();
    sim::queue_answers({IDYES});
    start();
    EXPECT_EQ(boxes_starting_with("Could not move the product folder"), 1);
    EXPECT_NE(last_box_text().find(PARKING_PRODUCT_CODE), std::string::npos) << last_box_text();
    // The title stays parked, so the next logon must still put it back.
    EXPECT_TRUE(sim::get_value(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch"));

    sim::lock_path(folder_path(SHARED_PRODUCT_CODE) + "\\data1.hdr", false);
    sim::let_time_pass(60 * 1000);
    sim::remove_mutex(SETUP_MUTEX_NAME);
    start();
    expect_both_whole("Kestova 2", "Kestova 3");
    EXPECT_FALSE(sim::get_value(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch"));
}

// The step that failed was noted with the codes another module holds (here
// a copy of each text): the repair knows it by its codes' text and does not
// take it again.
TEST_F(put_right, a_failed_step_noted_with_another_modules_codes_is_not_taken_again)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    sim::lock_path(folder_path(SHARED_PRODUCT_CODE) + "\\data1.hdr");
    char shared[] = "{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}";
    char alternate[] = "{C41E7D08-93A2-4F6B-B85D-61F09E2A7C34}";
    ASSERT_NE(static_cast<const char*>(shared), SHARED_PRODUCT_CODE);
    const run_outcome outcome = run_operation([&] {
        reset_reconciliation();
        reconcile_after_fatal_error(shared, alternate);
    });
    EXPECT_FALSE(outcome.process_ended) << last_box_text();
    EXPECT_EQ(boxes_starting_with("Could not move the product folder"), 0);
    EXPECT_EQ(codes_holding("Kestova 3"), std::vector<std::string>{SHARED_PRODUCT_CODE});
    EXPECT_EQ(codes_holding("Kestova 2"), std::vector<std::string>{PARKING_PRODUCT_CODE});
    EXPECT_NE(last_box_text().find(PARKING_PRODUCT_CODE), std::string::npos);
}

// ---------------------------------------------------------------------------
// Product codes in lower case.

TEST_F(put_right, codes_in_lower_case_in_the_new_titles_texts_are_recognised)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
    const std::string entry = entry_path(SHARED_PRODUCT_CODE);
    sim::set_string(HKEY_LOCAL_MACHINE, entry, "UninstallString",
                    "\"" + INFO_ROOT_PATH + lower(SHARED_PRODUCT_CODE) +
                        "\\setup.exe\" -runfromtemp -l0x0009 -removeonly");
    sim::set_string(HKEY_LOCAL_MACHINE, entry, "LogFile",
                    INFO_ROOT_PATH + lower(SHARED_PRODUCT_CODE) + "\\setup.ilg");
    start();
    EXPECT_EQ(codes_holding("Kestova 2"), std::vector<std::string>{SHARED_PRODUCT_CODE});
    EXPECT_EQ(codes_holding("Kestova 3"), std::vector<std::string>{ALTERNATE_PRODUCT_CODE});
    expect_no_registration(PARKING_PRODUCT_CODE);
    EXPECT_EQ(boxes_starting_with("An earlier run of the patch was interrupted."), 1) << last_box_text();
}

// ---------------------------------------------------------------------------
// Product folders that the entry's text does not name literally.

const std::string EXPANDABLE_ROOT = "%ProgramFiles%\\InstallShield Installation Information\\";

// A title whose setup wrote its texts through "%ProgramFiles%" (REG_EXPAND_SZ).
void add_expandable_title(const std::string& code, const std::string& title)
{
    add_title(code, title);
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(code), "UninstallString",
                    "\"" + EXPANDABLE_ROOT + code + "\\setup.exe\" -runfromtemp -l0x0009 -removeonly",
                    REG_EXPAND_SZ);
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(code), "LogFile", EXPANDABLE_ROOT + code + "\\setup.ilg",
                    REG_EXPAND_SZ);
}

// The title stands whole under code with its texts still expandable.
std::string expandable_fault(const std::string& title, const std::string& code)
{
    const auto uninstall = sim::get_value(HKEY_LOCAL_MACHINE, entry_path(code), "UninstallString");
    if (sim::get_string(HKEY_LOCAL_MACHINE, entry_path(code), "DisplayName") != title || !uninstall) {
        return "no entry";
    }
    if (uninstall->type != REG_EXPAND_SZ ||
        sim::get_string(HKEY_LOCAL_MACHINE, entry_path(code), "UninstallString")
                ->find(EXPANDABLE_ROOT + code) != 1) {
        return "its uninstall string changed beyond its code";
    }
    if (sim::file_bytes(folder_path(code) + "\\data1.hdr") != std::vector<BYTE>{1, 2, 3}) {
        return "its folder is missing";
    }
    return "";
}

TEST_F(put_right, texts_naming_the_folder_through_program_files_swap_whole)
{
    add_expandable_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_cd_drive("D:\\", "Kestova 3");
    sim::add_file("D:\\setup.exe", setup_exe_image(STAMP_2004));
    sim::add_program("D:\\setup.exe", [](const sim::started_program&) {
        add_expandable_title(SHARED_PRODUCT_CODE, "Kestova 3");
        add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
        sim::create_mutex(SETUP_MUTEX_NAME);
        return DWORD{3000};
    });
    sim::queue_answers({IDYES});
    start();
    EXPECT_EQ(expandable_fault("Kestova 2", SHARED_PRODUCT_CODE), "");
    EXPECT_EQ(expandable_fault("Kestova 3", ALTERNATE_PRODUCT_CODE), "");
    EXPECT_EQ(sim::file_bytes(folder_path(SHARED_PRODUCT_CODE) + "\\setup.exe"), INSTALLER_BYTES);
    EXPECT_EQ(sim::file_bytes(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe"), PATCH_BYTES);
    EXPECT_EQ(sim::file_bytes(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup_is.exe"), INSTALLER_BYTES);
    expect_no_registration(PARKING_PRODUCT_CODE);
    EXPECT_EQ(sim::message_boxes().size(), 1u) << last_box_text();
}

// A text of 260 characters or more that names the folder under the shared
// code through a longer path: the folder moves with its entry.
TEST_F(put_right, a_folder_named_through_a_path_longer_than_max_path_moves_with_its_entry)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    std::string detour;
    for (int i = 0; i < 6; ++i) {
        detour += "..\\InstallShield Installation Information\\";
    }
    const std::string long_folder = INFO_ROOT_PATH + detour + SHARED_PRODUCT_CODE;
    ASSERT_GE(long_folder.size(), 260u);
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString",
                    "\"" + long_folder + "\\setup.exe\" -l0x9");
    const run_outcome outcome =
        run_operation([] { relocate_whole_registration(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE); });
    EXPECT_FALSE(outcome.process_ended) << last_box_text();
    EXPECT_TRUE(sim::file_exists(folder_path(PARKING_PRODUCT_CODE) + "\\data1.hdr"));
    EXPECT_FALSE(sim::directory_exists(folder_path(SHARED_PRODUCT_CODE)));
    EXPECT_EQ(codes_holding("Kestova 2"), std::vector<std::string>{PARKING_PRODUCT_CODE});
}

// Where the system cannot tell whether the folder is there (an error other
// than "not found"), nothing moves: the run says so and stops.
TEST_F(put_right, a_folder_that_cannot_be_found_for_sure_stops_the_run_before_any_change)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    sim::fail_call("GetFileAttributesA", 1, ERROR_ACCESS_DENIED);
    const std::string before = sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE") + files_but_log("C:\\");
    sim::clear_journal();
    EXPECT_EQ(put_right_interrupted_run(), 1);
    EXPECT_EQ(last_box_text(),
              "The product folder of the title under " + std::string(PARKING_PRODUCT_CODE) +
                  " cannot be found for sure (" + folder_path(PARKING_PRODUCT_CODE) +
                  ", error 5).\nNothing was changed. Make sure that folder can be reached, then "
                  "run the patch again.");
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE") + files_but_log("C:\\"), before);
    EXPECT_EQ(sim::journal(), std::vector<std::string>{"message box " + last_box_text()});
}

// ---------------------------------------------------------------------------
// Leftover folders.

TEST_F(put_right, an_empty_folder_left_under_the_alternate_code_blocks_no_swap)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 2", SHARED_PRODUCT_CODE);
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::add_directory(folder_path(ALTERNATE_PRODUCT_CODE));
    sim::queue_answers({IDYES});
    start();
    expect_both_whole("Kestova 2", "Kestova 3");
    EXPECT_EQ(sim::message_boxes().size(), 1u) << last_box_text();
}

// Only an empty folder goes: one that holds a file is nobody's to delete.
TEST_F(put_right, empty_folders_without_an_entry_go_and_a_folder_holding_a_file_stays)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    sim::add_directory(folder_path(PARKING_PRODUCT_CODE));
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\notes.txt", {1});
    EXPECT_EQ(put_right_interrupted_run(), 0);
    EXPECT_FALSE(sim::directory_exists(folder_path(PARKING_PRODUCT_CODE)));
    EXPECT_TRUE(sim::file_exists(folder_path(ALTERNATE_PRODUCT_CODE) + "\\notes.txt"));
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_TRUE(sim::message_boxes().empty());
}

// ---------------------------------------------------------------------------
// The redirection copy.

// A copy cut off by a kill (or a full disc) is not this program: the next
// run redirects the title anew.
TEST_F(put_right, a_torn_copy_of_the_patch_counts_as_no_redirection_and_is_replaced)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_redirected_title_3();
    const std::string installer = folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe";
    sim::add_file(installer, {'M', 'Z', 'p'});
    start();
    EXPECT_EQ(sim::file_bytes(installer), PATCH_BYTES);
    expect_both_whole("Kestova 2", "Kestova 3");
    EXPECT_EQ(boxes_starting_with("An earlier run of the patch was interrupted."), 1) << last_box_text();
}

// The copy fails at the end of a swap: the user is told not to remove the
// new title before the next run, and that run redirects it.
TEST_F(put_right, a_failed_copy_is_reported_by_title_and_redirected_by_the_next_run)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});
    sim::fail_call("MoveFileExW", 1, 112); // ERROR_DISK_FULL
    start();
    EXPECT_EQ(last_box_text(),
              "The uninstaller of Kestova 3 (under " + std::string(ALTERNATE_PRODUCT_CODE) +
                  ") could not be redirected through the patch.\nBoth titles are installed. Do "
                  "not remove Kestova 3 until kestova-patch.exe has run again: its next run "
                  "redirects it.");
    EXPECT_FALSE(sim::file_exists(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe"));
    EXPECT_FALSE(sim::file_exists(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe.new"));

    sim::let_time_pass(60 * 1000);
    sim::remove_mutex(SETUP_MUTEX_NAME);
    sim::end_all_programs();
    start();
    expect_both_whole("Kestova 2", "Kestova 3");
}

} // namespace
