#include "disc_setup.h"

#include <algorithm>
#include <cctype>

using namespace platform;

namespace
{

const std::vector<BYTE> PATCH_BYTES = {'M', 'Z', 'p', 'a', 't', 'c', 'h'};
const std::string ARP_CACHE = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache";
const std::string UNINSTALL_KEY_PATH = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const std::string INFO_ROOT = "C:\\Program Files\\InstallShield Installation Information";
const std::string RUN_ONCE = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

class install : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        sim::add_file("C:\\Patch\\kestova-patch.exe", PATCH_BYTES);
        std::snprintf(module_path, sizeof module_path, "c:\\patch\\kestova-patch.exe");
        sim::set_dxdiag_available(true);
        sim::set_dxdiag_version(9, 0, "c");
        CoInitialize(nullptr);                         // as the entry point does
        sim::create_key(HKEY_LOCAL_MACHINE, RUN_ONCE); // as on every Windows
        for (const char* code : {SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE}) {
            sim::set_string(HKEY_LOCAL_MACHINE, ARP_CACHE + "\\" + code, "SlowInfoCache", "cached");
        }
    }

    // Everything a run could touch, for "changed nothing" comparisons.
    static std::string machine_state()
    {
        return sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE") + sim::dump_directory(INFO_ROOT) +
               sim::dump_directory(ALL_USERS_PROGRAMS);
    }

    // The first journal line that starts with prefix, compared without
    // regard to case (paths are), or the journal's size.
    static std::size_t journal_index(const std::string& prefix)
    {
        const auto& journal = sim::journal();
        const auto starts_with = [&](const std::string& line) {
            if (line.size() < prefix.size()) {
                return false;
            }
            for (std::size_t i = 0; i < prefix.size(); ++i) {
                if (std::tolower(static_cast<unsigned char>(line[i])) !=
                    std::tolower(static_cast<unsigned char>(prefix[i]))) {
                    return false;
                }
            }
            return true;
        };
        return static_cast<std::size_t>(std::find_if(journal.begin(), journal.end(), starts_with) -
                                        journal.begin());
    }

    static void expect_redirected(const std::string& code)
    {
        EXPECT_EQ(sim::file_bytes(folder_path(code) + "\\setup.exe"), PATCH_BYTES);
        EXPECT_EQ(sim::file_bytes(folder_path(code) + "\\setup_is.exe"),
                  (std::vector<BYTE>{'M', 'Z', 'i', 's'}));
    }
};

TEST_F(install, title_2_installed_gets_title_3_beside_it_under_the_alternate_code)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 2", SHARED_PRODUCT_CODE);
    const std::string title_2_entry = sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});

    install_stage();

    EXPECT_EQ(sim::message_boxes().size(), 1u);
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)), title_2_entry);
    expect_registration(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    expect_redirected(ALTERNATE_PRODUCT_CODE);
    expect_no_registration(PARKING_PRODUCT_CODE);
    EXPECT_EQ(shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 3")),
              uninstall_arguments(ALTERNATE_PRODUCT_CODE));
    EXPECT_EQ(shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 2")),
              uninstall_arguments(SHARED_PRODUCT_CODE));
    EXPECT_EQ(sim::subkeys(HKEY_LOCAL_MACHINE, ARP_CACHE), std::vector<std::string>{PARKING_PRODUCT_CODE});

    // The shortcut is retargeted before the parked title moves back; the
    // redirection follows, and the cache purge comes last.
    const std::size_t shortcut_saved = journal_index("save shortcut");
    const std::size_t parked_back = journal_index("rename " + folder_path(PARKING_PRODUCT_CODE));
    const std::size_t redirected =
        journal_index("copy c:\\patch\\kestova-patch.exe -> " + folder_path(ALTERNATE_PRODUCT_CODE));
    const std::size_t purged = journal_index("delete key HKLM\\" + ARP_CACHE);
    EXPECT_LT(shortcut_saved, parked_back);
    EXPECT_LT(parked_back, redirected);
    EXPECT_LT(redirected, purged);
    EXPECT_LT(purged, sim::journal().size());
    EXPECT_LT(shortcut_saved, sim::journal().size());
}

TEST_F(install, title_3_installed_gets_title_2_from_its_disc)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    add_title_disc("E:\\", "ks2", "Kestova 2", STAMP_2003);
    sim::queue_answers({IDYES});

    install_stage();

    expect_registration(SHARED_PRODUCT_CODE, "Kestova 3");
    expect_registration(ALTERNATE_PRODUCT_CODE, "Kestova 2");
    expect_redirected(ALTERNATE_PRODUCT_CODE);
    EXPECT_EQ(shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 2")),
              uninstall_arguments(ALTERNATE_PRODUCT_CODE));
}

TEST_F(install, a_title_under_the_alternate_code_only_runs_the_disc_step)
{
    // As an earlier run left it: its removal goes through the patch.
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup_is.exe", {'M', 'Z', 'i', 's'});
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe", PATCH_BYTES);
    const std::string alternate = sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE));
    add_title_disc("D:\\", "KS2", "Kestova 2");
    sim::queue_answers({IDYES});

    install_stage();

    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE)), alternate);
    EXPECT_EQ(shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 2")),
              uninstall_arguments(SHARED_PRODUCT_CODE));
    EXPECT_FALSE(sim::file_exists(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe"));
    EXPECT_EQ(sim::subkeys(HKEY_LOCAL_MACHINE, ARP_CACHE).size(), 3u);
}

// Each way the disc step can fail ends with the installed title back where
// it was, byte for byte, and nothing else touched.
struct disc_failure {
    const char* name;
    void (*arrange)();
};

class failed_disc_step : public install, public ::testing::WithParamInterface<disc_failure>
{
};

TEST_P(failed_disc_step, puts_the_parked_title_back_as_it_was)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 2", SHARED_PRODUCT_CODE);
    GetParam().arrange();
    const std::string before = machine_state();

    const run_outcome outcome = run_operation([] { install_stage(); });

    EXPECT_FALSE(outcome.process_ended) << last_box_text();
    EXPECT_EQ(machine_state(), before);
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_no_registration(PARKING_PRODUCT_CODE);
}

INSTANTIATE_TEST_SUITE_P(
    cases, failed_disc_step,
    ::testing::Values(disc_failure{"no_disc", [] {}},
                      disc_failure{"declined",
                                   [] {
                                       add_title_disc("D:\\", "Kestova 3", "Kestova 3");
                                       sim::queue_answers({IDNO});
                                   }},
                      disc_failure{"needs_no_patch",
                                   [] {
                                       add_title_disc("D:\\", "Kestova 3", "Kestova 3", 0x12345678);
                                       sim::queue_answers({IDYES});
                                   }},
                      disc_failure{"directx_too_old",
                                   [] {
                                       add_title_disc("D:\\", "Kestova 3", "Kestova 3");
                                       sim::set_dxdiag_version(8, 1, "b");
                                       sim::queue_answers({IDYES, IDNO});
                                   }},
                      disc_failure{"setup_fails_to_start",
                                   [] {
                                       add_title_disc("D:\\", "Kestova 3", "Kestova 3");
                                       sim::force_shell_result(5);
                                       sim::queue_answers({IDYES});
                                   }},
                      disc_failure{"setup_ends_without_mutex",
                                   [] {
                                       add_cd_drive("D:\\", "Kestova 3");
                                       sim::add_file("D:\\setup.exe", setup_exe_image(STAMP_2004));
                                       sim::add_program("D:\\setup.exe", [](const sim::started_program&) {
                                           return DWORD{500};
                                       });
                                       sim::queue_answers({IDYES});
                                   }},
                      disc_failure{"setup_registers_nothing",
                                   [] {
                                       add_cd_drive("D:\\", "Kestova 3");
                                       sim::add_file("D:\\setup.exe", setup_exe_image(STAMP_2004));
                                       sim::add_program("D:\\setup.exe", [](const sim::started_program&) {
                                           sim::create_mutex("ZENTRAVOLK-SYSCFG");
                                           return DWORD{2000};
                                       });
                                       sim::queue_answers({IDYES});
                                   }}),
    [](const ::testing::TestParamInfo<disc_failure>& info) { return std::string(info.param.name); });

TEST_F(install, both_titles_installed_changes_nothing)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup_is.exe", {'M', 'Z', 'i', 's'});
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe", PATCH_BYTES);
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    const std::string before = machine_state();
    install_stage();
    EXPECT_EQ(machine_state(), before);
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_NE(sim::message_boxes()[0].text.find("Both titles are already installed"), std::string::npos);
    EXPECT_TRUE(sim::started_programs().empty());
}

// A title left parked by an interrupted run goes back, the user is told,
// and the run ends there: the disc is not looked for.
TEST_F(install, a_leftover_parked_title_goes_back_and_the_run_ends)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    install_stage();
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_no_registration(PARKING_PRODUCT_CODE);
    expect_no_registration(ALTERNATE_PRODUCT_CODE);
    EXPECT_TRUE(sim::started_programs().empty());
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_EQ(sim::message_boxes()[0].caption, PATCH_CAPTION);
    EXPECT_NE(sim::message_boxes()[0].text.find("Kestova 2 is registered under " +
                                                std::string(SHARED_PRODUCT_CODE) + " again"),
              std::string::npos)
        << sim::message_boxes()[0].text;
}

// Killed after the disc's setup registered the new title: the next run
// finishes the swap, shortcut and redirection included.
TEST_F(install, a_parked_title_beside_a_new_title_finishes_the_swap)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
    install_stage();
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_registration(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    expect_redirected(ALTERNATE_PRODUCT_CODE);
    expect_no_registration(PARKING_PRODUCT_CODE);
    EXPECT_EQ(shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 3")),
              uninstall_arguments(ALTERNATE_PRODUCT_CODE));
    EXPECT_LT(journal_index("save shortcut"),
              journal_index("rename " + INFO_ROOT + "\\" + PARKING_PRODUCT_CODE));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, ARP_CACHE + "\\" + SHARED_PRODUCT_CODE));
    EXPECT_TRUE(sim::started_programs().empty());
    ASSERT_EQ(sim::message_boxes().size(), 1u) << last_box_text();
    EXPECT_NE(sim::message_boxes()[0].text.find("removing it goes through the patch"), std::string::npos);
}

// Two titles of the same name cannot be told apart: nothing moves.
TEST_F(install, a_parked_title_beside_the_same_title_changes_nothing)
{
    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    const std::string before = machine_state();
    install_stage();
    EXPECT_EQ(machine_state(), before);
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_NE(sim::message_boxes()[0].text.find(PARKING_PRODUCT_CODE), std::string::npos);
    EXPECT_NE(sim::message_boxes()[0].text.find(SHARED_PRODUCT_CODE), std::string::npos);
}

TEST_F(install, after_the_swap_the_new_title_can_be_removed_leaving_the_first_whole)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    const std::string title_2_entry = sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});
    install_stage();

    // Removing title 3 starts the copied patch from a ".tmp" copy.
    sim::add_program(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe", [](const sim::started_program&) {
        sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
        return DWORD{1000};
    });
    reset_process_state();
    std::snprintf(module_path, sizeof module_path, "c:\\temp\\_is1234\\setup.tmp");
    uninstall_stage();

    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)), title_2_entry);
    expect_no_registration(ALTERNATE_PRODUCT_CODE);
    expect_no_registration(PARKING_PRODUCT_CODE);
}

} // namespace
