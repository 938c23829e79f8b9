// The owners of keys and handles: each closes what it holds once, at the
// end of its scope or at close; a process that ends with owners on its
// stack has its handles closed as the system closes them, without calls of
// its own being counted, failed or killed.
#include "sim/sim.h"

#include <gtest/gtest.h>

using namespace platform;
namespace sim = platform::sim;

namespace
{

constexpr char KEY_PATH[] = "SOFTWARE\\Owners";

class owners : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        sim::reset();
        sim::create_key(HKEY_LOCAL_MACHINE, KEY_PATH);
    }
};

TEST_F(owners, a_key_is_closed_once_at_the_end_of_its_scope_or_at_close)
{
    {
        key_owner key;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, KEY_PATH, key.receive()), ERROR_SUCCESS);
        EXPECT_EQ(sim::open_handle_count(), 1);
        // Opening into an owner that holds a key closes the first one.
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, KEY_PATH, key.receive()), ERROR_SUCCESS);
        EXPECT_EQ(sim::open_handle_count(), 1);
    }
    EXPECT_EQ(sim::open_handle_count(), 0);
    EXPECT_EQ(sim::call_count("RegCloseKey"), 2);

    key_owner key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, KEY_PATH, key.receive()), ERROR_SUCCESS);
    key.close();
    key.close();
    EXPECT_EQ(key.get(), nullptr);
    EXPECT_EQ(sim::call_count("RegCloseKey"), 3);
    EXPECT_EQ(sim::open_handle_count(), 0);
}

TEST_F(owners, a_key_that_failed_to_open_is_never_closed)
{
    {
        key_owner key;
        EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", key.receive()), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(key.get(), nullptr);
    }
    EXPECT_EQ(sim::call_count("RegCloseKey"), 0);
}

TEST_F(owners, null_and_invalid_handles_are_not_handles_and_are_never_closed)
{
    {
        handle_owner none;
        handle_owner invalid(INVALID_HANDLE_VALUE);
        EXPECT_FALSE(none.valid());
        EXPECT_FALSE(invalid.valid());
        invalid.close();
        EXPECT_EQ(invalid.get(), nullptr);
    }
    EXPECT_EQ(sim::call_count("CloseHandle"), 0);

    {
        handle_owner mutex(CreateMutexA(nullptr, 0, "Owned"));
        ASSERT_TRUE(mutex.valid());
        // reset closes the handle held before it takes the new one.
        mutex.reset(OpenMutexA(SYNCHRONIZE, 0, "Owned"));
        ASSERT_TRUE(mutex.valid());
        EXPECT_EQ(sim::call_count("CloseHandle"), 1);
    }
    EXPECT_EQ(sim::call_count("CloseHandle"), 2);
    EXPECT_EQ(sim::open_handle_count(), 0);
}

// ExitProcess runs no destructor on Windows: the system closes the handles.
// The simulation ends a process by unwinding, so the owners close them; the
// calls are the system's and are not counted.
TEST_F(owners, a_process_that_exits_holding_a_key_has_it_closed_by_the_system)
{
    const int code = sim::run_process([]() -> int {
        key_owner key;
        RegOpenKeyA(HKEY_LOCAL_MACHINE, KEY_PATH, key.receive());
        exit_process(3);
    });
    EXPECT_EQ(code, 3);
    EXPECT_EQ(sim::open_handle_count(), 0);
    EXPECT_EQ(sim::call_count("RegCloseKey"), 0);
}

TEST_F(owners, a_killed_process_runs_no_call_of_its_own_after_the_kill)
{
    sim::fail_call("RegCloseKey", 1, ERROR_INVALID_HANDLE);
    sim::kill_after_calls(1);
    const int code = sim::run_process([] {
        key_owner key;
        RegOpenKeyA(HKEY_LOCAL_MACHINE, KEY_PATH, key.receive());
        RegFlushKey(key.get()); // killed here
        return 0;
    });
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(sim::last_run_killed());
    EXPECT_EQ(sim::open_handle_count(), 0);
    EXPECT_EQ(sim::call_count("RegCloseKey"), 0) << "the scripted failure still waits for the next process";
}

// A close cannot throw from a destructor: a kill due at it comes with the
// next call, which is the same moment for everything that lasts.
TEST_F(owners, a_kill_due_at_a_close_comes_with_the_next_call)
{
    sim::kill_after_calls(1);
    bool reached_next_call = false;
    const int code = sim::run_process([&reached_next_call] {
        {
            key_owner key;
            RegOpenKeyA(HKEY_LOCAL_MACHINE, KEY_PATH, key.receive());
        } // the close is the call at which the kill is due
        reached_next_call = true;
        RegFlushKey(HKEY_LOCAL_MACHINE);
        return 0;
    });
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(sim::last_run_killed());
    EXPECT_TRUE(reached_next_call);
    EXPECT_EQ(sim::open_handle_count(), 0);
}

} // namespace
