// The record of the programs a run started: a run killed (or left on
// purpose) while the disc's setup or the real uninstaller still works is
// followed by runs that change nothing until that program has ended; then
// the next run puts everything right as it would have anyway.
#include "recovery/recovery.h"
#include "whole_run_test.h"

using namespace platform;

namespace
{

using namespace stage_scenarios;

const std::string ENGINE = "C:\\Users\\Player\\AppData\\Local\\Temp\\{A1}\\setup.exe";
const std::string RECORD_KEY = "SOFTWARE\\Kestova Patch";
const char* const WAIT_FOR_UNINSTALL = "Please wait till the uninstall is complete, then click on okay";

class started_programs : public whole_run_test
{
  protected:
    void SetUp() override
    {
        whole_run_test::SetUp();
        sim::add_file(UNINSTALL_MODULE, PATCH_BYTES);
    }

    // One start of the patch through its entry point; kill_at_ms (virtual
    // time) kills it at its next platform call after that moment.
    static void start(const std::string& module, DWORD kill_at_ms = 0)
    {
        if (kill_at_ms != 0) {
            sim::schedule(kill_at_ms - sim::now_ms(), [] { sim::kill_after_calls(0); });
        }
        whole_run_test::start(module);
    }

    // The other title's disc whose setup.exe starts the engine (with
    // breakaway: outside the patch's job) and ends at once; the engine
    // registers the new title and signals after register_ms, and runs for
    // run_ms in all (its mutex goes with it).
    static void add_bootstrapped_disc(DWORD register_ms, DWORD run_ms, bool breakaway = false)
    {
        add_title_disc("D:\\", "Kestova 3", "Kestova 3");
        sim::add_program(ENGINE, [register_ms, run_ms](const sim::started_program&) {
            sim::schedule(register_ms, [] {
                add_title(SHARED_PRODUCT_CODE, "Kestova 3");
                add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
                sim::create_mutex(SETUP_MUTEX_NAME);
            });
            sim::schedule(run_ms, [] { sim::remove_mutex(SETUP_MUTEX_NAME); });
            return run_ms;
        });
        sim::add_program("D:\\setup.exe", [breakaway](const sim::started_program&) {
            sim::start_child(ENGINE, 0, breakaway);
            return DWORD{200};
        });
    }

    // The command line of the RunOnce entry, run as the next logon runs it:
    // the system deletes the entry, then starts the command.
    static void run_at_logon()
    {
        const auto command = sim::get_string(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch");
        ASSERT_TRUE(command.has_value()) << "no RunOnce entry";
        sim::delete_key(HKEY_LOCAL_MACHINE, RUN_ONCE);
        sim::create_key(HKEY_LOCAL_MACHINE, RUN_ONCE);
        reset_process_state();
        sim::set_module_file_name(LASTING_COPY);
        sim::set_command_line(*command);
        sim::run_process([] { return patch_main(); });
    }

    // The machine restarts: every program ends.
    static void restart()
    {
        sim::end_all_programs();
        sim::remove_mutex(SETUP_MUTEX_NAME);
    }

    // Title 3 redirected under the alternate code; its real uninstaller
    // starts a copy of itself (with breakaway: outside the patch's job) and
    // ends at once, the copy removes the title after remove_ms and ends at
    // run_ms.
    static void add_chained_uninstaller(DWORD remove_ms, DWORD run_ms, bool breakaway = false)
    {
        add_redirected_title_3();
        sim::add_program(ENGINE, [remove_ms, run_ms](const sim::started_program&) {
            sim::schedule(remove_ms,
                          [] { sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)); });
            return run_ms;
        });
        sim::add_program(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe",
                         [breakaway](const sim::started_program&) {
                             sim::start_child(ENGINE, 0, breakaway);
                             return DWORD{100};
                         });
    }

    static std::size_t recorded_processes()
    {
        const auto record = sim::get_value(HKEY_LOCAL_MACHINE, RECORD_KEY, "Started programs");
        return record ? record->data.size() / 12 : 0;
    }

    static std::string machine()
    {
        return sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE") + files_but_log("C:\\") +
               shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 2")) +
               shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 3"));
    }

    // The machine without the record of started programs, which a run that
    // only warns may extend by the processes it found.
    static std::string machine_but_record()
    {
        std::string text = machine();
        const std::size_t record = text.find("[Kestova Patch]\n");
        if (record != std::string::npos) {
            text.erase(record, text.find("\n[", record) + 1 - record);
        }
        return text;
    }

    // A run of the patch that must only warn.
    static void expect_run_changes_nothing(const std::string& module)
    {
        ASSERT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, RECORD_KEY));
        const std::string before = machine_but_record();
        const std::size_t starts = sim::started_programs().size();
        const std::size_t boxes = sim::message_boxes().size();
        start(module);
        ASSERT_EQ(sim::message_boxes().size(), boxes + 1) << last_box_text();
        EXPECT_EQ(last_box_text(), EARLIER_PROGRAM_AT_WORK);
        EXPECT_EQ(machine_but_record(), before);
        EXPECT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, RECORD_KEY));
        EXPECT_EQ(sim::started_programs().size(), starts);
    }

    // Kestova 3 removed, Kestova 2 whole under the shared code.
    static void expect_kestova_2_alone()
    {
        expect_whole({"", nullptr, nullptr, {"Kestova 2"}, "Kestova 3"});
        expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
        EXPECT_TRUE(codes_holding("Kestova 3").empty());
    }

    static void expect_whole(const scenario& s)
    {
        EXPECT_EQ(check_invariant(s), "");
        expect_no_registration(PARKING_PRODUCT_CODE);
        EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, RECORD_KEY));
    }
};

TEST_F(started_programs, a_killed_install_stage_waits_for_the_setup_engine_then_finishes_the_swap)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 2", SHARED_PRODUCT_CODE);
    add_bootstrapped_disc(45000, 60000);
    sim::queue_answers({IDYES});
    // Killed while the engine works (its bootstrapper ended long before).
    start(INSTALL_MODULE, 10000);
    ASSERT_TRUE(sim::last_run_killed());
    expect_registration(PARKING_PRODUCT_CODE, "Kestova 2");

    // Started again at once, and again after the engine registered: while
    // the engine runs, nothing moves (a title put back under the shared
    // code now would merge with the one the engine registers).
    expect_run_changes_nothing(INSTALL_MODULE);
    sim::let_time_pass(40000);
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName"),
              "Kestova 3");
    expect_run_changes_nothing(UNINSTALL_MODULE);

    // Once the engine has ended, the next run finishes the swap.
    sim::let_time_pass(20000);
    start(INSTALL_MODULE);
    expect_whole({"", nullptr, nullptr, {"Kestova 2", "Kestova 3"}, ""});
    EXPECT_EQ(codes_holding("Kestova 3"), std::vector<std::string>{ALTERNATE_PRODUCT_CODE});
}

TEST_F(started_programs, cancel_while_the_uninstaller_chain_runs_blocks_every_run_until_it_ended)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_chained_uninstaller(30000, 40000);
    sim::queue_answers({IDOK, IDCANCEL});
    start(UNINSTALL_MODULE);
    ASSERT_FALSE(sim::last_run_killed());
    expect_registration(PARKING_PRODUCT_CODE, "Kestova 2");

    expect_run_changes_nothing(UNINSTALL_MODULE);
    expect_run_changes_nothing(INSTALL_MODULE);
    // clean deletes registrations: it waits too.
    sim::set_command_line("\"" + INSTALL_MODULE + "\" clean");
    const std::string before = machine();
    sim::run_process([] { return patch_main(); });
    EXPECT_EQ(last_box_text(), EARLIER_PROGRAM_AT_WORK);
    EXPECT_EQ(machine(), before);

    sim::let_time_pass(45000);
    start(INSTALL_MODULE);
    expect_kestova_2_alone();
}

// A run that ends normally has waited for the disc's setup to finish and
// leaves no record behind.
TEST_F(started_programs, a_run_that_ends_normally_leaves_no_record)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});
    start(INSTALL_MODULE);
    EXPECT_EQ(sim::running_process_count(), 0);
    expect_whole({"", nullptr, nullptr, {"Kestova 2", "Kestova 3"}, ""});
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName"),
              "Kestova 2");
}

// An uninstaller that ends with a restart: the other title is parked at
// that moment. The run at the next logon puts it back, whether the
// uninstaller had removed its title or not.
TEST_F(started_programs, a_restart_while_the_uninstall_box_waits_is_put_right_at_the_next_logon)
{
    for (const bool uninstaller_finished : {false, true}) {
        SCOPED_TRACE(uninstaller_finished ? "the uninstaller had finished" : "the uninstaller was at work");
        SetUp();
        add_title(SHARED_PRODUCT_CODE, "Kestova 2");
        add_chained_uninstaller(4000, 5000);
        sim::set_box_wait(uninstaller_finished ? 6000 : 0);
        std::optional<std::string> during;
        // The machine goes down while the box is up: at once, or once the
        // uninstaller has ended.
        sim::on_message_box([&](const sim::message_box& box) {
            if (box.text == WAIT_FOR_UNINSTALL) {
                during = sim::get_string(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch");
                sim::schedule(uninstaller_finished ? 5900 : 0, [] { sim::kill_after_calls(0); });
            }
        });
        start(UNINSTALL_MODULE);
        ASSERT_TRUE(sim::last_run_killed());
        EXPECT_EQ(during, "\"" + LASTING_COPY + "\" /resume-after-restart");
        expect_registration(PARKING_PRODUCT_CODE, "Kestova 2");
        sim::on_message_box(nullptr);
        sim::set_box_wait(0);
        restart();

        run_at_logon();
        expect_whole({"", nullptr, nullptr, {"Kestova 2"}, "Kestova 3"});
        expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
        EXPECT_EQ(codes_holding("Kestova 3"), uninstaller_finished
                                                  ? std::vector<std::string>{}
                                                  : std::vector<std::string>{ALTERNATE_PRODUCT_CODE});
        EXPECT_FALSE(sim::get_value(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch"));
        TearDown();
    }
}

// The box's own message loop keeps the record: the engine the uninstaller
// started after the box came up is in it when the patch is killed there,
// and no run acts until it has ended.
TEST_F(started_programs, a_kill_at_the_uninstall_box_leaves_the_engine_in_the_record)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_chained_uninstaller(4000, 5000);
    sim::set_box_wait(1000);
    sim::on_message_box([](const sim::message_box& box) {
        if (box.text == WAIT_FOR_UNINSTALL) {
            sim::schedule(900, [] { sim::kill_after_calls(0); });
        }
    });
    start(UNINSTALL_MODULE);
    ASSERT_TRUE(sim::last_run_killed());
    EXPECT_EQ(recorded_processes(), 2u) << "the uninstaller and its engine";
    sim::on_message_box(nullptr);
    sim::set_box_wait(0);

    expect_run_changes_nothing(INSTALL_MODULE);
    sim::let_time_pass(6000);
    start(INSTALL_MODULE);
    expect_kestova_2_alone();
}

// A program that holds the setup's mutex before the setup starts: Cancel
// puts the installed title back and changes nothing else.
TEST_F(started_programs, cancel_while_another_program_holds_the_setup_signal_keeps_the_installed_title)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 2", SHARED_PRODUCT_CODE);
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::create_mutex(SETUP_MUTEX_NAME);
    const std::string before = machine();
    sim::queue_answers({IDYES, IDCANCEL});
    start(INSTALL_MODULE);
    ASSERT_EQ(sim::message_boxes().size(), 2u) << last_box_text();
    EXPECT_EQ(sim::message_boxes()[1].style, MB_RETRYCANCEL | MB_ICONWARNING);
    EXPECT_TRUE(sim::started_programs().empty());
    EXPECT_EQ(machine(), before);
}

// An engine started outside the patch's job is followed by its parent: the
// give-up time waits for it, and so does the uninstall stage's box.
TEST_F(started_programs, an_engine_that_leaves_the_job_is_waited_for)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 2", SHARED_PRODUCT_CODE);
    add_bootstrapped_disc(40000, 45000, true);
    sim::queue_answers({IDYES});
    start(INSTALL_MODULE);
    EXPECT_EQ(sim::message_boxes().size(), 1u) << last_box_text();
    EXPECT_GE(sim::now_ms(), 45000u + 5000u);
    expect_whole({"", nullptr, nullptr, {"Kestova 2", "Kestova 3"}, ""});
    EXPECT_EQ(codes_holding("Kestova 3"), std::vector<std::string>{ALTERNATE_PRODUCT_CODE});

    SetUp();
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_chained_uninstaller(4000, 5000, true);
    sim::queue_answers({IDOK, IDRETRY, IDRETRY, IDRETRY});
    start(UNINSTALL_MODULE);
    ASSERT_GE(sim::message_boxes().size(), 2u);
    EXPECT_NE(sim::message_boxes()[1].text.find("The uninstall is still running."), std::string::npos);
    EXPECT_GE(sim::now_ms(), 5000u);
    expect_whole({"", nullptr, nullptr, {"Kestova 2"}, "Kestova 3"});
    EXPECT_TRUE(codes_holding("Kestova 3").empty());
}

// Under Wine a process that another started tells no creation time while
// it is still starting; it runs all the same and is recorded once it does.
TEST_F(started_programs, a_process_that_tells_no_creation_time_yet_is_still_waited_for)
{
    sim::set_creation_time_unknown_for(500);
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_chained_uninstaller(4000, 5000, true);
    sim::queue_answers({IDOK, IDRETRY, IDRETRY, IDRETRY});
    start(UNINSTALL_MODULE);
    ASSERT_GE(sim::message_boxes().size(), 2u);
    EXPECT_NE(sim::message_boxes()[1].text.find("The uninstall is still running."), std::string::npos);
    EXPECT_GE(sim::now_ms(), 5000u);
    expect_whole({"", nullptr, nullptr, {"Kestova 2"}, "Kestova 3"});
    EXPECT_TRUE(codes_holding("Kestova 3").empty());

    // A later run does not take a starting process for an ended one either.
    SetUp();
    sim::set_creation_time_unknown_for(500);
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_chained_uninstaller(4000, 5000, true);
    sim::on_message_box([](const sim::message_box& box) {
        if (box.text == WAIT_FOR_UNINSTALL) {
            sim::kill_after_calls(0);
        }
    });
    start(UNINSTALL_MODULE);
    ASSERT_TRUE(sim::last_run_killed());
    sim::on_message_box(nullptr);
    expect_run_changes_nothing(INSTALL_MODULE);
    sim::let_time_pass(1000);
    expect_run_changes_nothing(INSTALL_MODULE);
    sim::let_time_pass(5000);
    start(INSTALL_MODULE);
    expect_whole({"", nullptr, nullptr, {"Kestova 2"}, "Kestova 3"});
}

// A setup that signals and ends between two looks of the patch takes its
// mutex with it; the title it registered tells that it did its work.
TEST_F(started_programs, a_setup_that_signals_and_ends_between_two_looks_is_taken_as_signalled)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 2", SHARED_PRODUCT_CODE);
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::add_program("D:\\setup.exe", [](const sim::started_program&) {
        sim::schedule(505, [] {
            add_title(SHARED_PRODUCT_CODE, "Kestova 3");
            add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
            sim::create_mutex(SETUP_MUTEX_NAME);
        });
        sim::schedule(520, [] { sim::remove_mutex(SETUP_MUTEX_NAME); });
        return DWORD{520};
    });
    sim::queue_answers({IDYES});
    start(INSTALL_MODULE);
    EXPECT_EQ(sim::message_boxes().size(), 1u) << last_box_text();
    EXPECT_LT(sim::now_ms(), 520u + 30000u) << "no give-up time";
    expect_whole({"", nullptr, nullptr, {"Kestova 2", "Kestova 3"}, ""});
    EXPECT_EQ(codes_holding("Kestova 3"), std::vector<std::string>{ALTERNATE_PRODUCT_CODE});
}

// What the setup writes after its signal (a last value, 8 s later) lands in
// its own title: the swap waits until the setup has ended.
TEST_F(started_programs, what_the_setup_writes_after_its_signal_lands_in_its_own_title)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 2", SHARED_PRODUCT_CODE);
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::add_program("D:\\setup.exe", [](const sim::started_program&) {
        sim::schedule(500, [] {
            add_title(SHARED_PRODUCT_CODE, "Kestova 3");
            add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
        });
        sim::schedule(1500, [] { sim::create_mutex(SETUP_MUTEX_NAME); });
        sim::schedule(9500, [] {
            sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "EstimatedSize", "1234");
        });
        sim::schedule(10000, [] { sim::remove_mutex(SETUP_MUTEX_NAME); });
        return DWORD{10000};
    });
    const std::string kestova_2 = sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
    sim::queue_answers({IDYES});
    start(INSTALL_MODULE);
    expect_whole({"", nullptr, nullptr, {"Kestova 2", "Kestova 3"}, ""});
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)), kestova_2);
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "EstimatedSize"),
              "1234");
}

// The run after a restart waits for a chain that still works (the user
// retries) or leaves it to the next logon (Cancel arranges it again).
TEST_F(started_programs, the_run_after_a_restart_waits_for_a_chain_that_still_works)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_chained_uninstaller(4000, 5000);
    sim::queue_answers({IDOK, IDCANCEL});
    start(UNINSTALL_MODULE); // Cancel while the uninstaller still works
    expect_registration(PARKING_PRODUCT_CODE, "Kestova 2");
    ASSERT_TRUE(sim::get_string(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch").has_value())
        << "a parked title keeps the arrangement";

    const std::string retry_text = EARLIER_PROGRAM_AT_WORK_RETRY;
    sim::queue_answers({IDCANCEL});
    run_at_logon();
    EXPECT_EQ(last_box_text(), retry_text);
    expect_registration(PARKING_PRODUCT_CODE, "Kestova 2");
    ASSERT_TRUE(sim::get_string(HKEY_LOCAL_MACHINE, RUN_ONCE, "Kestova Patch").has_value())
        << "Cancel leaves it to the next logon";

    // Retry while the uninstaller finishes its work.
    sim::queue_answers({IDRETRY, IDOK});
    sim::on_message_box([](const sim::message_box& box) {
        if (box.text == EARLIER_PROGRAM_AT_WORK_RETRY) {
            sim::let_time_pass(6000);
        }
    });
    run_at_logon();
    expect_kestova_2_alone();
}

class started_record : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        sim::add_file("C:\\Tools\\tool.exe", {'M', 'Z'});
        sim::add_program("C:\\Tools\\tool.exe", [](const sim::started_program&) { return DWORD{5000}; });
    }

    // Starts the tool and leaves it running with its record, as a run that
    // stopped waiting would.
    static started_process start_tool()
    {
        program_chain chain{};
        EXPECT_TRUE(start_program_chain("C:\\Tools\\tool.exe", nullptr, &chain));
        EXPECT_EQ(chain.member_count, 1u);
        const started_process tool = chain.members[0];
        close_program_chain(&chain);
        return tool;
    }

    static void set_record(DWORD type, const std::vector<BYTE>& bytes)
    {
        sim::create_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch");
        sim::set_value(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch", "Started programs", type, bytes);
    }

    static std::vector<BYTE> record_of(const started_process& p)
    {
        std::vector<BYTE> bytes;
        for (DWORD value : {p.id, p.created.dwLowDateTime, p.created.dwHighDateTime}) {
            for (int i = 0; i < 4; ++i) {
                bytes.push_back(static_cast<BYTE>(value >> (8 * i)));
            }
        }
        return bytes;
    }

    static void expect_does_not_block()
    {
        const std::size_t boxes = sim::message_boxes().size();
        EXPECT_EQ(earlier_started_programs_at_work(), 0);
        EXPECT_EQ(sim::message_boxes().size(), boxes) << last_box_text();
        EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch"));
    }
};

TEST_F(started_record, a_running_process_blocks_an_ended_one_or_a_reused_id_does_not)
{
    const started_process tool = start_tool();
    const auto written = sim::get_value(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch", "Started programs");
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->type, REG_BINARY);
    EXPECT_EQ(written->data, record_of(tool));

    EXPECT_EQ(earlier_started_programs_at_work(), 1);
    EXPECT_EQ(last_box_text(), EARLIER_PROGRAM_AT_WORK);
    EXPECT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch"));

    // The same id with another creation time is another process.
    started_process other = tool;
    other.created.dwLowDateTime += 1;
    set_record(REG_BINARY, record_of(other));
    expect_does_not_block();

    // An ended process among running ids that name nothing.
    started_process gone{tool.id + 400, tool.created};
    std::vector<BYTE> two = record_of(gone);
    const std::vector<BYTE> first = record_of(tool);
    two.insert(two.end(), first.begin(), first.end());
    set_record(REG_BINARY, two);
    EXPECT_EQ(earlier_started_programs_at_work(), 1);
    sim::let_time_pass(6000);
    expect_does_not_block();
    EXPECT_EQ(sim::open_handle_count(), 0);
}

TEST_F(started_record, content_that_cannot_be_read_is_removed_and_does_not_block)
{
    const started_process tool = start_tool();
    const std::vector<BYTE> whole = record_of(tool);
    const std::vector<std::pair<DWORD, std::vector<BYTE>>> garbled = {
        {REG_BINARY, {}},
        {REG_BINARY, std::vector<BYTE>(whole.begin(), whole.end() - 1)},
        {REG_SZ, whole},
        {REG_DWORD, {1, 0, 0, 0}},
        {REG_BINARY, std::vector<BYTE>(12 * (STARTED_PROCESSES_MAX + 1), 0xFF)},
        {REG_BINARY, std::vector<BYTE>(12, 0xFF)},
        {REG_BINARY, std::vector<BYTE>(12 * 16, 0)},
    };
    for (const auto& content : garbled) {
        set_record(content.first, content.second);
        expect_does_not_block();
    }
    // A key without the value (a kill between its creation and the write).
    sim::create_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch");
    expect_does_not_block();
    EXPECT_EQ(sim::open_handle_count(), 0);
}

// A process that a recorded one started belongs to its chain, also after
// the recorded one has ended; a process whose parent's id names another
// process now, created before it, does not (the id was given again).
TEST_F(started_record, a_process_started_by_a_recorded_one_counts_and_a_reused_parent_id_does_not)
{
    sim::add_program("C:\\Tools\\engine.exe", [](const sim::started_program&) { return DWORD{10000}; });
    sim::add_program("C:\\Tools\\tool.exe", [](const sim::started_program&) {
        sim::start_child("C:\\Tools\\engine.exe", 100);
        return DWORD{5000};
    });
    const started_process tool = start_tool();
    sim::let_time_pass(200);

    started_process earlier_holder = tool;
    earlier_holder.created.dwLowDateTime -= 1;
    set_record(REG_BINARY, record_of(earlier_holder));
    expect_does_not_block();

    set_record(REG_BINARY, record_of(tool));
    sim::let_time_pass(6000); // the tool has ended, its engine still works
    EXPECT_EQ(earlier_started_programs_at_work(), 1);
    const auto record = sim::get_value(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch", "Started programs");
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->data.size(), 24u) << "the engine joins the record";
    sim::let_time_pass(5000);
    expect_does_not_block();
}

// The record follows the job: the engine a bootstrapper starts later is in
// it; the bootstrapper stays in it after it has ended (a process it started
// is known by its parent's id), and the record goes when the whole chain
// has ended.
TEST_F(started_record, follows_the_processes_of_the_job)
{
    sim::add_program("C:\\Tools\\engine.exe", [](const sim::started_program&) { return DWORD{3000}; });
    sim::add_program("C:\\Tools\\tool.exe", [](const sim::started_program&) {
        sim::start_child("C:\\Tools\\engine.exe", 100);
        return DWORD{500};
    });
    program_chain chain{};
    ASSERT_TRUE(start_program_chain("C:\\Tools\\tool.exe", nullptr, &chain));
    const started_process bootstrapper = chain.members[0];
    EXPECT_FALSE(wait_for_chain_end(&chain, 200));
    ASSERT_EQ(chain.member_count, 2u);
    EXPECT_FALSE(wait_for_chain_end(&chain, 1000));
    ASSERT_EQ(chain.member_count, 2u);
    EXPECT_EQ(chain.members[0].id, bootstrapper.id);
    const auto written = sim::get_value(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch", "Started programs");
    ASSERT_TRUE(written.has_value());
    std::vector<BYTE> both = record_of(chain.members[0]);
    const std::vector<BYTE> engine = record_of(chain.members[1]);
    both.insert(both.end(), engine.begin(), engine.end());
    EXPECT_EQ(written->data, both);
    EXPECT_TRUE(wait_for_chain_end(&chain, 5000));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch"));
    close_program_chain(&chain);
}

} // namespace
