// The record of the programs a run started: a run killed (or left on
// purpose) while the disc's setup or the real uninstaller still works is
// followed by runs that change nothing until that program has ended; then
// the next run puts everything right as it would have anyway.
#include "main/program_chain.h"
#include "stage_scenarios.h"

using namespace platform;

namespace
{

using namespace stage_scenarios;

const std::string ENGINE = "C:\\Users\\Player\\AppData\\Local\\Temp\\{A1}\\setup.exe";
const std::string INSTALL_MODULE = "C:\\Patch\\kestova-patch.exe";
const std::string UNINSTALL_MODULE = "C:\\Temp\\_is4f2a\\setup.tmp";
const std::string RECORD_KEY = "SOFTWARE\\Kestova Patch";

class started_programs : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        arrange_common();
        sim::add_file(UNINSTALL_MODULE, PATCH_BYTES);
        sim::create_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce");
        sim::add_directory("C:\\ProgramData");
    }

    // One start of the patch through its entry point; kill_at_ms (virtual
    // time) kills it at its next platform call after that moment.
    static void start(const std::string& module, DWORD kill_at_ms = 0)
    {
        reset_process_state();
        sim::set_module_file_name(module);
        sim::set_command_line("\"" + module + "\"");
        if (kill_at_ms != 0) {
            sim::schedule(kill_at_ms - sim::now_ms(), [] { sim::kill_after_calls(0); });
        }
        sim::run_process([] { return patch_main(); });
    }

    // The other title's disc whose setup.exe starts the engine and ends at
    // once; the engine registers the new title after register_ms and runs
    // for run_ms in all.
    static void add_bootstrapped_disc(DWORD register_ms, DWORD run_ms)
    {
        add_title_disc("D:\\", "Kestova 3", "Kestova 3");
        sim::add_program(ENGINE, [register_ms, run_ms](const sim::started_program&) {
            sim::schedule(register_ms, [] {
                add_title(SHARED_PRODUCT_CODE, "Kestova 3");
                add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
                sim::create_mutex(SETUP_MUTEX_NAME);
            });
            return run_ms;
        });
        sim::add_program("D:\\setup.exe", [](const sim::started_program&) {
            sim::start_child(ENGINE);
            return DWORD{200};
        });
    }

    // Title 3 redirected under the alternate code; its real uninstaller
    // starts a copy of itself and ends at once, the copy removes the title
    // after remove_ms and ends at run_ms.
    static void add_chained_uninstaller(DWORD remove_ms, DWORD run_ms)
    {
        add_redirected_title_3();
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

    static std::string machine()
    {
        return sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE") + sim::dump_directory("C:\\") +
               shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 2")) +
               shortcut_arguments(shortcut_path(ALL_USERS_PROGRAMS, "Kestova 3"));
    }

    // A run of the patch that must only warn.
    static void expect_run_changes_nothing(const std::string& module)
    {
        const std::string before = machine();
        const std::size_t starts = sim::started_programs().size();
        const std::size_t boxes = sim::message_boxes().size();
        start(module);
        ASSERT_EQ(sim::message_boxes().size(), boxes + 1) << last_box_text();
        EXPECT_EQ(last_box_text(), EARLIER_PROGRAM_AT_WORK);
        EXPECT_EQ(machine(), before);
        EXPECT_EQ(sim::started_programs().size(), starts);
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
    expect_whole({"", nullptr, nullptr, {"Kestova 2"}, "Kestova 3"});
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_TRUE(codes_holding("Kestova 3").empty());
}

// A chain that ended while the box was up leaves no record behind, and a
// run that ends normally takes its record away although the disc's setup
// still runs after it signalled.
TEST_F(started_programs, a_run_that_ends_normally_leaves_no_record)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});
    start(INSTALL_MODULE);
    ASSERT_GT(sim::running_process_count(), 0);
    expect_whole({"", nullptr, nullptr, {"Kestova 2", "Kestova 3"}, ""});
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName"),
              "Kestova 2");
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
        EXPECT_EQ(chain.recorded_count, 1u);
        const started_process tool = chain.recorded[0];
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
        {REG_BINARY, std::vector<BYTE>(12 * 17, 0xFF)},
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

// The record follows the job: the engine a bootstrapper starts later is in
// it, the bootstrapper leaves it once it has ended, and the record goes
// when the whole chain has ended.
TEST_F(started_record, follows_the_processes_of_the_job)
{
    sim::add_program("C:\\Tools\\engine.exe", [](const sim::started_program&) { return DWORD{3000}; });
    sim::add_program("C:\\Tools\\tool.exe", [](const sim::started_program&) {
        sim::start_child("C:\\Tools\\engine.exe", 100);
        return DWORD{500};
    });
    program_chain chain{};
    ASSERT_TRUE(start_program_chain("C:\\Tools\\tool.exe", nullptr, &chain));
    const DWORD bootstrapper = chain.recorded[0].id;
    EXPECT_FALSE(wait_for_chain_end(&chain, 200));
    EXPECT_EQ(chain.recorded_count, 2u);
    EXPECT_FALSE(wait_for_chain_end(&chain, 1000));
    ASSERT_EQ(chain.recorded_count, 1u);
    EXPECT_NE(chain.recorded[0].id, bootstrapper);
    const auto written = sim::get_value(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch", "Started programs");
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->data, record_of(chain.recorded[0]));
    EXPECT_TRUE(wait_for_chain_end(&chain, 5000));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestova Patch"));
    close_program_chain(&chain);
}

} // namespace
