#include "registration.h"

#include <cctype>

using namespace platform;

namespace
{

class relocation : public patch_test
{
};

TEST_F(relocation, a_registration_moves_whole_and_back_byte_for_byte)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    const std::string folder_before = sim::dump_directory(folder_path(SHARED_PRODUCT_CODE));
    const std::string entry_before = sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));

    EXPECT_EQ(relocate_registration(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE), 1);
    expect_registration(PARKING_PRODUCT_CODE, "Kestova 2");
    expect_no_registration(SHARED_PRODUCT_CODE);
    EXPECT_EQ(sim::dump_directory(folder_path(PARKING_PRODUCT_CODE)), folder_before);

    EXPECT_EQ(relocate_registration(PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE), 1);
    expect_no_registration(PARKING_PRODUCT_CODE);
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)), entry_before);
    EXPECT_EQ(sim::dump_directory(folder_path(SHARED_PRODUCT_CODE)), folder_before);
    EXPECT_TRUE(sim::message_boxes().empty());
}

TEST_F(relocation, the_folder_is_taken_from_the_quoted_path_and_cut_at_the_first_brace_after_the_quote)
{
    // The product folder lies elsewhere than the usual root: the move follows the value.
    const std::string folder = "D:\\Other Place\\{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}";
    sim::add_file(folder + "\\setup.exe", {1});
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString",
                    "\"" + folder + "\\setup.exe\" -l0x9 {5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}");
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "LogFile", folder + "\\setup.ilg");
    EXPECT_EQ(move_install_info_folder(SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE), 1);
    EXPECT_TRUE(sim::file_exists("D:\\Other Place\\" + std::string(ALTERNATE_PRODUCT_CODE) + "\\setup.exe"));
    EXPECT_FALSE(sim::directory_exists(folder));
}

// A first "{" that is not the product code being moved: rewriting there
// would break the text (here the quoted path of the uninstaller), so
// neither the folder nor the entry moves.
class foreign_brace : public relocation, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(foreign_brace, stops_the_move_before_anything_is_written)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    const std::string value = GetParam();
    const std::string text =
        value == "UninstallString"
            ? "RunDll32 {x}.dll \"" + folder_path(SHARED_PRODUCT_CODE) + "\\setup.exe\" -l0x9"
            : "C:\\Logs\\{" + std::string(37, 'y') + "\\" + SHARED_PRODUCT_CODE + ".ilg";
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), value, text);
    const std::string before = sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
    expect_fatal([] { relocate_registration(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE); }, "ASSERT ptr");
    EXPECT_TRUE(sim::directory_exists(folder_path(SHARED_PRODUCT_CODE)));
    EXPECT_FALSE(sim::directory_exists(folder_path(PARKING_PRODUCT_CODE)));
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)), before);
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE)));
}

INSTANTIATE_TEST_SUITE_P(values, foreign_brace, ::testing::Values("UninstallString", "LogFile"));

TEST_F(relocation, the_code_is_recognised_whatever_its_letter_case_and_a_repeated_move_is_accepted)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    std::string lower = SHARED_PRODUCT_CODE;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "LogFile",
                    INFO_ROOT_PATH + lower + "\\setup.ilg");
    // The uninstall string already names the destination, as after a move
    // cut off between its rewrite and its copy.
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString",
                    uninstall_string_for(PARKING_PRODUCT_CODE));
    EXPECT_EQ(move_uninstall_entry(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE), 1);
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "LogFile"),
              log_file_for(PARKING_PRODUCT_CODE));
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "UninstallString"),
              uninstall_string_for(PARKING_PRODUCT_CODE));
}

TEST_F(relocation, the_folder_move_is_silent_and_changes_nothing_without_an_entry)
{
    sim::add_file(folder_path(SHARED_PRODUCT_CODE) + "\\setup.exe", {1});
    EXPECT_EQ(move_install_info_folder(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE), 0);
    EXPECT_TRUE(sim::directory_exists(folder_path(SHARED_PRODUCT_CODE)));
    EXPECT_TRUE(sim::message_boxes().empty());
}

// The entry is read once into a record that every check of the move takes:
// the folder move opens it once (and the registry's root once, to write it
// to disc), and what it checked is what it read.
TEST_F(relocation, a_folder_move_reads_the_entry_once)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(move_install_info_folder(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE), 1);
    EXPECT_EQ(sim::call_count("RegOpenKeyA"), 2);
    EXPECT_EQ(sim::call_count("RegQueryValueExA"), 2);
    EXPECT_EQ(sim::call_count("RegCloseKey"), 2);
    EXPECT_EQ(sim::open_handle_count(), 0);
}

TEST_F(relocation, the_folder_text_runs_from_after_the_first_quote_to_the_first_brace_after_it)
{
    const auto folder_text = [](const std::string& uninstall_string) {
        sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString",
                        uninstall_string);
        uninstall_entry entry;
        char folder[TEXT_BUFFER_SIZE] = "not touched";
        if (!read_uninstall_entry(SHARED_PRODUCT_CODE, &entry)) {
            return std::string("no entry");
        }
        const bool found = folder_text_of(entry, folder);
        EXPECT_EQ(found, folder[0] != '\0') << uninstall_string;
        return found ? std::string(folder) : std::string("none");
    };
    EXPECT_EQ(folder_text("{a} \"C:\\Info\\{b}\\{c}\\setup.exe\" -l0x9"), "C:\\Info\\{b}");
    EXPECT_EQ(folder_text("\"C:\\Info}\\x\""), "C:\\Info}");
    EXPECT_EQ(folder_text("C:\\Info\\{b}\\setup.exe"), "none");
    EXPECT_EQ(folder_text("{b} \"C:\\Info\\setup.exe\""), "none");
    // A text that fills the buffer without its end is not read whole.
    EXPECT_EQ(folder_text("\"C:\\{b}" + std::string(600, 'x')), "none");

    uninstall_entry entry;
    EXPECT_FALSE(read_uninstall_entry(ALTERNATE_PRODUCT_CODE, &entry));
}

// A failed read keeps its own last error, whatever the reads after it do.
TEST_F(relocation, the_record_keeps_each_failed_reads_last_error)
{
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "LogFile",
                    log_file_for(SHARED_PRODUCT_CODE));
    sim::fail_call("RegQueryValueExA", 1, ERROR_ACCESS_DENIED);
    SetLastError(1234);
    uninstall_entry entry;
    ASSERT_TRUE(read_uninstall_entry(SHARED_PRODUCT_CODE, &entry));
    EXPECT_EQ(entry.uninstall_string.result, ERROR_ACCESS_DENIED);
    EXPECT_EQ(entry.uninstall_string.last_error, 1234u);
    EXPECT_EQ(entry.log_file.result, ERROR_SUCCESS);
    EXPECT_EQ(std::string(entry.log_file.text), log_file_for(SHARED_PRODUCT_CODE));
    char folder[TEXT_BUFFER_SIZE];
    EXPECT_FALSE(folder_text_of(entry, folder));
}

TEST_F(relocation, a_refused_rename_returns_0_and_the_entry_still_moves)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    sim::lock_path(folder_path(SHARED_PRODUCT_CODE) + "\\data1.hdr");
    EXPECT_EQ(relocate_registration(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE), 0);
    EXPECT_TRUE(sim::directory_exists(folder_path(SHARED_PRODUCT_CODE)));
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "DisplayName"),
              "Kestova 3");
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)));
}

TEST_F(relocation, only_the_first_product_code_of_each_value_is_rewritten_and_each_value_keeps_its_type)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    const std::string twice = uninstall_string_for(SHARED_PRODUCT_CODE) + " " + SHARED_PRODUCT_CODE;
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString", twice,
                    REG_EXPAND_SZ);
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "LogFile",
                    log_file_for(SHARED_PRODUCT_CODE), REG_EXPAND_SZ);

    EXPECT_EQ(move_uninstall_entry(SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE), 1);

    const auto uninstall =
        sim::get_value(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "UninstallString");
    ASSERT_TRUE(uninstall.has_value());
    EXPECT_EQ(uninstall->type, REG_EXPAND_SZ); // still expandable
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "UninstallString"),
              uninstall_string_for(ALTERNATE_PRODUCT_CODE) + " " + SHARED_PRODUCT_CODE);
    const auto log = sim::get_value(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "LogFile");
    ASSERT_TRUE(log.has_value());
    EXPECT_EQ(log->type, REG_EXPAND_SZ);
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "LogFile"),
              log_file_for(ALTERNATE_PRODUCT_CODE));
    // Every other value and subkey arrives unchanged.
    EXPECT_EQ(sim::get_value(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "InstallLocation")->type,
              REG_EXPAND_SZ);
    EXPECT_EQ(
        sim::get_string(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE) + "\\Components", "Main"),
        "Kestova 2 files");
}

TEST_F(relocation, the_entry_is_merged_into_an_existing_destination_entry)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "DisplayName", "Leftover");
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "Comments", "kept");
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE) + "\\Old", "x", "kept too");

    move_uninstall_entry(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE);

    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "DisplayName"),
              "Kestova 2");
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "Comments"), "kept");
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE) + "\\Old", "x"),
              "kept too");
}

TEST_F(relocation, text_outside_the_ansi_code_page_survives_the_move)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    const std::string localised =
        "\xd0\x9a\xd0\xb5\xd1\x81\xd1\x82\xd0\xbe\xd0\xb2\xd0\xb0 \xe3\x82\xb2\xe3\x83\xbc\xe3\x83\xa0";
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "Comments", localised);
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE) + "\\" + localised, localised,
                    localised);
    relocate_registration(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE);
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "Comments"), localised);
    EXPECT_EQ(
        sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE) + "\\" + localised, localised),
        localised);
}

TEST_F(relocation, the_entry_move_of_a_missing_entry_is_an_assertion)
{
    EXPECT_EQ(move_install_info_folder(ALTERNATE_PRODUCT_CODE, SHARED_PRODUCT_CODE), 0);
    expect_fatal([] { move_uninstall_entry(ALTERNATE_PRODUCT_CODE, SHARED_PRODUCT_CODE); },
                 "ASSERT ret == ERROR_SUCCESS");
}

TEST_F(relocation, product_codes_must_have_38_characters)
{
    expect_fatal([] { move_install_info_folder("{short}", PARKING_PRODUCT_CODE); },
                 "ASSERT strlen (source_guid) == 38");
    expect_fatal([] { move_install_info_folder(SHARED_PRODUCT_CODE, ""); },
                 "ASSERT strlen (dest_guid) == 38");
}

struct bad_uninstall_string {
    const char* value;
    const char* message;
};

class folder_parse_failure : public patch_test, public ::testing::WithParamInterface<bad_uninstall_string>
{
};

TEST_P(folder_parse_failure, ends_with_its_message_and_moves_nothing)
{
    sim::add_file(folder_path(SHARED_PRODUCT_CODE) + "\\setup.exe", {1});
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString", GetParam().value);
    expect_fatal([] { move_install_info_folder(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE); },
                 GetParam().message);
    EXPECT_TRUE(sim::directory_exists(folder_path(SHARED_PRODUCT_CODE)));
}

INSTANTIATE_TEST_SUITE_P(
    values, folder_parse_failure,
    ::testing::Values(bad_uninstall_string{"C:\\setup.exe {5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}",
                                           "Error in uninstall string"},
                      bad_uninstall_string{"\"C:\\Program Files\\setup.exe\" -l0x9",
                                           "Error in uninstall string"},
                      bad_uninstall_string{"\"C:\\Folder}\\setup.exe\"", "Error in uninstall string"},
                      // A "{" too close to the end: a rewrite would run past the text.
                      bad_uninstall_string{"\"C:\\Info\\{5F3C}\\setup.exe\"", "Error in uninstall string"}));

TEST_F(relocation, an_unreadable_uninstall_string_shows_the_last_error_value)
{
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString",
                    "\"" + std::string(600, 'x') + "\"");
    SetLastError(87);
    expect_fatal([] { move_install_info_folder(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE); },
                 "Error when getting uninstall string (87)");
}

TEST_F(relocation, a_value_without_a_whole_product_code_is_rejected_before_anything_is_written)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "LogFile",
                    "C:\\Info\\{5F3C9A21}.ilg");
    expect_fatal([] { move_uninstall_entry(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE); }, "ASSERT ptr");
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "LogFile"),
              "C:\\Info\\{5F3C9A21}.ilg");
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString"),
              uninstall_string_for(SHARED_PRODUCT_CODE));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE)));
}

TEST_F(relocation, missing_log_file_and_failed_writes_have_their_messages)
{
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString",
                    uninstall_string_for(SHARED_PRODUCT_CODE));
    SetLastError(0);
    expect_fatal([] { move_uninstall_entry(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE); },
                 "Error when getting logfile name (0)");

    sim::reset();
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    sim::fail_call("RegSetValueExA", 1, ERROR_ACCESS_DENIED);
    expect_fatal([] { move_uninstall_entry(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE); },
                 "Failed to set uninstall string");

    sim::reset();
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    sim::fail_call("RegSetValueExA", 2, ERROR_ACCESS_DENIED);
    expect_fatal([] { move_uninstall_entry(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE); },
                 "Failed to set logfile string");
}

// A deletion of the source entry that failed half way has taken its subkeys
// with it: the copy is then the only whole entry, and undoing the move
// would delete it. The undo finishes the move instead.
TEST_F(relocation, an_undo_after_a_half_done_deletion_keeps_the_whole_copy)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    sim::fail_call("SHDeleteKeyA", 1, ERROR_ACCESS_DENIED);
    expect_fatal([] { move_uninstall_entry(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE); },
                 "Failed to delete uninstall entry " + std::string(SHARED_PRODUCT_CODE) + " (5)");
    ASSERT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)));
    ASSERT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE) + "\\Components"));

    undo_uninstall_entry_move(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE);
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE) + "\\Components", "Main"),
              "Kestova 2 files");
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "UninstallString"),
              uninstall_string_for(PARKING_PRODUCT_CODE));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)));
}

// A copy cut off half way lacks keys of its source: that undo deletes it.
TEST_F(relocation, an_undo_after_a_half_done_copy_deletes_the_copy_and_keeps_the_source)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString",
                    uninstall_string_for(PARKING_PRODUCT_CODE));
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE), "DisplayName", "Kestova 2");
    undo_uninstall_entry_move(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE);
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE)));
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "UninstallString"),
              uninstall_string_for(SHARED_PRODUCT_CODE));
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE) + "\\Components", "Main"),
              "Kestova 2 files");
}

} // namespace
