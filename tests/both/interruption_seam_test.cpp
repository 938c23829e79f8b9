// The seam calls that keep an interruption harmless, checked against what
// Windows does: RegRenameKey moves a key with everything below it in one
// step and refuses a name that is taken; a named mutex tells a second opener
// that it exists, and goes with its last handle. Where the system has no
// usable RegRenameKey (before Vista, and under Wine, whose rename breaks the
// swap's sequence below), the seam says so and the rename tests are skipped.
#include "both.h"

#include <cstring>

using namespace platform;

namespace
{

class interruption_seam_test : public both_backends_test
{
  protected:
    void SetUp() override
    {
        both_backends_test::SetUp();
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, SCRATCH_KEY, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &scratch, nullptr));
    }
    void TearDown() override
    {
        RegCloseKey(scratch);
        both_backends_test::TearDown();
    }

    void create_with_value(const char* path, const char* text)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(scratch, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                                static_cast<DWORD>(std::strlen(text) + 1)));
        RegCloseKey(key);
    }

    std::string value_of(const char* path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyA(scratch, path, &key) != ERROR_SUCCESS) {
            return "<no key>";
        }
        char text[64] = "";
        DWORD size = sizeof text;
        const LONG result =
            RegQueryValueExA(key, "Name", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
        RegCloseKey(key);
        return result == ERROR_SUCCESS ? std::string(text) : "<no value>";
    }

    // Skips the test where renaming is not to be had.
    bool rename_available()
    {
        create_with_value("Probe", "probe");
        return RegRenameKey(scratch, u"Probe", u"Probe2") != ERROR_CALL_NOT_IMPLEMENTED;
    }

    HKEY scratch = nullptr;
};

#define SKIP_WITHOUT_RENAME()                                                                                \
    if (!rename_available()) {                                                                               \
        GTEST_SKIP() << "no usable RegRenameKey on this system";                                             \
    }

TEST_F(interruption_seam_test, a_renamed_key_keeps_its_values_and_subkeys)
{
    SKIP_WITHOUT_RENAME();
    create_with_value("Old", "top");
    create_with_value("Old\\Child", "below");
    ASSERT_EQ(ERROR_SUCCESS, RegRenameKey(scratch, u"Old", u"New"));
    EXPECT_EQ(value_of("Old"), "<no key>");
    EXPECT_EQ(value_of("New"), "top");
    EXPECT_EQ(value_of("New\\Child"), "below");
}

// The uninstall key holds many entries: a renamed one must be found under
// its new name wherever that sorts among them.
TEST_F(interruption_seam_test, a_renamed_key_is_found_among_its_siblings)
{
    SKIP_WITHOUT_RENAME();
    for (const char* name : {"{1}", "{5F}", "{7A}", "{C4}", "{E0}"}) {
        create_with_value(name, name);
    }
    ASSERT_EQ(ERROR_SUCCESS, RegRenameKey(scratch, u"{5F}", u"{D0}"));
    EXPECT_EQ(value_of("{D0}"), "{5F}");
    EXPECT_EQ(value_of("{5F}"), "<no key>");
    for (const char* name : {"{1}", "{7A}", "{C4}", "{E0}"}) {
        EXPECT_EQ(value_of(name), name);
    }
    ASSERT_EQ(ERROR_SUCCESS, RegRenameKey(scratch, u"{D0}", u"{0}"));
    EXPECT_EQ(value_of("{0}"), "{5F}");
}

// The swap's sequence: a name renamed away, made again, renamed away again,
// and the first key renamed back to it.
TEST_F(interruption_seam_test, a_name_renamed_away_can_be_taken_again)
{
    SKIP_WITHOUT_RENAME();
    create_with_value("{5F}", "first");
    create_with_value("{5F}\\Components", "first files");
    ASSERT_EQ(ERROR_SUCCESS, RegRenameKey(scratch, u"{5F}", u"{00}"));
    create_with_value("{5F}", "second");
    ASSERT_EQ(ERROR_SUCCESS, RegRenameKey(scratch, u"{5F}", u"{C4}"));
    ASSERT_EQ(ERROR_SUCCESS, RegRenameKey(scratch, u"{00}", u"{5F}"));
    EXPECT_EQ(value_of("{5F}"), "first");
    EXPECT_EQ(value_of("{5F}\\Components"), "first files");
    EXPECT_EQ(value_of("{C4}"), "second");
    EXPECT_EQ(value_of("{00}"), "<no key>");
}

TEST_F(interruption_seam_test, a_rename_onto_a_taken_name_is_refused_and_changes_nothing)
{
    SKIP_WITHOUT_RENAME();
    create_with_value("Old", "first");
    create_with_value("Taken", "second");
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegRenameKey(scratch, u"Old", u"Taken"));
    EXPECT_EQ(value_of("Old"), "first");
    EXPECT_EQ(value_of("Taken"), "second");
}

TEST_F(interruption_seam_test, a_missing_key_cannot_be_renamed)
{
    SKIP_WITHOUT_RENAME();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegRenameKey(scratch, u"Missing", u"New"));
    EXPECT_EQ(value_of("New"), "<no key>");
}

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
