#include "main/main.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace platform;

namespace
{

constexpr char KS2_QUESTION[] = "Kestova 2 requires DirectX81b\n\nDo you want to install DirectX9 now?";
constexpr char KS3_QUESTION[] = "Kestova 3 requires DirectX9\n\nDo you want to install DirectX9 now?";
constexpr DWORD NT = VER_PLATFORM_WIN32_NT;
constexpr DWORD WIN9X = VER_PLATFORM_WIN32_WINDOWS;

struct os_version {
    DWORD major, minor, platform_id;
};

struct check_case {
    const char* name;
    int title; // 2, 3, or 0 for neither flag set
    os_version os;
    DWORD dx_major, dx_minor; // 0.0: no provider and no files
    const char* dx_letter;
    int answer;
    int expected_result;
    const char* expected_question; // nullptr: no question
    const char* expected_start;    // nullptr: nothing started
};

class directx_check_test : public ::testing::Test
{
  protected:
    // No DirectX setup exists: starts are refused (2), which the check never
    // looks at.
    void SetUp() override
    {
        sim::reset();
        reset_process_state();
    }
    static void set_installed_directx(DWORD major, DWORD minor, const char* letter)
    {
        sim::set_dxdiag_available(major != 0);
        sim::set_dxdiag_version(major, minor, letter);
    }
};

class directx_check_case_test : public directx_check_test, public ::testing::WithParamInterface<check_case>
{
};

TEST_P(directx_check_case_test, asks_and_starts_the_matching_setup)
{
    const check_case& c = GetParam();
    installing_ks2 = c.title == 2;
    installing_ks3 = c.title == 3;
    sim::set_os_version(c.os.major, c.os.minor, c.os.platform_id);
    set_installed_directx(c.dx_major, c.dx_minor, c.dx_letter);
    sim::queue_answers({c.answer});

    EXPECT_EQ(c.expected_result, check_directx_prerequisite("D:\\"));

    const auto& boxes = sim::message_boxes();
    ASSERT_EQ(c.expected_question ? 1u : 0u, boxes.size());
    if (c.expected_question) {
        EXPECT_EQ(nullptr, boxes[0].owner);
        EXPECT_EQ(c.expected_question, boxes[0].text);
        EXPECT_EQ("Kestova Patch", boxes[0].caption);
        EXPECT_EQ(0x24u, boxes[0].style);
    }
    const auto& started = sim::started_programs();
    ASSERT_EQ(c.expected_start ? 1u : 0u, started.size());
    if (c.expected_start) {
        EXPECT_EQ(c.expected_start, started[0].file);
        EXPECT_EQ("", started[0].parameters);
        EXPECT_EQ("", started[0].directory);
        EXPECT_EQ("", started[0].verb);
        EXPECT_EQ(SW_SHOW, started[0].show);
    }
}

constexpr os_version XP{5, 1, NT};

INSTANTIATE_TEST_SUITE_P(
    cases, directx_check_case_test,
    ::testing::Values(
        check_case{"ks3_9_0_passes", 3, XP, 9, 0, " ", IDYES, 1, nullptr, nullptr},
        check_case{"ks3_9_0c_passes", 3, XP, 9, 0, "c", IDYES, 1, nullptr, nullptr},
        check_case{"ks2_9_0_passes", 2, XP, 9, 0, " ", IDYES, 1, nullptr, nullptr},
        check_case{"neither_title_passes", 0, XP, 0, 0, " ", IDYES, 1, nullptr, nullptr},
        check_case{"ks3_no", 3, XP, 8, 1, "b", IDNO, 0, KS3_QUESTION, nullptr},
        check_case{"ks3_yes", 3, XP, 8, 1, "b", IDYES, 0, KS3_QUESTION, "D:\\directx9\\dxsetup.exe"},
        check_case{"ks3_nothing_measured", 3, XP, 0, 0, " ", IDNO, 0, KS3_QUESTION, nullptr},
        check_case{"ks2_no", 2, XP, 8, 1, "b", IDNO, 0, KS2_QUESTION, nullptr},
        check_case{"ks2_yes_xp", 2, XP, 8, 1, "b", IDYES, 0, KS2_QUESTION, "directx81\\dxsetup.exe"},
        check_case{
            "ks2_yes_nt50", 2, {5, 0, NT}, 8, 1, "b", IDYES, 0, KS2_QUESTION, "directx81b\\dxsetup.exe"},
        check_case{
            "ks2_yes_nt52", 2, {5, 2, NT}, 8, 1, "b", IDYES, 0, KS2_QUESTION, "directx81b\\dxsetup.exe"},
        check_case{
            "ks2_yes_nt61", 2, {6, 1, NT}, 8, 1, "b", IDYES, 0, KS2_QUESTION, "directx81b\\dxsetup.exe"},
        check_case{
            "ks2_yes_9x_5_1", 2, {5, 1, WIN9X}, 8, 1, "b", IDYES, 0, KS2_QUESTION, "directx81b\\dxsetup.exe"},
        check_case{"ks2_nothing_measured", 2, XP, 0, 0, " ", IDNO, 0, KS2_QUESTION, nullptr}),
    [](const ::testing::TestParamInfo<check_case>& info) { return std::string(info.param.name); });

TEST_F(directx_check_test, a_drive_root_without_backslash_gets_one)
{
    installing_ks3 = 1;
    sim::queue_answers({IDYES});
    EXPECT_EQ(0, check_directx_prerequisite("E:"));
    EXPECT_EQ(1u, sim::message_boxes().size());
    ASSERT_EQ(1u, sim::started_programs().size());
    EXPECT_EQ("E:\\directx9\\dxsetup.exe", sim::started_programs()[0].file);
}

TEST_F(directx_check_test, windows_xp_only_for_nt_5_1_and_a_working_call)
{
    sim::set_os_version(5, 1, NT);
    EXPECT_EQ(1, is_windows_xp());
    sim::set_os_version(5, 1, NT, false);
    EXPECT_EQ(0, is_windows_xp());
}

} // namespace
