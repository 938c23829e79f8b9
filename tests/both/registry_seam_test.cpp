// The registry calls of the seam, checked against what Windows does: error
// codes, required sizes, in/out length conventions, enumeration order,
// names without regard to case, and the narrow calls' code page 1252
// conversion. Everything happens below SCRATCH_KEY in HKEY_LOCAL_MACHINE.
#include "both.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace platform;

namespace
{

constexpr BYTE POISON = 0xbd;
constexpr LONG ERROR_BAD_PATHNAME = 161;

class registry_seam_test : public both_backends_test
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

    HKEY create(const char* path)
    {
        HKEY key = nullptr;
        EXPECT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(scratch, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        return key;
    }
    void set_sz(HKEY key, const char* name, const char* text)
    {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                                static_cast<DWORD>(std::strlen(text) + 1)));
    }
    void set_sz_w(HKEY key, const char16_t* name, const std::u16string& text_with_nul)
    {
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text_with_nul.data()),
                                 static_cast<DWORD>(text_with_nul.size() * 2)));
    }

    HKEY scratch = nullptr;
};

std::vector<std::string> enum_key_names(HKEY key)
{
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof(name);
        LONG r = RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (r != ERROR_SUCCESS) {
            EXPECT_EQ(ERROR_NO_MORE_ITEMS, r);
            return names;
        }
        names.emplace_back(name, length);
    }
}

std::vector<std::string> enum_value_names(HKEY key)
{
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof(name);
        LONG r = RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (r != ERROR_SUCCESS) {
            EXPECT_EQ(ERROR_NO_MORE_ITEMS, r);
            return names;
        }
        names.emplace_back(name, length);
    }
}

bool untouched_from(const BYTE* buffer, std::size_t from, std::size_t size)
{
    for (std::size_t i = from; i < size; ++i) {
        if (buffer[i] != POISON)
            return false;
    }
    return true;
}

} // namespace

TEST_F(registry_seam_test, create_makes_intermediate_keys_and_reports_disposition)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch, "a\\b\\c", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                             &disposition));
    EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(scratch, "A\\B\\C\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, &disposition));
    EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
    RegCloseKey(key);

    HKEY middle = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(scratch, "a\\b", &middle));
    EXPECT_EQ((std::vector<std::string>{"c"}), enum_key_names(middle));
    RegCloseKey(middle);
}

TEST_F(registry_seam_test, open_of_a_missing_key_fails_and_clears_the_result)
{
    HKEY key = reinterpret_cast<HKEY>(static_cast<std::intptr_t>(0x1234));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyA(scratch, "missing\\deeper", &key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyA(scratch, "missing", &key));
    EXPECT_TRUE(enum_key_names(scratch).empty()) << "a failed open creates nothing";
}

TEST_F(registry_seam_test, open_with_an_empty_subkey_returns_the_same_handle)
{
    HKEY same = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(scratch, "", &same));
    EXPECT_EQ(scratch, same);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(scratch, nullptr, &same));
    EXPECT_EQ(scratch, same);
}

TEST_F(registry_seam_test, a_leading_backslash_is_refused)
{
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_BAD_PATHNAME,
              RegCreateKeyExA(scratch, "\\lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_TRUE(enum_key_names(scratch).empty());
}

TEST_F(registry_seam_test, key_and_value_names_ignore_case)
{
    HKEY key = create("MixedCase");
    set_sz(key, "ValueName", "first");
    set_sz(key, "VALUENAME", "second");
    RegCloseKey(key);

    HKEY again = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(scratch, "mixedCASE", &again));
    char data[16];
    DWORD size = sizeof(data);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExA(again, "valuename", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size));
    EXPECT_STREQ("second", data);
    EXPECT_EQ((std::vector<std::string>{"ValueName"}), enum_value_names(again))
        << "overwriting keeps the first spelling";
    RegCloseKey(again);
}

// Windows enumerates values in creation order but Wine sorts them by name,
// so this test looks at which values there are; the simulation's own tests
// pin down the order.
TEST_F(registry_seam_test, deleting_a_value_removes_it_alone)
{
    set_sz(scratch, "zeta", "1");
    set_sz(scratch, "Alpha", "2");
    set_sz(scratch, "mid", "3");
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(scratch, "ALPHA"));
    std::vector<std::string> names = enum_value_names(scratch);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"mid", "zeta"}), names);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueA(scratch, "alpha"));
}

TEST_F(registry_seam_test, subkeys_enumerate_sorted_without_regard_to_case)
{
    for (const char* name : {"gamma", "Beta", "alpha", "ALPHA2", "delta"})
        RegCloseKey(create(name));
    EXPECT_EQ((std::vector<std::string>{"alpha", "ALPHA2", "Beta", "delta", "gamma"}),
              enum_key_names(scratch));
}

TEST_F(registry_seam_test, query_reports_the_size_when_asked_without_a_buffer)
{
    set_sz(scratch, "text", "hello");
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(scratch, "text", nullptr, &type, nullptr, &size));
    EXPECT_EQ(REG_SZ, type);
    EXPECT_EQ(6u, size);
    size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(scratch, u"text", nullptr, &type, nullptr, &size));
    EXPECT_EQ(12u, size) << "the wide form counts UTF-16 bytes";
}

TEST_F(registry_seam_test, query_into_a_small_buffer_reports_more_data_and_writes_nothing)
{
    set_sz(scratch, "text", "hello");
    BYTE buffer[16];
    std::memset(buffer, POISON, sizeof(buffer));
    DWORD size = 5;
    DWORD type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(scratch, "text", nullptr, &type, buffer, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(REG_SZ, type);
    EXPECT_TRUE(untouched_from(buffer, 0, sizeof(buffer)));

    size = 6;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(scratch, "text", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(0, std::memcmp(buffer, "hello", 6));
    EXPECT_TRUE(untouched_from(buffer, 6, sizeof(buffer)));
}

TEST_F(registry_seam_test, query_of_a_missing_value_or_key_handle)
{
    BYTE buffer[8];
    DWORD size = sizeof(buffer);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(scratch, "absent", nullptr, nullptr, buffer, &size));
    EXPECT_EQ(sizeof(buffer), size) << "a failed query leaves the size alone";

    HKEY key = create("closed");
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegQueryValueExA(key, "x", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
}

TEST_F(registry_seam_test, a_wide_string_stored_without_terminator_gets_one_when_there_is_room)
{
    // Windows looks one character past the size it is given and counts a
    // terminator it finds there; the "d" keeps it from doing so.
    const char16_t name[] = u"bare";
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExW(scratch, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(u"abcd"), 6));
    BYTE buffer[12];
    std::memset(buffer, POISON, sizeof(buffer));
    DWORD size = sizeof(buffer);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(scratch, name, nullptr, nullptr, buffer, &size));
    EXPECT_EQ(6u, size) << "the stored size, without the added terminator";
    EXPECT_EQ(0, std::memcmp(buffer, u"abc", 6));
    EXPECT_EQ(0, buffer[6]);
    EXPECT_EQ(0, buffer[7]);
    EXPECT_TRUE(untouched_from(buffer, 8, sizeof(buffer)));
}

TEST_F(registry_seam_test, data_of_every_type_round_trips_byte_for_byte)
{
    const BYTE binary[] = {0, 1, 2, 0xff};
    const BYTE dword[] = {0x78, 0x56, 0x34, 0x12};
    const char multi[] = "one\0two\0";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch, "bin", 0, REG_BINARY, binary, sizeof(binary)));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch, "empty", 0, REG_BINARY, nullptr, 0));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch, "dw", 0, REG_DWORD, dword, sizeof(dword)));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch, "multi", 0, REG_MULTI_SZ,
                                            reinterpret_cast<const BYTE*>(multi), sizeof(multi)));
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(scratch, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("dflt"), 5));

    struct expected_value {
        const char* name;
        DWORD type;
        std::vector<BYTE> data;
    };
    const expected_value expected[] = {
        {"bin", REG_BINARY, {0, 1, 2, 0xff}},
        {"empty", REG_BINARY, {}},
        {"dw", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {"multi", REG_MULTI_SZ, std::vector<BYTE>(multi, multi + sizeof(multi))},
        {"", REG_SZ, {'d', 'f', 'l', 't', 0}},
    };
    for (const expected_value& e : expected) {
        SCOPED_TRACE(e.name);
        BYTE buffer[32];
        DWORD size = sizeof(buffer);
        DWORD type = 0;
        ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(scratch, e.name, nullptr, &type, buffer, &size));
        EXPECT_EQ(e.type, type);
        EXPECT_EQ(e.data, std::vector<BYTE>(buffer, buffer + size));
    }
    DWORD size = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(scratch, u"multi", nullptr, nullptr, nullptr, &size));
    EXPECT_EQ(2 * sizeof(multi), size) << "multi-strings are stored as UTF-16";
}

TEST_F(registry_seam_test, narrow_calls_turn_unrepresentable_characters_into_question_marks)
{
    // U+4E2D and U+0416 have no code page 1252 form; the euro sign is 0x80.
    const std::u16string text = u"A\u4E2D\u20AC\u0416z";
    set_sz_w(scratch, u"wide\u4E2D", text + u'\0');

    char name[16];
    DWORD name_length = sizeof(name);
    BYTE data[16];
    DWORD size = sizeof(data);
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(scratch, 0, name, &name_length, nullptr, nullptr, data, &size));
    EXPECT_EQ(std::string("wide?"), std::string(name, name_length));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(0, std::memcmp(data, "A?\x80?z", 6));

    WCHAR wide[16];
    size = sizeof(wide);
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(scratch, u"WIDE\u4E2D", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(wide), &size));
    EXPECT_EQ((text.size() + 1) * 2, size);
    EXPECT_EQ(text, std::u16string(wide));
}

TEST_F(registry_seam_test, narrow_strings_are_stored_as_utf16)
{
    set_sz(scratch, "euro", "\x80 5");
    WCHAR wide[8];
    DWORD size = sizeof(wide);
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(scratch, u"euro", nullptr, nullptr, reinterpret_cast<BYTE*>(wide), &size));
    EXPECT_EQ(8u, size);
    EXPECT_EQ(std::u16string(u"\u20AC 5"), std::u16string(wide));
}

// How an enumeration answers for a name buffer of a given size, in
// characters with the terminator: sizes up to the name's length are too
// small; from length + 1 on the name fits and its length comes back.
struct name_buffer_case {
    const char* label;
    int extra; // buffer size minus the name's length
    LONG expected;
};

class enumeration_name_buffer : public registry_seam_test,
                                public ::testing::WithParamInterface<name_buffer_case>
{
  protected:
    static constexpr const char* name = "Seventeen-chars-x";
    DWORD buffer_size() const { return static_cast<DWORD>(std::strlen(name) + GetParam().extra); }
};

TEST_P(enumeration_name_buffer, value_names_narrow)
{
    set_sz(scratch, name, "v");
    char buffer[64];
    std::memset(buffer, POISON, sizeof(buffer));
    DWORD length = buffer_size();
    LONG r = RegEnumValueA(scratch, 0, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(GetParam().expected, r);
    if (r != ERROR_SUCCESS) {
        GTEST_SKIP() << "after an overflow the name buffer's content differs between Windows versions: "
                        "only the result is checked";
    }
    EXPECT_EQ(std::strlen(name), length);
    EXPECT_STREQ(name, buffer);
    EXPECT_TRUE(untouched_from(reinterpret_cast<BYTE*>(buffer), length + 1, sizeof(buffer)));
}

TEST_P(enumeration_name_buffer, value_names_wide)
{
    set_sz(scratch, name, "v");
    WCHAR buffer[64];
    std::memset(buffer, POISON, sizeof(buffer));
    DWORD length = buffer_size();
    DWORD size_in = length;
    LONG r = RegEnumValueW(scratch, 0, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(GetParam().expected, r);
    if (r != ERROR_SUCCESS) {
        EXPECT_EQ(size_in, length) << "an overflow leaves the length alone";
        EXPECT_TRUE(untouched_from(reinterpret_cast<BYTE*>(buffer), 0, sizeof(buffer)));
        return;
    }
    EXPECT_EQ(std::strlen(name), length);
    EXPECT_EQ(0, buffer[length]);
    EXPECT_TRUE(untouched_from(reinterpret_cast<BYTE*>(buffer), (length + 1) * 2, sizeof(buffer)));
}

TEST_P(enumeration_name_buffer, key_names_narrow)
{
    RegCloseKey(create(name));
    char buffer[64];
    std::memset(buffer, POISON, sizeof(buffer));
    DWORD length = buffer_size();
    LONG r = RegEnumKeyExA(scratch, 0, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(GetParam().expected, r);
    if (r != ERROR_SUCCESS) {
        GTEST_SKIP() << "after an overflow the name buffer's content differs between Windows versions: "
                        "only the result is checked";
    }
    EXPECT_EQ(std::strlen(name), length);
    EXPECT_STREQ(name, buffer);
    EXPECT_TRUE(untouched_from(reinterpret_cast<BYTE*>(buffer), length + 1, sizeof(buffer)));
}

TEST_P(enumeration_name_buffer, key_names_wide)
{
    RegCloseKey(create(name));
    WCHAR buffer[64];
    std::memset(buffer, POISON, sizeof(buffer));
    DWORD length = buffer_size();
    LONG r = RegEnumKeyExW(scratch, 0, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(GetParam().expected, r);
    if (r != ERROR_SUCCESS) {
        GTEST_SKIP() << "after an overflow the name buffer's content differs between Windows versions: "
                        "only the result is checked";
    }
    EXPECT_EQ(std::strlen(name), length);
    EXPECT_EQ(0, buffer[length]);
    EXPECT_TRUE(untouched_from(reinterpret_cast<BYTE*>(buffer), (length + 1) * 2, sizeof(buffer)));
}

INSTANTIATE_TEST_SUITE_P(sizes, enumeration_name_buffer,
                         ::testing::Values(name_buffer_case{"one_short", -1, ERROR_MORE_DATA},
                                           name_buffer_case{"no_room_for_nul", 0, ERROR_MORE_DATA},
                                           name_buffer_case{"exact", 1, ERROR_SUCCESS},
                                           name_buffer_case{"roomy", 20, ERROR_SUCCESS}),
                         [](const ::testing::TestParamInfo<name_buffer_case>& info) {
                             return info.param.label;
                         });

TEST_F(registry_seam_test, enumerating_value_data_into_a_small_buffer_reports_the_size)
{
    set_sz(scratch, "v", "hello");
    char name[8];
    DWORD name_length = sizeof(name);
    BYTE data[16];
    std::memset(data, POISON, sizeof(data));
    DWORD size = 3;
    DWORD type = 0;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueA(scratch, 0, name, &name_length, nullptr, &type, data, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(REG_SZ, type);
    EXPECT_TRUE(untouched_from(data, 0, sizeof(data)));

    // The sizing call: no data buffer, any size.
    name_length = sizeof(name);
    size = 99999;
    ASSERT_EQ(ERROR_SUCCESS, RegEnumValueA(scratch, 0, name, &name_length, nullptr, &type, nullptr, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(1u, name_length);
}

TEST_F(registry_seam_test, enumeration_past_the_end_has_no_more_items)
{
    set_sz(scratch, "only", "x");
    RegCloseKey(create("only"));
    char name[16];
    DWORD length = sizeof(name);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumValueA(scratch, 1, name, &length, nullptr, nullptr, nullptr, nullptr));
    length = sizeof(name);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS,
              RegEnumKeyExA(scratch, 1, name, &length, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(registry_seam_test, query_info_counts_characters_and_wide_data_bytes)
{
    HKEY key = create("info");
    RegCloseKey(create("info\\short"));
    RegCloseKey(create("info\\a-longer-name"));
    set_sz(key, "", "data");
    set_sz(key, "value one", "first value data");
    const BYTE four[] = {1, 2, 3, 4};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "bin", 0, REG_BINARY, four, sizeof(four)));

    DWORD sub_keys = 0, max_key = 0, values = 0, max_name = 0, max_data = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &sub_keys, &max_key, nullptr,
                                              &values, &max_name, &max_data, nullptr, nullptr));
    EXPECT_EQ(2u, sub_keys);
    EXPECT_EQ(std::strlen("a-longer-name"), max_key);
    EXPECT_EQ(3u, values);
    EXPECT_EQ(std::strlen("value one"), max_name);
    EXPECT_EQ(sizeof("first value data") * 2, max_data);
    RegCloseKey(key);
}

TEST_F(registry_seam_test, a_key_name_of_255_characters_is_allowed)
{
    std::string name(255, 'k');
    HKEY key = create(name.c_str());
    ASSERT_NE(nullptr, key);
    RegCloseKey(key);
    EXPECT_EQ((std::vector<std::string>{name}), enum_key_names(scratch));
}

TEST_F(registry_seam_test, delete_tree_removes_everything_below_and_fails_for_a_missing_key)
{
    RegCloseKey(create("tree\\branch\\leaf"));
    HKEY branch = create("tree\\branch");
    set_sz(branch, "v", "x");
    ASSERT_EQ(ERROR_SUCCESS, SHDeleteKeyA(scratch, "TREE"));
    EXPECT_TRUE(enum_key_names(scratch).empty());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, static_cast<LONG>(SHDeleteKeyA(scratch, "tree")));

    // The open handle now names a deleted key.
    EXPECT_EQ(ERROR_KEY_DELETED,
              RegSetValueExA(branch, "w", 0, REG_SZ, reinterpret_cast<const BYTE*>("y"), 2));
    char name[8];
    DWORD length = sizeof(name);
    EXPECT_EQ(ERROR_KEY_DELETED, RegEnumValueA(branch, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(branch));
}

TEST_F(registry_seam_test, registry_calls_leave_the_last_error_alone)
{
    SetLastError(0xdeadbeef);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyA(scratch, "missing", &key));
    BYTE data[1];
    DWORD size = sizeof(data);
    set_sz(scratch, "long", "longer than one byte");
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(scratch, "long", nullptr, nullptr, data, &size));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, static_cast<LONG>(SHDeleteKeyA(scratch, "missing")));
    EXPECT_EQ(0xdeadbeefu, GetLastError());
}
