// The registry subtree copy, on the simulated machine and on the real registry.
#include "both.h"
#include "registry/registry.h"
#include "registry_tree.h"

#include <random>
#include <string>

using namespace platform;

namespace
{

class registry_copy : public both_backends_test
{
  protected:
    std::string source = std::string(SCRATCH_KEY) + "\\Source";
    std::string dest = std::string(SCRATCH_KEY) + "\\Copy";
    std::u16string wide_source = tree::widen(source);
    std::u16string wide_dest = tree::widen(dest);

    void copy() { ASSERT_EQ(copy_registry_tree(HKEY_LOCAL_MACHINE, source.c_str(), dest.c_str()), 1); }
};

TEST_F(registry_copy, an_empty_key_gives_an_empty_destination_key)
{
    HKEY key = tree::create(wide_source);
    ASSERT_NE(key, nullptr);
    RegCloseKey(key);
    copy();
    EXPECT_EQ(tree::dump(wide_dest), "[]\n");
    EXPECT_EQ(tree::dump(wide_source), "[]\n");
}

TEST_F(registry_copy, every_value_arrives_with_its_name_type_and_bytes)
{
    const std::u16string non_ansi =
        u"\u041a\u0435\u0441\u0442\u043e\u0432\u0430 \u30b2\u30fc\u30e0 \U0001F3AE";
    ASSERT_TRUE(tree::set(wide_source, u"", REG_SZ, tree::utf16_bytes(u"default value")));
    ASSERT_TRUE(tree::set(wide_source, u"DisplayName", REG_SZ, tree::utf16_bytes(u"Kestova 3")));
    ASSERT_TRUE(tree::set(wide_source, u"Localised", REG_SZ, tree::utf16_bytes(non_ansi)));
    ASSERT_TRUE(tree::set(wide_source, non_ansi, REG_EXPAND_SZ, tree::utf16_bytes(u"%ProgramFiles%\\x")));
    ASSERT_TRUE(tree::set(wide_source, u"Empty", REG_BINARY, {}));
    ASSERT_TRUE(tree::set(wide_source, u"EmptyString", REG_SZ, {}));
    ASSERT_TRUE(tree::set(wide_source, u"NoTerminator", REG_SZ, {'a', 0, 'b', 0}));
    ASSERT_TRUE(tree::set(wide_source, u"Odd", REG_SZ, {'a', 0, 'b'}));
    ASSERT_TRUE(tree::set(wide_source, u"Size", REG_DWORD, {0x78, 0x56, 0x34, 0x12}));
    ASSERT_TRUE(tree::set(wide_source, u"Big", REG_DWORD_BIG_ENDIAN, {0x12, 0x34, 0x56, 0x78}));
    ASSERT_TRUE(tree::set(wide_source, u"Q", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(tree::set(wide_source, u"Multi", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    ASSERT_TRUE(tree::set(wide_source, u"Odd type", 0x12345678, {9, 9}));
    std::vector<BYTE> large(300000);
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<BYTE>(i * 7);
    }
    ASSERT_TRUE(tree::set(wide_source, u"Large", REG_BINARY, large));
    ASSERT_TRUE(tree::set(wide_source, std::u16string(300, u'n'), REG_SZ, tree::utf16_bytes(u"long name")));
    ASSERT_TRUE(tree::set(wide_source, std::u16string(REGISTRY_MAX_VALUE_NAME, u'm'), REG_SZ,
                          tree::utf16_bytes(u"longest name")));
    ASSERT_TRUE(tree::set(wide_source, u"After the long names", REG_SZ, tree::utf16_bytes(u"still copied")));

    const std::string before = tree::dump(wide_source);
    copy();
    EXPECT_EQ(tree::dump(wide_dest), before);
    EXPECT_EQ(tree::dump(wide_source), before);
}

TEST_F(registry_copy, subkeys_at_any_depth_and_with_long_or_non_ansi_names_are_copied)
{
    const std::u16string long_name(200, u'k');
    const std::u16string longest_name(REGISTRY_MAX_KEY_NAME, u'L');
    ASSERT_TRUE(tree::set(wide_source + u"\\B", u"b", REG_SZ, tree::utf16_bytes(u"in B")));
    ASSERT_TRUE(tree::set(wide_source + u"\\B\\C", u"c", REG_DWORD, {1, 0, 0, 0}));
    ASSERT_TRUE(tree::set(wide_source + u"\\B\\C\\D\\E\\F", u"", REG_SZ, tree::utf16_bytes(u"deep")));
    ASSERT_TRUE(tree::set(wide_source + u"\\" + long_name, u"x", REG_SZ, tree::utf16_bytes(u"long")));
    ASSERT_TRUE(tree::set(wide_source + u"\\" + longest_name, u"x", REG_SZ, tree::utf16_bytes(u"longest")));
    ASSERT_TRUE(
        tree::set(wide_source + u"\\\u00c9t\u00e9 \u6771\u4eac", u"x", REG_SZ, tree::utf16_bytes(u"k")));
    HKEY empty = tree::create(wide_source + u"\\Empty");
    ASSERT_NE(empty, nullptr);
    RegCloseKey(empty);

    const std::string before = tree::dump(wide_source);
    copy();
    EXPECT_EQ(tree::dump(wide_dest), before);
    EXPECT_TRUE(tree::exists(wide_dest + u"\\" + longest_name));
}

TEST_F(registry_copy, an_existing_destination_is_merged_into)
{
    ASSERT_TRUE(tree::set(wide_source, u"Shared", REG_SZ, tree::utf16_bytes(u"from source")));
    ASSERT_TRUE(tree::set(wide_source + u"\\Sub", u"s", REG_SZ, tree::utf16_bytes(u"source sub")));
    ASSERT_TRUE(tree::set(wide_dest, u"Shared", REG_DWORD, {1, 0, 0, 0}));
    ASSERT_TRUE(tree::set(wide_dest, u"Only in destination", REG_SZ, tree::utf16_bytes(u"stays")));
    ASSERT_TRUE(tree::set(wide_dest + u"\\Own", u"o", REG_SZ, tree::utf16_bytes(u"stays too")));

    copy();

    tree::set(wide_source, u"Only in destination", REG_SZ, tree::utf16_bytes(u"stays"));
    tree::set(wide_source + u"\\Own", u"o", REG_SZ, tree::utf16_bytes(u"stays too"));
    // The destination now holds the union, with the source's value winning.
    const std::string dest_dump = tree::dump(wide_dest);
    EXPECT_NE(dest_dump.find(tree::hex(u"Shared") + " type=1 "), std::string::npos);
    EXPECT_NE(dest_dump.find(tree::hex(u"Only in destination") + " type=1 "), std::string::npos);
    EXPECT_TRUE(tree::exists(wide_dest + u"\\Own"));
    EXPECT_TRUE(tree::exists(wide_dest + u"\\Sub"));
}

// Random trees: random depth and breadth, names up to the registry's limits,
// every value type, empty and large data, text outside the ANSI code page.
class random_tree_builder
{
  public:
    explicit random_tree_builder(unsigned seed) : random_(seed) {}

    int build(const std::u16string& path, int depth)
    {
        int values = 0;
        const int value_count = pick(0, 6);
        for (int i = 0; i < value_count; ++i) {
            if (tree::set(path, value_name(i), pick_type(), data())) {
                ++values;
            }
        }
        if (value_count == 0) {
            HKEY key = tree::create(path);
            platform::RegCloseKey(key);
        }
        if (depth > 0) {
            const int subkeys = pick(0, 3);
            for (int i = 0; i < subkeys; ++i) {
                values += build(path + u"\\" + key_name(i), depth - 1);
            }
        }
        return values;
    }

  private:
    std::mt19937 random_;

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    char16_t character()
    {
        static const char16_t alphabet[] =
            u"abcXYZ 019_-.{}()\u00e9\u00fc\u00df\u0416\u4e2d\u30c4\u20ac\u0152";
        return alphabet[pick(0, static_cast<int>(sizeof alphabet / sizeof alphabet[0]) - 2)];
    }

    std::u16string text(int length)
    {
        std::u16string out;
        for (int i = 0; i < length; ++i) {
            out += character();
        }
        return out;
    }

    // A numbered prefix keeps names distinct without regard to case.
    std::u16string key_name(int index)
    {
        const int length = pick(0, 10) == 0 ? pick(100, 180) : pick(0, 12);
        return tree::widen(std::to_string(index)) + text(length);
    }

    std::u16string value_name(int index)
    {
        if (index == 0 && pick(0, 3) == 0) {
            return u""; // the unnamed value
        }
        const int length = pick(0, 20) == 0 ? pick(256, 2000) : pick(0, 16);
        return tree::widen(std::to_string(index)) + u"_" + text(length);
    }

    DWORD pick_type()
    {
        static const DWORD types[] = {REG_NONE,     REG_SZ,    REG_EXPAND_SZ,        REG_BINARY, REG_DWORD,
                                      REG_MULTI_SZ, REG_QWORD, REG_DWORD_BIG_ENDIAN, 0x00010000};
        return types[pick(0, static_cast<int>(sizeof types / sizeof types[0]) - 1)];
    }

    std::vector<BYTE> data()
    {
        const int kind = pick(0, 10);
        if (kind == 0) {
            return {};
        }
        if (kind == 1) {
            return std::vector<BYTE>(static_cast<std::size_t>(pick(4000, 70000)),
                                     static_cast<BYTE>(pick(0, 255)));
        }
        if (kind <= 5) {
            return tree::utf16_bytes(text(pick(0, 40)));
        }
        std::vector<BYTE> bytes(static_cast<std::size_t>(pick(1, 64)));
        for (BYTE& b : bytes) {
            b = static_cast<BYTE>(pick(0, 255));
        }
        return bytes;
    }
};

TEST_F(registry_copy, random_trees_copy_byte_for_byte)
{
    constexpr int TREES = 40;
    int total_values = 0;
    for (int seed = 1; seed <= TREES; ++seed) {
        reset_test_machine();
        random_tree_builder builder(static_cast<unsigned>(seed));
        total_values += builder.build(wide_source, 4);
        const std::string before = tree::dump(wide_source);
        copy();
        ASSERT_EQ(tree::dump(wide_dest), before) << "tree with seed " << seed;
        ASSERT_EQ(tree::dump(wide_source), before) << "the source changed, seed " << seed;
    }
    std::printf("copied %d random trees holding %d values\n", TREES, total_values);
}

} // namespace
