// The owners of keys and handles against what Windows does with them: the
// key or handle works while its owner holds it and is gone, for the
// system, once the owner has gone.
#include "both.h"

using namespace platform;

namespace
{

constexpr char OWNED_MUTEX[] = "Kestova-Patch-owner-test";

class owner_seam_test : public both_backends_test
{
};

TEST_F(owner_seam_test, a_key_works_while_its_owner_holds_it_and_is_closed_after)
{
    HKEY raw = nullptr;
    {
        key_owner key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, SCRATCH_KEY, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, key.receive(), nullptr));
        raw = key.get();
        EXPECT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(key.get(), "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2));
    }
    // Closing it again is refused: the owner closed it.
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(raw));
}

// The last handle of a named mutex closed, the system destroys it: no other
// program can open it any more.
TEST_F(owner_seam_test, a_mutex_is_destroyed_when_its_only_owner_closes_it)
{
    {
        const handle_owner mutex(CreateMutexA(nullptr, 0, OWNED_MUTEX));
        ASSERT_TRUE(mutex.valid());
        const handle_owner opened(OpenMutexA(SYNCHRONIZE, 0, OWNED_MUTEX));
        EXPECT_TRUE(opened.valid());
    }
    const handle_owner after(OpenMutexA(SYNCHRONIZE, 0, OWNED_MUTEX));
    EXPECT_FALSE(after.valid());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

} // namespace
