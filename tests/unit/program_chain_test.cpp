// The disc's setup and the real uninstaller as program chains: a first
// process that starts the real engine from a temporary copy and ends at
// once. The patch must not act while any process of the chain still runs.
#include "disc_setup.h"

using namespace platform;

namespace
{

const std::vector<BYTE> PATCH_BYTES = {'M', 'Z', 'p', 'a', 't', 'c', 'h'};
const std::string ENGINE = "C:\\Users\\Player\\AppData\\Local\\Temp\\{A1}\\setup.exe";
const char* const WAIT_TEXT = "Please wait till the uninstall is complete, then click on okay";

class chains : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        sim::add_file("C:\\Patch\\kestova-patch.exe", PATCH_BYTES);
        std::snprintf(module_path, sizeof module_path, "c:\\patch\\kestova-patch.exe");
        sim::set_dxdiag_available(true);
        sim::set_dxdiag_version(9, 0, "c");
        CoInitialize(nullptr);
    }

    // The other title's disc whose setup.exe only starts the engine and
    // ends at once. The engine registers the title and creates the mutex
    // after register_ms (never, when 0), and runs for run_ms in all.
    static void add_bootstrapped_disc(DWORD register_ms, DWORD run_ms)
    {
        add_cd_drive("D:\\", "Kestova 3");
        sim::add_file("D:\\setup.exe", setup_exe_image(STAMP_2004));
        sim::add_program(ENGINE, [register_ms, run_ms](const sim::started_program&) {
            if (register_ms != 0) {
                sim::schedule(register_ms, [] {
                    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
                    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
                    sim::create_mutex("ZENTRAVOLK-SYSCFG");
                });
            }
            return run_ms;
        });
        sim::add_program("D:\\setup.exe", [](const sim::started_program&) {
            sim::start_child(ENGINE);
            return DWORD{200};
        });
    }

    // A title under the alternate code whose real uninstaller copies itself
    // to a temporary folder, starts that copy and ends at once; the copy
    // removes the title after remove_ms and ends at run_ms.
    static void add_chained_uninstaller(DWORD remove_ms, DWORD run_ms)
    {
        add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
        const std::string folder = folder_path(ALTERNATE_PRODUCT_CODE);
        sim::add_file(folder + "\\setup_is.exe", *sim::file_bytes(folder + "\\setup.exe"));
        sim::add_file(folder + "\\setup.exe", PATCH_BYTES);
        sim::add_program(ENGINE, [remove_ms, run_ms](const sim::started_program&) {
            sim::schedule(remove_ms,
                          [] { sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)); });
            return run_ms;
        });
        sim::add_program(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe",
                         [](const sim::started_program&) {
                             sim::start_child(ENGINE);
                             return DWORD{100};
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

TEST_F(chains, a_setup_engine_that_registers_45_s_after_its_bootstrapper_ended_is_waited_for)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_bootstrapped_disc(45000, 60000);
    sim::queue_answers({IDYES});
    // Until the engine registers, the installed title stays parked.
    sim::schedule(44000, [] {
        EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)));
        EXPECT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE)));
    });

    install_stage();

    EXPECT_EQ(box_texts(), std::vector<std::string>{"Found Kestova 3 in drive D:\\.\n\nInstall Kestova 3?"});
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "DisplayName"),
              "Kestova 3");
    expect_no_registration(PARKING_PRODUCT_CODE);
    ASSERT_EQ(sim::started_programs().size(), 1u);
    EXPECT_EQ(sim::started_programs()[0].call, "CreateProcessA");
    EXPECT_EQ(sim::started_programs()[0].directory, "D:\\");
    EXPECT_GE(sim::now_ms(), 45000u + 5000u);
}

TEST_F(chains, the_give_up_time_runs_from_the_end_of_the_whole_chain)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_bootstrapped_disc(0, 40000); // the engine is cancelled after 40 s
    sim::queue_answers({IDYES});

    install_stage();

    EXPECT_NE(last_box_text().find("Gave up waiting for setup.exe"), std::string::npos);
    EXPECT_GE(sim::now_ms(), 40000u + 30000u);
    EXPECT_LT(sim::now_ms(), 40000u + 30000u + 1000u);
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
}

// Where no job can be had, the chain is followed by its processes'
// parents: the engine the bootstrapper started is waited for, and the
// give-up time runs from the engine's end.
TEST_F(chains, without_a_job_the_chain_is_followed_by_its_processes_parents)
{
    for (const char* refused : {"AssignProcessToJobObject", "CreateJobObjectA"}) {
        sim::reset();
        reset_process_state();
        add_bootstrapped_disc(0, 40000);
        is_ks2_installed = 1;
        sim::set_dxdiag_available(true);
        sim::set_dxdiag_version(9, 0, "c");
        sim::queue_answers({IDYES});
        sim::fail_call(refused, 1, ERROR_ACCESS_DENIED);
        EXPECT_EQ(find_disc_and_run_setup(), 0) << refused;
        EXPECT_GE(sim::now_ms(), 40000u + 30000u) << refused;
        EXPECT_LT(sim::now_ms(), 40000u + 30000u + 1000u) << refused;
    }
}

// A program that cannot be started suspended (one that asks for
// elevation) is started by the shell and joins the job right after: a
// child it starts later is still watched.
TEST_F(chains, a_shell_started_setup_joins_the_job_right_after_its_start)
{
    add_cd_drive("D:\\", "Kestova 3");
    sim::add_file("D:\\setup.exe", setup_exe_image(STAMP_2004));
    sim::add_program(ENGINE, [](const sim::started_program&) { return DWORD{40000}; });
    sim::add_program("D:\\setup.exe", [](const sim::started_program&) {
        sim::start_child(ENGINE, 50);
        return DWORD{200};
    });
    is_ks2_installed = 1;
    sim::queue_answers({IDYES});
    sim::fail_call("CreateProcessA", 1, ERROR_ELEVATION_REQUIRED);
    EXPECT_EQ(find_disc_and_run_setup(), 0);
    ASSERT_EQ(sim::started_programs().size(), 2u);
    EXPECT_EQ(sim::started_programs()[1].call, "ShellExecuteExA");
    EXPECT_EQ(sim::started_programs()[1].directory, "D:\\");
    EXPECT_GE(sim::now_ms(), 40000u + 30000u);
}

TEST_F(chains, a_suspended_setup_that_cannot_be_resumed_is_ended_and_started_by_the_shell)
{
    is_ks2_installed = 1;
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});
    sim::fail_call("ResumeThread", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(find_disc_and_run_setup(), 1);
    ASSERT_EQ(sim::started_programs().size(), 2u);
    EXPECT_EQ(sim::started_programs()[1].call, "ShellExecuteExA");
    // The suspended process never ran; the shell's start was waited for
    // until it finished after its signal.
    EXPECT_EQ(sim::running_process_count(), 0);
    EXPECT_GE(sim::now_ms(), 1500u + SETUP_FINISH_MS + 5000u);
}

TEST_F(chains, an_uninstaller_run_from_a_temporary_copy_is_waited_for_when_ok_comes_at_once)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_chained_uninstaller(4000, 5000);
    sim::queue_answers({IDOK, IDRETRY, IDRETRY, IDRETRY});

    uninstall_stage();

    // The first process ended after 100 ms; the stage asked again until the
    // copy had ended too, and only then put the remaining title back.
    ASSERT_GE(sim::message_boxes().size(), 2u);
    EXPECT_EQ(sim::message_boxes()[0].text, WAIT_TEXT);
    EXPECT_NE(sim::message_boxes()[1].text.find("The uninstall is still running."), std::string::npos);
    EXPECT_GE(sim::now_ms(), 5000u);
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_no_registration(ALTERNATE_PRODUCT_CODE);
    expect_no_registration(PARKING_PRODUCT_CODE);
}

TEST_F(chains, cancel_while_the_copy_still_runs_leaves_everything_to_the_next_run)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_chained_uninstaller(4000, 5000);
    sim::queue_answers({IDOK, IDCANCEL});

    uninstall_stage();

    EXPECT_NE(last_box_text().find("run kestova-patch.exe again"), std::string::npos) << last_box_text();
    EXPECT_LT(sim::now_ms(), 4000u);
    // Exactly as the removal found it: the title being removed under the
    // shared code, the remaining title parked, nothing deleted.
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName"),
              "Kestova 3");
    EXPECT_TRUE(sim::file_exists(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe"));
    expect_registration(PARKING_PRODUCT_CODE, "Kestova 2");
    // The uninstaller then ends on its own; nothing of the patch runs meanwhile.
    Sleep(5000);
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)));
    expect_registration(PARKING_PRODUCT_CODE, "Kestova 2");
}

TEST_F(chains, cancel_after_the_chain_ended_while_the_box_was_up_finishes_the_removal)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_chained_uninstaller(4000, 5000);
    sim::queue_answers({IDOK, IDCANCEL});
    // The user reads the still-running box for ten seconds before clicking.
    sim::on_message_box([](const sim::message_box& box) {
        if (box.text.find("still running") != std::string::npos) {
            Sleep(10000);
        }
    });

    uninstall_stage();

    EXPECT_EQ(box_texts().size(), 2u);
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_no_registration(PARKING_PRODUCT_CODE);
}

} // namespace
