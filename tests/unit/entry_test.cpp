#include "patch_test.h"

using namespace platform;

namespace
{

const std::string UNINSTALL = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::string INFO_ROOT = "C:\\Program Files\\InstallShield Installation Information\\";

struct run_mode_case {
    const char* command_line; // the whole command line, program name included
    const char* module_path;  // as GetModuleFileNameA reports it
    run_mode expected;
};

class run_mode_choice : public patch_test, public ::testing::WithParamInterface<run_mode_case>
{
};

TEST_P(run_mode_choice, follows_command_line_then_module_path)
{
    sim::set_command_line(GetParam().command_line);
    sim::set_module_file_name(GetParam().module_path);
    char path[512];
    std::snprintf(path, sizeof path, "%s", GetParam().module_path);
    for (char* p = path; *p; ++p) {
        if (*p >= 'A' && *p <= 'Z') {
            *p = static_cast<char>(*p - 'A' + 'a');
        }
    }
    const run_mode chosen = choose_run_mode(command_line_after_program_name(GetCommandLineA()), path);
    EXPECT_EQ(static_cast<int>(chosen), static_cast<int>(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    cases, run_mode_choice,
    ::testing::Values(
        run_mode_case{"patch.exe clean", "C:\\Patch\\patch.exe", run_mode::clean},
        run_mode_case{"patch.exe /clean", "C:\\Patch\\patch.exe", run_mode::clean},
        run_mode_case{"patch.exe -clean now", "C:\\Patch\\patch.exe", run_mode::clean},
        run_mode_case{"patch.exe cleanup", "C:\\Patch\\patch.exe", run_mode::clean},
        run_mode_case{"patch.exe CLEAN", "C:\\Patch\\patch.exe", run_mode::install_stage},
        run_mode_case{"patch.exe Clean", "C:\\Patch\\patch.exe", run_mode::install_stage},
        // The program's own name is never searched, quoted or not.
        run_mode_case{"\"C:\\clean games\\patch.exe\"", "C:\\clean games\\patch.exe",
                      run_mode::install_stage},
        run_mode_case{"C:\\cleaner\\patch.exe", "C:\\cleaner\\patch.exe", run_mode::install_stage},
        run_mode_case{"\"C:\\clean\\patch.exe\"clean", "C:\\clean\\patch.exe", run_mode::clean},
        // The command line is tested before the module path.
        run_mode_case{"setup.tmp clean", "C:\\Temp\\setup.tmp", run_mode::clean},
        run_mode_case{"SETUP.TMP", "C:\\TEMP\\SETUP.TMP", run_mode::uninstall_stage},
        run_mode_case{"c:\\x.tmp\\patch.exe", "c:\\x.tmp\\patch.exe", run_mode::uninstall_stage},
        run_mode_case{"patch.exe", "C:\\Patch\\patch.exe", run_mode::install_stage},
        // The run after a restart: its own word, even from a ".tmp" path.
        run_mode_case{"\"C:\\ProgramData\\Kestova Patch\\kestova-patch.exe\" /resume-after-restart",
                      "C:\\ProgramData\\Kestova Patch\\kestova-patch.exe", run_mode::resume},
        run_mode_case{"setup.tmp /resume-after-restart", "C:\\Temp\\setup.tmp", run_mode::resume},
        run_mode_case{"patch.exe /resume-after-restart clean", "C:\\Patch\\patch.exe", run_mode::clean}));

TEST_F(patch_test, command_line_tail_skips_the_program_name_and_the_blanks_after_it)
{
    EXPECT_STREQ(command_line_after_program_name("\"C:\\a b\\p.exe\"   clean x"), "clean x");
    EXPECT_STREQ(command_line_after_program_name("p.exe\tclean"), "clean");
    EXPECT_STREQ(command_line_after_program_name("p.exe"), "");
    EXPECT_STREQ(command_line_after_program_name("\"unterminated clean"), "");
    EXPECT_STREQ(command_line_after_program_name(""), "");
    EXPECT_STREQ(command_line_after_program_name(nullptr), "");
}

// Typed in a console without quotes, the program's path may hold blanks;
// its name ends where the module's own file name does, so a folder named
// "myclean" after a blank is never taken for the word "clean".
TEST_F(patch_test, an_unquoted_program_name_with_blanks_ends_at_the_modules_own_file_name)
{
    const char* module = "c:\\games and co\\myclean\\kestova-patch.exe";
    EXPECT_STREQ(command_line_after_program_name("C:\\Games and Co\\myclean\\kestova-patch.exe", module), "");
    EXPECT_STREQ(command_line_after_program_name("C:\\Games and Co\\myclean\\Kestova-Patch  clean", module),
                 "clean");
    EXPECT_STREQ(command_line_after_program_name("kestova-patch.exe /resume-after-restart", module),
                 "/resume-after-restart");
    // A name that is not the module's falls back to the first blank.
    EXPECT_STREQ(command_line_after_program_name("other.exe and more", module), "and more");

    sim::set_module_file_name("C:\\Games and Co\\myclean\\kestova-patch.exe");
    sim::set_command_line("C:\\Games and Co\\myclean\\kestova-patch.exe");
    record_module_path();
    EXPECT_EQ(choose_run_mode(command_line_after_program_name(GetCommandLineA()), module_path),
              run_mode::install_stage);
}

void add_registration(const char* code)
{
    sim::add_file(INFO_ROOT + code + "\\setup.exe", {'M', 'Z'});
    sim::set_string(HKEY_LOCAL_MACHINE, UNINSTALL + code, "DisplayName", "Kestova 2");
    sim::set_string(HKEY_LOCAL_MACHINE, UNINSTALL + code + "\\Extra", "", "x");
}

int run_patch()
{
    return sim::run_process([] { return patch_main(); });
}

TEST_F(patch_test, clean_mode_deletes_every_registration_and_the_publisher_key)
{
    for (const char* code : {SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE}) {
        add_registration(code);
    }
    const std::string other = UNINSTALL + "{11111111-2222-3333-4444-555555555555}";
    sim::set_string(HKEY_LOCAL_MACHINE, other, "DisplayName", "Other program");
    sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenmoor\\Kestova 3", "Path", "C:\\Games");
    sim::set_string(HKEY_LOCAL_MACHINE,
                    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache\\" +
                        std::string(SHARED_PRODUCT_CODE),
                    "SlowInfoCache", "x");
    sim::add_file("C:\\Games\\Kestova 3\\game.exe", {1});
    sim::set_command_line("\"C:\\Patch\\kestova-patch.exe\" clean");

    EXPECT_EQ(run_patch(), 0);

    for (const char* code : {SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE}) {
        EXPECT_FALSE(sim::directory_exists(INFO_ROOT + code)) << code;
        EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, UNINSTALL + code)) << code;
    }
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenmoor"));
    EXPECT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, other));
    EXPECT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App "
                                                    "Management\\ARPCache\\" +
                                                        std::string(SHARED_PRODUCT_CODE)));
    EXPECT_TRUE(sim::file_exists("C:\\Games\\Kestova 3\\game.exe"));
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_EQ(sim::message_boxes()[0].text, "CLEANED OKAY");
    EXPECT_EQ(sim::message_boxes()[0].caption, "");
    EXPECT_EQ(sim::message_boxes()[0].style, 0x40u);
}

TEST_F(patch_test, clean_mode_on_an_empty_machine_still_reports_cleaned)
{
    sim::create_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
    sim::set_command_line("patch.exe clean");
    EXPECT_EQ(run_patch(), 0);
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_EQ(sim::message_boxes()[0].text, "CLEANED OKAY");
}

// Clean mode whose n-th RegOpenKeyA fails, for the first n whose run ends
// with box (the look at the registrations for the log opens keys too,
// before clean mode does). False when no n up to 60 does.
bool clean_fails_at_an_open(const std::function<void()>& set_up, const std::string& box)
{
    for (int n = 1; n <= 60; ++n) {
        sim::reset();
        reset_process_state();
        set_up();
        sim::set_command_line("patch.exe clean");
        sim::fail_call("RegOpenKeyA", n, ERROR_ACCESS_DENIED);
        run_patch();
        if (last_box_text() == box) {
            return true;
        }
    }
    return false;
}

TEST_F(patch_test, clean_mode_stops_when_the_uninstall_key_cannot_be_opened_after_deleting_the_folders)
{
    ASSERT_TRUE(clean_fails_at_an_open(
        [] {
            add_registration(SHARED_PRODUCT_CODE);
            sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenmoor", "x", "y");
        },
        "FAILED TO GET REGISTRY UNINSTALL DIRECTORY"));
    EXPECT_FALSE(sim::directory_exists(INFO_ROOT + SHARED_PRODUCT_CODE));
    EXPECT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, UNINSTALL + SHARED_PRODUCT_CODE));
    EXPECT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenmoor"));
}

TEST_F(patch_test, clean_mode_stops_when_software_cannot_be_opened_after_deleting_the_entries)
{
    ASSERT_TRUE(clean_fails_at_an_open(
        [] {
            add_registration(ALTERNATE_PRODUCT_CODE);
            sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenmoor", "x", "y");
        },
        "FAILED TO GET REGISTRY QUENMOOR DIRECTORY"));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, UNINSTALL + ALTERNATE_PRODUCT_CODE));
    EXPECT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenmoor"));
}

TEST_F(patch_test, module_path_is_lower_cased_ascii_only)
{
    sim::set_module_file_name("C:\\TEMP\\Caf\xc3\xa9\\SETUP.TMP");
    sim::set_command_line("SETUP.TMP");
    run_patch();
    EXPECT_EQ(std::string(module_path).substr(0, 11), "c:\\temp\\caf");
    EXPECT_EQ(std::string(module_path).substr(std::string(module_path).size() - 9), "setup.tmp");
}

} // namespace
