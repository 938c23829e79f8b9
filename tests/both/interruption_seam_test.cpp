// The seam calls that keep an interruption harmless, checked against what
// Windows does: a named mutex tells a second opener that it exists, and goes
// with its last handle.
#include "both.h"

using namespace platform;

namespace
{

class interruption_seam_test : public both_backends_test
{
};

TEST_F(interruption_seam_test, a_second_opener_of_a_named_mutex_is_told_it_exists)
{
    const char name[] = "Kestova-Tests-Run-Mutex";
    HANDLE first = CreateMutexA(nullptr, 0, name);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE second = CreateMutexA(nullptr, 0, name);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(first));

    // With every handle closed the name is free again.
    HANDLE again = CreateMutexA(nullptr, 0, name);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(CloseHandle(again));
}

} // namespace
