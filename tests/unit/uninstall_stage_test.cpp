#include "registration.h"

#include <algorithm>

using namespace platform;

namespace
{

const std::vector<BYTE> PATCH_BYTES = {'M', 'Z', 'p', 'a', 't', 'c', 'h'};
const char* const WAIT_TEXT = "Please wait till the uninstall is complete, then click on okay";
const char* const STILL_RUNNING_TEXT = "The uninstall is still running.\n\nPlease wait till the uninstall is "
                                       "complete, then click on Retry.\nClick on Cancel to stop waiting.";

class uninstall : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        sim::add_file("C:\\Patch\\kestova-patch.exe", PATCH_BYTES);
        std::snprintf(module_path, sizeof module_path, "c:\\patch\\kestova-patch.exe");
    }

    // A title as the install stage leaves it under the alternate code.
    static void add_redirected_title(const std::string& title)
    {
        add_title(ALTERNATE_PRODUCT_CODE, title);
        const std::string folder = folder_path(ALTERNATE_PRODUCT_CODE);
        sim::add_file(folder + "\\setup_is.exe", *sim::file_bytes(folder + "\\setup.exe"));
        sim::add_file(folder + "\\setup.exe", PATCH_BYTES);
    }

    // The installer's real uninstaller: removes the title registered under
    // the shared code, as it finds it there, unless cancelled.
    static void add_real_uninstaller(bool completes = true)
    {
        sim::add_program(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe",
                         [completes](const sim::started_program&) {
                             if (completes) {
                                 sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
                                 sim::add_file(folder_path(SHARED_PRODUCT_CODE) + "\\data1.hdr",
                                               {}); // rewritten on the way out
                             }
                             return DWORD{1000};
                         });
    }

    static std::vector<std::string> box_texts()
    {
        std::vector<std::string> texts;
        for (const auto& box : sim::message_boxes()) {
            texts.push_back(box.text);
        }
        return texts;
    }
};

TEST_F(uninstall, redirect_puts_a_copy_of_the_patch_in_place_of_the_installer)
{
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    const std::string folder = folder_path(ALTERNATE_PRODUCT_CODE);
    const auto installer = sim::file_bytes(folder + "\\setup.exe");
    EXPECT_EQ(prepare_uninstall_redirect(ALTERNATE_PRODUCT_CODE), 1);
    EXPECT_EQ(sim::file_bytes(folder + "\\setup_is.exe"), installer);
    EXPECT_EQ(sim::file_bytes(folder + "\\setup.exe"), PATCH_BYTES);
    EXPECT_TRUE(sim::message_boxes().empty());
}

TEST_F(uninstall, redirect_returns_0_silently_and_copies_nothing_when_the_rename_fails)
{
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    const std::string folder = folder_path(ALTERNATE_PRODUCT_CODE);
    sim::lock_path(folder + "\\setup.exe");
    EXPECT_EQ(prepare_uninstall_redirect(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_FALSE(sim::file_exists(folder + "\\setup_is.exe"));
    EXPECT_EQ(sim::call_count("CopyFileA"), 0);
    EXPECT_TRUE(sim::message_boxes().empty());
}

// The installer's own setup.exe would act under the shared code, on the
// other title: after a refused copy the folder keeps none, and the next
// redirect finishes the work.
TEST_F(uninstall, a_refused_copy_leaves_no_setup_exe_and_the_next_redirect_completes_it)
{
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    const std::string folder = folder_path(ALTERNATE_PRODUCT_CODE);
    const auto installer = sim::file_bytes(folder + "\\setup.exe");
    sim::fail_call("CopyFileA", 1, 112 /* ERROR_DISK_FULL */);
    EXPECT_EQ(prepare_uninstall_redirect(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_FALSE(sim::file_exists(folder + "\\setup.exe"));
    EXPECT_FALSE(sim::file_exists(folder + "\\setup.exe.new"));
    EXPECT_EQ(sim::file_bytes(folder + "\\setup_is.exe"), installer);
    EXPECT_TRUE(sim::message_boxes().empty());

    EXPECT_EQ(prepare_uninstall_redirect(ALTERNATE_PRODUCT_CODE), 1);
    EXPECT_EQ(sim::file_bytes(folder + "\\setup.exe"), PATCH_BYTES);
    EXPECT_EQ(sim::file_bytes(folder + "\\setup_is.exe"), installer);
}

// The copy goes to a temporary name and is moved over setup.exe in one
// replacing, write-through move.
TEST_F(uninstall, the_copy_is_moved_into_place_whole)
{
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    const std::string folder = folder_path(ALTERNATE_PRODUCT_CODE);
    sim::add_file(folder + "\\setup.exe.new", {'t', 'o', 'r', 'n'}); // left by a killed run
    sim::clear_journal();
    EXPECT_EQ(prepare_uninstall_redirect(ALTERNATE_PRODUCT_CODE), 1);
    EXPECT_EQ(sim::journal(),
              (std::vector<std::string>{"rename " + folder + "\\setup.exe -> " + folder + "\\setup_is.exe",
                                        "copy c:\\patch\\kestova-patch.exe -> " + folder + "\\setup.exe.new",
                                        "move " + folder + "\\setup.exe.new -> " + folder + "\\setup.exe"}));
    EXPECT_EQ(sim::file_bytes(folder + "\\setup.exe"), PATCH_BYTES);
    EXPECT_FALSE(sim::file_exists(folder + "\\setup.exe.new"));
}

TEST_F(uninstall, the_real_uninstaller_is_started_from_the_folder_cut_at_the_first_brace)
{
    const std::string folder = folder_path(SHARED_PRODUCT_CODE);
    sim::add_file(folder + "\\setup_is.exe", {1});
    sim::add_program(folder + "\\setup_is.exe", [](const sim::started_program&) { return DWORD{500}; });
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString",
                    "\"" + folder + "\\sub}dir\\setup.exe\" -x");
    EXPECT_EQ(run_real_uninstaller(SHARED_PRODUCT_CODE), 1);
    ASSERT_EQ(sim::started_programs().size(), 1u);
    EXPECT_EQ(sim::started_programs()[0].file, folder + "\\setup_is.exe");
    EXPECT_EQ(sim::started_programs()[0].parameters, "");
    EXPECT_EQ(sim::started_programs()[0].show, SW_SHOW);
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_EQ(sim::message_boxes()[0].text, WAIT_TEXT);
    EXPECT_EQ(sim::message_boxes()[0].caption, "Kestova Patch");
    EXPECT_EQ(sim::message_boxes()[0].style, 0x40u);
    // The box comes right after the start (and the record of the started
    // program), while the uninstaller still runs.
    const auto& journal = sim::journal();
    const auto start = std::find_if(journal.begin(), journal.end(),
                                    [](const std::string& line) { return line.rfind("start", 0) == 0; });
    ASSERT_NE(start, journal.end());
    const auto next = std::find_if(start + 1, journal.end(), [](const std::string& line) {
        return line.find("HKLM\\SOFTWARE\\Kestova Patch") == std::string::npos;
    });
    ASSERT_NE(next, journal.end());
    EXPECT_EQ(next->rfind("message box", 0), 0u) << *next;
}

TEST_F(uninstall, a_failed_start_warns_and_shows_no_wait_box)
{
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString",
                    uninstall_string_for(SHARED_PRODUCT_CODE));
    EXPECT_EQ(run_real_uninstaller(SHARED_PRODUCT_CODE), 0);
    EXPECT_EQ(box_texts(), std::vector<std::string>{"Failed to run setup_is.exe"});
    EXPECT_EQ(sim::message_boxes()[0].style, 0x1030u);
}

struct folder_failure {
    const char* uninstall_string; // nullptr: no value at all
    const char* message;
};

class folder_from_entry_failure : public uninstall, public ::testing::WithParamInterface<folder_failure>
{
};

TEST_P(folder_from_entry_failure, is_fatal_with_its_message)
{
    if (GetParam().uninstall_string != nullptr) {
        sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString",
                        GetParam().uninstall_string);
    } else {
        sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName", "Kestova 2");
    }
    SetLastError(2);
    expect_fatal([] { run_real_uninstaller(SHARED_PRODUCT_CODE); }, GetParam().message);
    EXPECT_TRUE(sim::started_programs().empty());
}

const std::string too_long_folder = "\"C:\\" + std::string(480, 'f') + "\\{5F3C9A21-7B4E}\\setup.exe\"";

INSTANTIATE_TEST_SUITE_P(
    values, folder_from_entry_failure,
    ::testing::Values(folder_failure{nullptr, "Error when getting uninstall string from registry (2)"},
                      folder_failure{"C:\\Info\\{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}\\setup.exe",
                                     "Error in uninstall string"},
                      folder_failure{"\"C:\\Info\\setup.exe\"", "Error in uninstall string"},
                      folder_failure{too_long_folder.c_str(), "Error in uninstall string"}));

TEST_F(uninstall, a_missing_entry_or_an_unterminated_value_is_fatal)
{
    expect_fatal([] { run_real_uninstaller(SHARED_PRODUCT_CODE); },
                 "Could not find uninstall guid key in registry");

    std::vector<BYTE> unterminated;
    const std::string text = "\"C:\\Info\\{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}\\setup.exe\"";
    for (std::size_t i = 0; i < 512; ++i) {
        unterminated.push_back(static_cast<BYTE>(i < text.size() ? text[i] : 'x'));
        unterminated.push_back(0);
    }
    sim::set_value(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString", REG_SZ,
                   unterminated);
    expect_fatal([] { run_real_uninstaller(SHARED_PRODUCT_CODE); }, "Error in uninstall string");
}

TEST_F(uninstall, purge_deletes_only_the_two_codes_cache_entries)
{
    const std::string cache = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache";
    EXPECT_EQ(purge_arp_cache(), 0);

    sim::create_key(HKEY_LOCAL_MACHINE, cache);
    EXPECT_EQ(purge_arp_cache(), 1);

    sim::set_string(HKEY_LOCAL_MACHINE, cache + "\\" + SHARED_PRODUCT_CODE, "SlowInfoCache", "a");
    sim::set_string(HKEY_LOCAL_MACHINE, cache + "\\" + ALTERNATE_PRODUCT_CODE + "\\Sub", "x", "b");
    sim::set_string(HKEY_LOCAL_MACHINE, cache + "\\" + PARKING_PRODUCT_CODE, "SlowInfoCache", "c");
    EXPECT_EQ(purge_arp_cache(), 1);
    EXPECT_EQ(sim::subkeys(HKEY_LOCAL_MACHINE, cache), std::vector<std::string>{PARKING_PRODUCT_CODE});
    EXPECT_TRUE(sim::message_boxes().empty());
}

TEST_F(uninstall, stage_removes_the_alternate_title_and_leaves_the_other_whole_under_the_shared_code)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_redirected_title("Kestova 3");
    const std::string remaining = sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
    add_real_uninstaller();
    // While the wait box is up, the title being removed stands under the
    // shared code and the remaining title is parked.
    sim::on_message_box([](const sim::message_box&) {
        EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "DisplayName"),
                  "Kestova 2");
        EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE)));
        EXPECT_TRUE(sim::file_exists(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe"));
    });

    uninstall_stage();

    EXPECT_EQ(box_texts(), std::vector<std::string>{WAIT_TEXT});
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)), remaining);
    EXPECT_FALSE(sim::file_exists(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe"));
    expect_no_registration(ALTERNATE_PRODUCT_CODE);
    expect_no_registration(PARKING_PRODUCT_CODE);
}

TEST_F(uninstall, stage_without_a_remaining_title_parks_nothing_and_removes_the_title)
{
    add_redirected_title("Kestova 2");
    add_real_uninstaller();
    uninstall_stage();
    EXPECT_EQ(box_texts(), std::vector<std::string>{WAIT_TEXT});
    expect_no_registration(SHARED_PRODUCT_CODE);
    expect_no_registration(ALTERNATE_PRODUCT_CODE);
    expect_no_registration(PARKING_PRODUCT_CODE);
}

TEST_F(uninstall, a_failed_start_leaves_both_titles_as_they_were)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_redirected_title("Kestova 3");
    const std::string before =
        sim::dump_tree(HKEY_LOCAL_MACHINE, UNINSTALL_PATH.substr(0, UNINSTALL_PATH.size() - 1)) +
        sim::dump_directory(INFO_ROOT_PATH.substr(0, INFO_ROOT_PATH.size() - 1));
    sim::force_shell_result(2);
    uninstall_stage();
    EXPECT_EQ(box_texts(), std::vector<std::string>{"Failed to run setup_is.exe"});
    const std::string after =
        sim::dump_tree(HKEY_LOCAL_MACHINE, UNINSTALL_PATH.substr(0, UNINSTALL_PATH.size() - 1)) +
        sim::dump_directory(INFO_ROOT_PATH.substr(0, INFO_ROOT_PATH.size() - 1));
    EXPECT_EQ(after, before);
}

TEST_F(uninstall, a_click_before_the_uninstaller_has_ended_is_asked_again)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_redirected_title("Kestova 3");
    // The uninstaller removes its title only at the end of a long run.
    sim::add_program(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe", [](const sim::started_program&) {
        sim::schedule(4500, [] { sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)); });
        return DWORD{5000};
    });

    sim::queue_answers({IDOK, IDRETRY, IDRETRY});

    uninstall_stage();

    EXPECT_EQ(box_texts(), (std::vector<std::string>{WAIT_TEXT, STILL_RUNNING_TEXT, STILL_RUNNING_TEXT}));
    EXPECT_EQ(sim::message_boxes()[1].style, 0x45u); // Retry and Cancel, information
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_no_registration(ALTERNATE_PRODUCT_CODE);
    expect_no_registration(PARKING_PRODUCT_CODE);
}

TEST_F(uninstall, an_uninstaller_that_never_ends_does_not_trap_the_user_and_nothing_moves_under_it)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_redirected_title("Kestova 3");
    sim::add_program(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe",
                     [](const sim::started_program&) { return INFINITE; });
    sim::queue_answers({IDOK, IDRETRY, IDCANCEL});

    uninstall_stage();

    // The uninstaller may still remove whatever stands under the shared
    // code: nothing is moved or deleted while it runs, and the user learns
    // that the next run puts things right.
    ASSERT_EQ(sim::message_boxes().size(), 4u);
    EXPECT_EQ(sim::message_boxes()[3].text,
              "The uninstall is still running, so the patch leaves the titles' registrations as they are for "
              "now.\nWhen the uninstall has ended, run kestova-patch.exe again: it puts everything right.");
    EXPECT_EQ(sim::message_boxes()[3].style, 0x1030u);
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName"),
              "Kestova 3");
    EXPECT_TRUE(sim::file_exists(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe"));
    expect_registration(PARKING_PRODUCT_CODE, "Kestova 2");
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE)));
}

TEST_F(uninstall, a_cancelled_removal_keeps_the_title_and_its_folder)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_redirected_title("Kestova 3");
    add_real_uninstaller(false);
    uninstall_stage();
    ASSERT_EQ(sim::message_boxes().size(), 2u);
    EXPECT_EQ(
        sim::message_boxes()[1].text,
        "The uninstall did not complete: the title is still registered.\nIt stays installed as before.");
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "DisplayName"),
              "Kestova 3");
    EXPECT_TRUE(sim::file_exists(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup_is.exe"));
    expect_no_registration(PARKING_PRODUCT_CODE);
}

TEST_F(uninstall, nothing_under_the_alternate_code_changes_nothing)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    sim::clear_journal();
    uninstall_stage();
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_NE(sim::message_boxes()[0].text.find(ALTERNATE_PRODUCT_CODE), std::string::npos);
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::journal().size(), 1u); // the message box only
}

// A title left parked goes back first; the run then ends with the box that
// says so, and the removal is started again by the user.
TEST_F(uninstall, a_leftover_parked_title_goes_back_to_the_shared_code_first)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    add_redirected_title("Kestova 3");
    add_real_uninstaller();
    uninstall_stage();
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_no_registration(PARKING_PRODUCT_CODE);
    expect_registration(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    EXPECT_TRUE(sim::started_programs().empty());
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_NE(sim::message_boxes()[0].text.find("interrupted"), std::string::npos);
}

TEST_F(uninstall, a_leftover_parked_title_with_the_shared_code_taken_changes_nothing)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_redirected_title("Kestova 3");
    uninstall_stage();
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_NE(sim::message_boxes()[0].text.find(PARKING_PRODUCT_CODE), std::string::npos);
    expect_registration(PARKING_PRODUCT_CODE, "Kestova 2");
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_TRUE(sim::started_programs().empty());
}

TEST_F(uninstall, a_remaining_title_that_cannot_be_parked_stops_the_stage_unchanged)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_redirected_title("Kestova 3");
    sim::lock_path(folder_path(SHARED_PRODUCT_CODE) + "\\data1.hdr");
    uninstall_stage();
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_NE(sim::message_boxes()[0].text.find("could not be moved aside"), std::string::npos);
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "DisplayName"),
              "Kestova 3");
    EXPECT_TRUE(sim::started_programs().empty());
}

} // namespace
