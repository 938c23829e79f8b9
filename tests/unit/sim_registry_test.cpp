// The simulated registry's own parts: the setup and inspection helpers,
// access rights of handles, name limits and the journal of changes.
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace platform;
namespace sim = platform::sim;

namespace
{

class sim_registry : public ::testing::Test
{
  protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override { EXPECT_EQ(0, sim::open_handle_count()); }
};

} // namespace

TEST_F(sim_registry, helpers_store_utf16_and_read_back_utf8)
{
    sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Name", "caf\xc3\xa9");
    const auto value = sim::get_value(HKEY_LOCAL_MACHINE, "software\\t", "NAME");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(REG_SZ, value->type);
    EXPECT_EQ((std::vector<BYTE>{'c', 0, 'a', 0, 'f', 0, 0xe9, 0, 0, 0}), value->data);
    EXPECT_EQ("caf\xc3\xa9", sim::get_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Name"));
    sim::set_dword(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Count", 0x01020304);
    EXPECT_EQ(std::nullopt, sim::get_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Count"))
        << "not a string type";
    EXPECT_EQ(std::nullopt, sim::get_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Missing"));
}

// Windows lists values in creation order (Wine sorts them by name); a value
// set again keeps its place.
TEST_F(sim_registry, values_enumerate_in_creation_order)
{
    for (const char* name : {"zeta", "Alpha", "mid", "ZETA"})
        sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\V", name, "x");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\V", &key));
    std::vector<std::string> names;
    char name[16];
    DWORD length = sizeof(name);
    for (DWORD i = 0;
         RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, length = sizeof(name))
        names.push_back(name);
    RegCloseKey(key);
    EXPECT_EQ((std::vector<std::string>{"zeta", "Alpha", "mid"}), names);
}

TEST_F(sim_registry, dump_tree_compares_copies_byte_for_byte)
{
    for (const char* root : {"SOFTWARE\\A", "SOFTWARE\\B"}) {
        sim::set_string(HKEY_LOCAL_MACHINE, std::string(root) + "\\sub", "", "default");
        sim::set_dword(HKEY_LOCAL_MACHINE, root, "n", 1);
    }
    EXPECT_EQ(sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE\\A"),
              sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE\\B"));
    sim::set_dword(HKEY_LOCAL_MACHINE, "SOFTWARE\\B\\sub", "extra", 2);
    EXPECT_NE(sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE\\A"),
              sim::dump_tree(HKEY_LOCAL_MACHINE, "SOFTWARE\\B"));
    EXPECT_EQ((std::vector<std::string>{"A", "B"}), sim::subkeys(HKEY_LOCAL_MACHINE, "SOFTWARE"));
}

TEST_F(sim_registry, a_handle_holds_only_the_rights_it_was_opened_with)
{
    sim::create_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\R");
    HKEY read = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\R", 0, KEY_READ, &read));
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegSetValueExA(read, "v", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2));
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteValueA(read, "v"));
    DWORD values = 7;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyW(read, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                              &values, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, values);
    RegCloseKey(read);

    HKEY write = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\R", 0, KEY_SET_VALUE, &write));
    char name[8];
    DWORD length = sizeof(name);
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              RegEnumKeyExA(write, 0, name, &length, nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(write);
}

TEST_F(sim_registry, names_longer_than_the_registry_allows_are_refused)
{
    HKEY key = nullptr;
    const std::string long_key(256, 'k');
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("SOFTWARE\\" + long_key).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE")) << "nothing is created on the way";

    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    const std::string longest(REGISTRY_MAX_VALUE_NAME, 'v');
    const std::string too_long(REGISTRY_MAX_VALUE_NAME + 1, 'v');
    const BYTE data[] = {1};
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, longest.c_str(), 0, REG_BINARY, data, 1));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExA(key, too_long.c_str(), 0, REG_BINARY, data, 1));
    RegCloseKey(key);
}

TEST_F(sim_registry, create_journals_every_key_it_makes)
{
    sim::create_key(HKEY_CURRENT_USER, "Software");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, u"software\\A\\B", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    EXPECT_EQ((std::vector<std::string>{"create key HKCU\\Software\\A", "create key HKCU\\Software\\A\\B"}),
              sim::journal());
    EXPECT_EQ(ERROR_SUCCESS, static_cast<LONG>(SHDeleteKeyW(HKEY_CURRENT_USER, u"Software\\a")));
    EXPECT_EQ("delete key HKCU\\Software\\A", sim::journal().back());
    EXPECT_EQ(ERROR_ACCESS_DENIED, static_cast<LONG>(SHDeleteKeyA(HKEY_CURRENT_USER, "")))
        << "a root cannot be deleted";
}

// SHDeleteKey deletes the subkeys first and the key itself last: a failure
// there leaves the key with its values and without its subkeys.
TEST_F(sim_registry, a_failed_tree_deletion_has_deleted_the_subkeys_already)
{
    sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\A\\B", "V", "b");
    sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T\\C", "V", "c");
    sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Kept", "t");
    sim::fail_call("SHDeleteKeyA", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T"));
    EXPECT_TRUE(sim::subkeys(HKEY_LOCAL_MACHINE, "SOFTWARE\\T").empty());
    EXPECT_EQ("t", sim::get_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Kept"));
    EXPECT_EQ(ERROR_SUCCESS, static_cast<LONG>(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T")));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\T"));
}

// A power cut brings the registry back to its last flush and keeps files.
TEST_F(sim_registry, a_power_cut_drops_registry_changes_since_the_last_flush_and_keeps_files)
{
    sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Old", "1");
    sim::write_registry_to_disc();
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", &key));
    const BYTE flushed[] = "2";
    const BYTE lost[] = "3";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Flushed", 0, REG_SZ, flushed, sizeof flushed));
    ASSERT_EQ(ERROR_SUCCESS, RegFlushKey(key));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Lost", 0, REG_SZ, lost, sizeof lost));
    ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(key));
    sim::add_file("C:\\Kept.txt", {1});
    sim::power_cut();
    EXPECT_EQ("1", sim::get_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Old"));
    EXPECT_EQ("2", sim::get_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Flushed"));
    EXPECT_FALSE(sim::get_value(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", "Lost"));
    EXPECT_TRUE(sim::file_exists("C:\\Kept.txt"));
}
