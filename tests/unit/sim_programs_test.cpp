// Started programs, virtual time, named mutexes and the DirectX diagnostics
// provider of the simulated machine.
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace platform;
namespace sim = platform::sim;

namespace
{

class sim_programs : public ::testing::Test
{
  protected:
    void SetUp() override { sim::reset(); }
};

} // namespace

TEST_F(sim_programs, a_start_of_a_missing_file_fails_and_is_recorded_with_its_answer)
{
    EXPECT_EQ(2, ShellExecuteA(nullptr, nullptr, "D:\\setup.exe", nullptr, nullptr, SW_SHOW));
    ASSERT_EQ(1u, sim::started_programs().size());
    EXPECT_EQ(2, sim::started_programs()[0].result);
    EXPECT_TRUE(sim::journal().empty()) << "nothing was started";
}

TEST_F(sim_programs, a_scripted_program_runs_at_its_start_and_schedules_its_events)
{
    sim::add_drive({"D:\\", DRIVE_CDROM, "Kestova 3", "CDFS", true});
    sim::add_file("D:\\setup.exe");
    sim::add_program("d:\\SETUP.EXE", [](const sim::started_program& p) {
        EXPECT_EQ("D:\\\\setup.exe", p.file);
        EXPECT_EQ("D:\\", p.directory);
        sim::schedule(3000, [] { sim::create_mutex("ZENTRAVOLK-SYSCFG"); });
        return DWORD{10000};
    });
    EXPECT_GT(ShellExecuteA(nullptr, nullptr, "D:\\\\setup.exe", nullptr, "D:\\", SW_SHOW), 32);
    EXPECT_EQ((std::vector<std::string>{"start D:\\\\setup.exe"}), sim::journal());

    // A patch-style wait: poll, yield, poll.
    HANDLE mutex = nullptr;
    while (!(mutex = OpenMutexA(MUTEX_ALL_ACCESS, 0, "ZENTRAVOLK-SYSCFG")))
        Sleep(0);
    EXPECT_EQ(3000u, sim::now_ms()) << "each yield costs a millisecond of virtual time";
    EXPECT_EQ(3001, sim::open_mutex_calls());
    EXPECT_EQ(0u, sim::total_sleep_ms());
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_FALSE(CloseHandle(mutex));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(sim_programs, mutex_names_are_case_sensitive)
{
    sim::create_mutex("ZENTRAVOLK-SYSCFG");
    EXPECT_EQ(nullptr, OpenMutexA(MUTEX_ALL_ACCESS, 0, "zentravolk-syscfg"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    HANDLE h = OpenMutexA(MUTEX_ALL_ACCESS, 0, "ZENTRAVOLK-SYSCFG");
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(1, sim::open_handle_count());
    CloseHandle(h);
    sim::remove_mutex("ZENTRAVOLK-SYSCFG");
    EXPECT_EQ(nullptr, OpenMutexA(MUTEX_ALL_ACCESS, 0, "ZENTRAVOLK-SYSCFG"));
}

TEST_F(sim_programs, waits_on_a_process_time_out_or_end_with_it)
{
    sim::add_file("C:\\tool.exe");
    sim::add_program("C:\\tool.exe", [](const sim::started_program&) { return DWORD{5000}; });
    SHELLEXECUTEINFOA info{};
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = "C:\\tool.exe";
    info.nShow = SW_SHOW;
    ASSERT_TRUE(ShellExecuteExA(&info));
    ASSERT_NE(nullptr, info.hProcess);
    EXPECT_GT(info.hInstApp, 32);

    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(info.hProcess, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(info.hProcess, 1000));
    EXPECT_EQ(1000u, sim::now_ms());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, INFINITE));
    EXPECT_EQ(5000u, sim::now_ms());
    EXPECT_EQ(1, sim::open_handle_count());
    EXPECT_TRUE(CloseHandle(info.hProcess));
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(info.hProcess, 0));
}

TEST_F(sim_programs, an_endless_wait_on_an_endless_process_is_reported_not_hung)
{
    sim::add_file("C:\\forever.exe");
    SHELLEXECUTEINFOA info{};
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = "C:\\forever.exe";
    ASSERT_TRUE(ShellExecuteExA(&info));
    EXPECT_THROW(WaitForSingleObject(info.hProcess, INFINITE), std::runtime_error);
    CloseHandle(info.hProcess);
}

TEST_F(sim_programs, sleep_runs_due_events_in_order_at_their_time)
{
    std::vector<std::string> seen;
    sim::schedule(200, [&] { seen.push_back("b@" + std::to_string(sim::now_ms())); });
    sim::schedule(100, [&] {
        seen.push_back("a@" + std::to_string(sim::now_ms()));
        sim::schedule(50, [&] { seen.push_back("c@" + std::to_string(sim::now_ms())); });
    });
    Sleep(120);
    EXPECT_EQ((std::vector<std::string>{"a@100"}), seen);
    Sleep(1000);
    EXPECT_EQ((std::vector<std::string>{"a@100", "c@150", "b@200"}), seen);
    EXPECT_EQ(1120u, GetTickCount());
    EXPECT_EQ(1120u, sim::total_sleep_ms());
}

TEST_F(sim_programs, a_forced_shell_answer_overrides_the_file_system)
{
    sim::add_file("C:\\tool.exe");
    sim::force_shell_result(31);
    EXPECT_EQ(31, ShellExecuteA(nullptr, "open", "C:\\tool.exe", "-x", nullptr, SW_SHOW));
    sim::force_shell_result(0);
    EXPECT_EQ(2, ShellExecuteA(nullptr, "open", "tool.exe", "-x", "C:\\", SW_SHOW))
        << "a relative name is looked up from the current directory, not the directory argument";
    SetCurrentDirectoryA("C:\\");
    EXPECT_GT(ShellExecuteA(nullptr, "open", "tool.exe", "-x", nullptr, SW_SHOW), 32);
    ASSERT_EQ(3u, sim::started_programs().size());
    EXPECT_EQ("open", sim::started_programs()[2].verb);
    EXPECT_EQ("-x", sim::started_programs()[2].parameters);
}

TEST_F(sim_programs, the_diagnostics_provider_needs_com_and_availability)
{
    sim::set_dxdiag_version(9, 0, "c");
    DXDIAG_SESSION* session = reinterpret_cast<DXDIAG_SESSION*>(1);
    EXPECT_TRUE(FAILED(dxdiag_open_system_info(&session)));
    EXPECT_EQ(nullptr, session);
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
    EXPECT_EQ(REGDB_E_CLASSNOTREG, dxdiag_open_system_info(&session));
    sim::set_dxdiag_available(true);
    ASSERT_EQ(S_OK, dxdiag_open_system_info(&session));

    DXDIAG_PROPERTY property{};
    ASSERT_EQ(S_OK, dxdiag_get_property(session, u"dwDirectXVersionMajor", &property));
    EXPECT_EQ(VT_UI4, property.vt);
    EXPECT_EQ(9u, property.ulVal);
    ASSERT_EQ(S_OK, dxdiag_get_property(session, u"szDirectXVersionLetter", &property));
    EXPECT_EQ(VT_BSTR, property.vt);
    EXPECT_EQ(std::u16string(u"c"), std::u16string(property.bstrVal));
    EXPECT_TRUE(FAILED(dxdiag_get_property(session, u"noSuchProperty", &property)));
    EXPECT_EQ(1, sim::open_handle_count());
    dxdiag_close(session);
    EXPECT_EQ(0, sim::open_handle_count());
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(0, sim::com_initialize_depth());
}

namespace
{

// A bootstrapper: starts its engine and ends at once; the engine runs for
// engine_ms.
void add_bootstrapper(const std::string& path, const std::string& engine, DWORD engine_ms)
{
    sim::add_file(path);
    sim::add_program(engine, [engine_ms](const sim::started_program&) { return engine_ms; });
    sim::add_program(path, [engine](const sim::started_program&) {
        sim::start_child(engine);
        return DWORD{10};
    });
}

JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    EXPECT_TRUE(
        QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr));
    return info;
}

} // namespace

TEST_F(sim_programs, a_suspended_process_in_a_job_takes_its_whole_chain_into_the_job)
{
    add_bootstrapper("C:\\boot.exe", "C:\\Temp\\engine.exe", 3000);
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    ASSERT_NE(nullptr, job);
    char command_line[] = "\"C:\\boot.exe\" /s";
    STARTUPINFOA startup{STARTF_USESHOWWINDOW, SW_SHOW};
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessA("C:\\boot.exe", command_line, nullptr, nullptr, 0, CREATE_SUSPENDED, nullptr,
                               "C:\\", &startup, &started));
    // Suspended: its program has not run, so nothing of the chain exists yet.
    EXPECT_EQ(1, sim::running_process_count());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(started.hProcess, 100));
    ASSERT_TRUE(AssignProcessToJobObject(job, started.hProcess));
    EXPECT_EQ(1u, ResumeThread(started.hThread));
    EXPECT_EQ(0u, ResumeThread(started.hThread));

    EXPECT_EQ(2u, accounting(job).ActiveProcesses);
    EXPECT_EQ(2u, accounting(job).TotalProcesses);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.hProcess, 1000));
    EXPECT_EQ(1u, accounting(job).ActiveProcesses) << "the engine still runs";
    Sleep(3000);
    EXPECT_EQ(0u, accounting(job).ActiveProcesses);
    EXPECT_EQ(0, sim::running_process_count());

    ASSERT_EQ(1u, sim::started_programs().size()) << "the engine is the program's start, not the patch's";
    EXPECT_EQ("CreateProcessA", sim::started_programs()[0].call);
    EXPECT_EQ("/s", sim::started_programs()[0].parameters);
    EXPECT_EQ("C:\\", sim::started_programs()[0].directory);
    EXPECT_EQ(3, sim::open_handle_count());
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    CloseHandle(job);
    EXPECT_EQ(0, sim::open_handle_count());
}

TEST_F(sim_programs, a_child_started_before_the_assignment_escapes_the_job)
{
    add_bootstrapper("C:\\boot.exe", "C:\\Temp\\engine.exe", 3000);
    SHELLEXECUTEINFOA info{};
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = "C:\\boot.exe";
    ASSERT_TRUE(ShellExecuteExA(&info));
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    ASSERT_TRUE(AssignProcessToJobObject(job, info.hProcess));
    EXPECT_EQ(1u, accounting(job).ActiveProcesses);
    EXPECT_EQ(2, sim::running_process_count());
    Sleep(20);
    EXPECT_EQ(0u, accounting(job).ActiveProcesses);
    EXPECT_FALSE(AssignProcessToJobObject(job, info.hProcess)) << "an ended process cannot join";
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    CloseHandle(info.hProcess);
    CloseHandle(job);
}

TEST_F(sim_programs, a_delayed_child_joins_the_jobs_its_parent_has_by_then)
{
    sim::add_file("C:\\boot.exe");
    sim::add_program("C:\\boot.exe", [](const sim::started_program&) {
        sim::start_child("C:\\Temp\\engine.exe", 100);
        return DWORD{200};
    });
    SHELLEXECUTEINFOA info{};
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = "C:\\boot.exe";
    ASSERT_TRUE(ShellExecuteExA(&info));
    HANDLE outer = CreateJobObjectA(nullptr, nullptr);
    HANDLE inner = CreateJobObjectA(nullptr, nullptr);
    ASSERT_TRUE(AssignProcessToJobObject(outer, info.hProcess));
    ASSERT_TRUE(AssignProcessToJobObject(inner, info.hProcess)) << "jobs nest, as on Windows 8 and Wine";
    Sleep(150);
    EXPECT_EQ(2u, accounting(outer).ActiveProcesses);
    EXPECT_EQ(2u, accounting(inner).ActiveProcesses);
    Sleep(100);
    EXPECT_EQ(1u, accounting(outer).ActiveProcesses) << "the engine runs for ever";
    EXPECT_THROW(sim::start_child("C:\\x.exe"), std::logic_error) << "only a running program starts children";
    CloseHandle(info.hProcess);
    CloseHandle(outer);
    CloseHandle(inner);
}

TEST_F(sim_programs, job_calls_check_their_records_and_handles_like_windows)
{
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    DWORD length = 0;
    EXPECT_FALSE(
        QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info - 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), GetLastError());
    EXPECT_FALSE(
        QueryInformationJobObject(nullptr, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    ASSERT_TRUE(
        QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, &length));
    EXPECT_EQ(48u, length);
    EXPECT_EQ(0u, info.TotalProcesses);

    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    EXPECT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits));
    EXPECT_FALSE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits - 8));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), GetLastError());

    char command_line[] = "\"C:\\none.exe\"";
    STARTUPINFOA startup{0, 0};
    PROCESS_INFORMATION started{};
    EXPECT_FALSE(CreateProcessA("C:\\none.exe", command_line, nullptr, nullptr, 0, 0, nullptr, nullptr,
                                &startup, &started));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(nullptr, started.hProcess);
    ASSERT_EQ(1u, sim::started_programs().size());
    EXPECT_EQ(0, sim::started_programs()[0].result);
    EXPECT_TRUE(sim::journal().empty()) << "nothing was started";

    sim::add_file("C:\\tool.exe");
    char tool_line[] = "\"C:\\tool.exe\"";
    EXPECT_FALSE(CreateProcessA("C:\\tool.exe", tool_line, nullptr, nullptr, 0, 0, nullptr, "C:\\Missing",
                                &startup, &started));
    EXPECT_EQ(static_cast<DWORD>(267), GetLastError()) << "ERROR_DIRECTORY";

    ASSERT_TRUE(CreateProcessA("C:\\tool.exe", tool_line, nullptr, nullptr, 0, CREATE_SUSPENDED, nullptr,
                               nullptr, &startup, &started));
    EXPECT_TRUE(TerminateProcess(started.hProcess, 1));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(started.hProcess, 0)) << "a terminated process has ended";
    EXPECT_EQ(0, sim::running_process_count());
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    CloseHandle(job);
}

namespace
{

// The processes a Toolhelp snapshot lists, as (id, parent id) pairs.
std::vector<std::pair<DWORD, DWORD>> snapshot_processes()
{
    std::vector<std::pair<DWORD, DWORD>> listed;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    EXPECT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32 entry{};
    for (BOOL found = Process32First(snapshot, &entry); found; found = Process32Next(snapshot, &entry)) {
        listed.emplace_back(entry.th32ProcessID, entry.th32ParentProcessID);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(CloseHandle(snapshot));
    return listed;
}

std::vector<std::uintptr_t> timer_ticks;

void note_tick(HWND, UINT, std::uintptr_t, DWORD time)
{
    timer_ticks.push_back(time);
}

} // namespace

// A child keeps its parent's id in the list after the parent has ended; one
// started with breakaway leaves the job, and only a job that allows it.
TEST_F(sim_programs, a_snapshot_names_parents_and_a_breakaway_child_leaves_the_job)
{
    sim::add_file("C:\\a.exe");
    sim::add_program("C:\\b.exe", [](const sim::started_program&) { return DWORD{5000}; });
    sim::add_program("C:\\a.exe", [](const sim::started_program&) {
        sim::start_child("C:\\b.exe", 0, true);
        return DWORD{100};
    });
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    ASSERT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits));
    STARTUPINFOA startup{STARTF_USESHOWWINDOW, SW_SHOW};
    PROCESS_INFORMATION started{};
    char command_line[] = "\"C:\\a.exe\"";
    ASSERT_TRUE(CreateProcessA("C:\\a.exe", command_line, nullptr, nullptr, 0, CREATE_SUSPENDED, nullptr,
                               nullptr, &startup, &started));
    ASSERT_TRUE(AssignProcessToJobObject(job, started.hProcess));
    ResumeThread(started.hThread);
    Sleep(200);

    const auto listed = snapshot_processes();
    ASSERT_EQ(listed.size(), 3u) << "the system, the patch and the child";
    EXPECT_EQ(listed[1], std::make_pair(sim::PATCH_PROCESS_ID, DWORD{4}));
    EXPECT_EQ(listed[2].second, started.dwProcessId);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    ASSERT_TRUE(QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                          sizeof accounting, nullptr));
    EXPECT_EQ(accounting.ActiveProcesses, 0u) << "the breakaway child is not in the job";

    // Without the limit the breakaway is refused.
    HANDLE strict = CreateJobObjectA(nullptr, nullptr);
    PROCESS_INFORMATION second{};
    ASSERT_TRUE(CreateProcessA("C:\\a.exe", command_line, nullptr, nullptr, 0, CREATE_SUSPENDED, nullptr,
                               nullptr, &startup, &second));
    ASSERT_TRUE(AssignProcessToJobObject(strict, second.hProcess));
    EXPECT_THROW(ResumeThread(second.hThread), std::logic_error);
    for (HANDLE handle : {started.hProcess, started.hThread, second.hProcess, second.hThread, job, strict}) {
        CloseHandle(handle);
    }
}

// The thread timer runs only inside a box's message loop: a timer that fell
// due while no loop ran comes once when a box appears, then at its interval
// while the box stays up.
TEST_F(sim_programs, the_timer_runs_while_a_box_is_up)
{
    timer_ticks.clear();
    const std::uintptr_t id = SetTimer(nullptr, 0, 250, note_tick);
    ASSERT_NE(id, 0u);
    Sleep(1000);
    EXPECT_TRUE(timer_ticks.empty());
    MessageBoxA(nullptr, "at once", "", MB_OK);
    EXPECT_EQ(timer_ticks, std::vector<std::uintptr_t>{1000});
    sim::set_box_wait(1000);
    MessageBoxA(nullptr, "a second", "", MB_OK);
    EXPECT_EQ(timer_ticks, (std::vector<std::uintptr_t>{1000, 1250, 1500, 1750, 2000}));
    EXPECT_TRUE(KillTimer(nullptr, id));
    MessageBoxA(nullptr, "no timer", "", MB_OK);
    EXPECT_EQ(timer_ticks.size(), 5u);
    EXPECT_FALSE(KillTimer(nullptr, id));
}
