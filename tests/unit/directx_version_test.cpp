#include "directx_version/directx_version.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

using namespace platform;

namespace
{

const std::string SYSTEM_DIRECTORY = "C:\\Windows\\system32\\";

struct file_version {
    const char* name;
    WORD a, b, c, d;
};

class directx_version_test : public ::testing::Test
{
  protected:
    void SetUp() override { sim::reset(); }
    static void add_system_files(const std::vector<file_version>& files)
    {
        for (const file_version& f : files) {
            sim::set_file_version(SYSTEM_DIRECTORY + f.name, f.a, f.b, f.c, f.d);
        }
    }
    // A machine with just these system files.
    static PackedDirectXVersion packed_for(const std::vector<file_version>& files)
    {
        sim::reset();
        add_system_files(files);
        return query_packed();
    }
    static PackedDirectXVersion query_packed()
    {
        PackedDirectXVersion packed = 0xBDBDBDBD;
        EXPECT_EQ(S_OK, query_directx_version(&packed, nullptr, 0));
        return packed;
    }
};

// The provider reports 9.0c unless a case changes it; the system files give
// 7.0, so a fall-back to the file table shows.
struct provider_case {
    std::function<void()> change;
    PackedDirectXVersion packed;
    const char* text;
};

class provider_test : public directx_version_test, public ::testing::WithParamInterface<provider_case>
{
};

TEST_P(provider_test, reports_the_provider_or_falls_back_to_the_files)
{
    add_system_files({{"ddraw.dll", 4, 7, 0, 700}});
    sim::set_dxdiag_available(true);
    sim::set_dxdiag_version(9, 0, "c");
    GetParam().change();
    PackedDirectXVersion packed = 0;
    char text[16];
    EXPECT_EQ(S_OK, query_directx_version(&packed, text, sizeof text));
    EXPECT_EQ(GetParam().packed, packed);
    EXPECT_STREQ(GetParam().text, text);
    EXPECT_EQ(0, sim::com_initialize_depth());
    EXPECT_EQ(0, sim::open_handle_count());
}

std::function<void()> version(DWORD major, DWORD minor, const char* letter)
{
    return [=] { sim::set_dxdiag_version(major, minor, letter); };
}

std::function<void()> property(const char* name, WORD vt, BOOL bstr_is_null = 0)
{
    return [=] {
        DXDIAG_PROPERTY p{};
        p.vt = vt;
        p.ulVal = 9;
        p.lVal = 9;
        p.bstr_is_null = bstr_is_null;
        sim::set_dxdiag_property(name, p);
    };
}

INSTANTIATE_TEST_SUITE_P(cases, provider_test,
                         ::testing::ValuesIn(std::vector<provider_case>{
                             {version(9, 0, "c"), 0x00090003, "9.0c"},
                             {version(9, 0, " "), 0x00090000, "9.0"},
                             {version(8, 1, "B"), 0x00080102, "8.1b"},
                             {version(9, 0, ""), 0x00090000, "9.0"},
                             {version(9, 0, "cdefghijklmnopqrstuvwxyz"), 0x00090003, "9.0c"},
                             {[] { sim::set_dxdiag_available(false); }, 0x00070000, "7.0"},
                             {[] { sim::set_dxdiag_open_result(E_FAIL); }, 0x00070000, "7.0"},
                             {[] { sim::remove_dxdiag_property("szDirectXVersionLetter"); }, 0x00070000,
                              "7.0"},
                             {property("dwDirectXVersionMajor", VT_I4), 0x00070000, "7.0"},
                             {property("dwDirectXVersionMinor", VT_BSTR), 0x00070000, "7.0"},
                             {property("szDirectXVersionLetter", VT_BSTR, 1), 0x00070000, "7.0"},
                         }));

TEST_F(directx_version_test, com_is_uninitialized_only_after_a_successful_initialization)
{
    sim::set_dxdiag_available(true);
    sim::set_dxdiag_version(9, 0, "c");
    CoInitialize(nullptr); // the entry point's
    sim::fail_call("CoInitialize", 2, E_FAIL);
    EXPECT_EQ(S_OK, directx_version_from_diagnostics(nullptr, nullptr, nullptr));
    EXPECT_EQ(1, sim::com_initialize_depth());
}

// Each row alone: its threshold met, then missed by one in the last part.
struct row_case {
    const char* file;
    WORD a, b, c, d;
    PackedDirectXVersion met, missed;
};

class file_row_test : public directx_version_test, public ::testing::WithParamInterface<row_case>
{
};

TEST_P(file_row_test, threshold_met_and_missed)
{
    const row_case& r = GetParam();
    EXPECT_EQ(r.met, packed_for({{r.file, r.a, r.b, r.c, r.d}}));
    EXPECT_EQ(r.missed, packed_for({{r.file, r.a, r.b, r.c, static_cast<WORD>(r.d - 1)}}));
}

INSTANTIATE_TEST_SUITE_P(rows, file_row_test,
                         ::testing::ValuesIn(std::vector<row_case>{
                             {"ddraw.dll", 4, 2, 0, 95, 0x00010000, 0},
                             {"ddraw.dll", 4, 3, 0, 1096, 0x00020000, 0x00010000},
                             {"ddraw.dll", 4, 4, 0, 68, 0x00030000, 0x00020000},
                             {"d3drg8x.dll", 4, 4, 0, 70, 0x00030001, 0},
                             {"ddraw.dll", 4, 5, 0, 155, 0x00050000, 0x00030000},
                             {"ddraw.dll", 4, 6, 0, 318, 0x00060000, 0x00050000},
                             {"ddraw.dll", 4, 6, 0, 436, 0x00060100, 0x00060000},
                             {"dplayx.dll", 4, 6, 3, 518, 0x00060101, 0},
                             {"ddraw.dll", 4, 7, 0, 700, 0x00070000, 0x00060100},
                             {"dinput.dll", 4, 7, 0, 716, 0x00070001, 0},
                             {"ddraw.dll", 4, 8, 0, 400, 0x00080000, 0x00070000},
                             {"ddraw.dll", 5, 1, 2258, 400, 0x00080000, 0x00070000},
                             {"d3d8.dll", 4, 8, 1, 881, 0x00080100, 0},
                             {"d3d8.dll", 5, 1, 2600, 881, 0x00080100, 0},
                             {"d3d8.dll", 4, 8, 1, 901, 0x00080101, 0x00080100},
                             {"d3d8.dll", 5, 1, 2600, 901, 0x00080101, 0x00080100},
                             {"mpg2splt.ax", 6, 3, 1, 885, 0x00080102, 0},
                             {"dpnet.dll", 4, 9, 0, 134, 0x00080200, 0},
                             {"dpnet.dll", 5, 2, 3677, 134, 0x00080200, 0},
                             {"d3d9.dll", 0, 0, 0, 1, 0x00090000, 0x00090000}, // any readable version
                         }));

TEST_F(directx_version_test, rows_of_several_files_combine)
{
    EXPECT_EQ(0x00070001u, packed_for({{"ddraw.dll", 4, 7, 0, 700}, {"dinput.dll", 4, 7, 0, 716}}));
    EXPECT_EQ(0x00090000u,
              packed_for(
                  {{"d3d9.dll", 5, 3, 0, 0}, {"dpnet.dll", 5, 2, 3677, 134}, {"d3d8.dll", 5, 1, 2600, 901}}));
    // A first part other than 4 or 5 passes the plain rows but no first-part row.
    EXPECT_EQ(0x00070000u, packed_for({{"ddraw.dll", 6, 0, 0, 0}}));
    EXPECT_EQ(0u, packed_for({{"d3d8.dll", 6, 0, 0, 0}}));
    EXPECT_EQ(0u, packed_for({}));
}

TEST_F(directx_version_test, d3d9_without_version_information_leaves_earlier_rows_deciding)
{
    add_system_files({{"ddraw.dll", 4, 7, 0, 700}});
    sim::add_file(SYSTEM_DIRECTORY + "d3d9.dll", {'M', 'Z'});
    EXPECT_EQ(0x00070000u, query_packed());
    EXPECT_EQ(11, sim::call_count("GetFileVersionInfoSizeA")); // each group read once
}

TEST_F(directx_version_test, without_a_usable_system_directory_nothing_is_found)
{
    add_system_files({{"d3d9.dll", 5, 3, 0, 0}});
    sim::set_system_directory("");
    EXPECT_EQ(0u, query_packed());
    sim::set_system_directory("C:\\" + std::string(300, 'w'));
    EXPECT_EQ(0u, query_packed());
}

TEST_F(directx_version_test, read_file_version_results)
{
    FileVersion64 version = 0;
    add_system_files({{"d3d9.dll", 5, 3, 2600, 2180}});
    const std::string d3d9 = SYSTEM_DIRECTORY + "d3d9.dll";
    EXPECT_EQ(E_INVALIDARG, read_file_version(nullptr, &version));
    EXPECT_EQ(E_INVALIDARG, read_file_version(d3d9.c_str(), nullptr));
    EXPECT_EQ(E_FAIL, read_file_version("C:\\missing.dll", &version));
    sim::fail_call("GetFileVersionInfoA", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(E_FAIL, read_file_version(d3d9.c_str(), &version));
    sim::fail_call("VerQueryValueA", 1, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(E_FAIL, read_file_version(d3d9.c_str(), &version));
    EXPECT_EQ(S_OK, read_file_version(d3d9.c_str(), &version));
    EXPECT_EQ(pack_version(5, 3, 2600, 2180), version);
    EXPECT_EQ(0, sim::open_handle_count());
}

TEST_F(directx_version_test, text_is_cut_to_its_buffer_and_optional_outputs_are_skipped)
{
    sim::set_dxdiag_available(true);
    sim::set_dxdiag_version(9, 0, "c");
    char text[8];
    std::memset(text, 0xBD, sizeof text);
    EXPECT_EQ(S_OK, query_directx_version(nullptr, text, 4));
    EXPECT_STREQ("9.0", text);
    EXPECT_EQ(static_cast<char>(0xBD), text[4]);

    std::memset(text, 0xBD, sizeof text);
    EXPECT_EQ(S_OK, query_directx_version(nullptr, text, 0));
    EXPECT_EQ(S_OK, query_directx_version(nullptr, text, -1));
    EXPECT_EQ(static_cast<char>(0xBD), text[0]);
}

TEST(pack_version, keeps_the_low_16_bits_of_each_part)
{
    EXPECT_EQ(0x23450001FFFFFFFFull, pack_version(0x12345, 0x10001, 0xFFFFFFFF, 0x1FFFF));
}

TEST(compare_packed_versions, compares_unsigned_upper_then_lower_halves)
{
    EXPECT_EQ(1, compare_packed_versions(pack_version(5, 1, 2600, 881), pack_version(4, 8, 1, 881)));
    EXPECT_EQ(-1, compare_packed_versions(pack_version(4, 8, 1, 881), pack_version(5, 1, 2600, 881)));
    EXPECT_EQ(0, compare_packed_versions(pack_version(4, 8, 1, 881), pack_version(4, 8, 1, 881)));
    EXPECT_EQ(1, compare_packed_versions(0x8000000000000000ull, 0x7FFFFFFFFFFFFFFFull));
    EXPECT_EQ(-1, compare_packed_versions(0x000000017FFFFFFFull, 0x0000000180000000ull));
}

} // namespace
