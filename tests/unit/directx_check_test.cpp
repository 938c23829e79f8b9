#include "main/main.h"
#include "sim/sim.h"

#include "directx_version/directx_version.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
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

// ---------------------------------------------------------------------------
// The check reads the system files' versions first and starts the slow
// diagnostics provider only when they do not show 9.0. Its decisions are
// compared here with the decision of the full measurement (the provider
// first, the files only when it fails) over every combination of provider
// answer, system files, title, operating system and user's answer.

namespace decisions
{

enum class provider_kind {
    fails,      // no version from the provider: the files decide in the full query
    below_9,    // a version whose packed value is below 9.0
    at_least_9, // 9.0 or later
};

struct provider_case {
    const char* name;
    provider_kind kind;
    std::function<void()> set_up;
};

std::function<void()> provider_version(DWORD major, DWORD minor, const char* letter)
{
    return [=] {
        sim::set_dxdiag_available(true);
        sim::set_dxdiag_version(major, minor, letter);
    };
}

const std::vector<provider_case>& provider_cases()
{
    static const std::vector<provider_case> cases = {
        {"absent", provider_kind::fails, [] { sim::set_dxdiag_available(false); }},
        {"initialize_fails", provider_kind::fails,
         [] {
             provider_version(9, 0, "c")();
             sim::set_dxdiag_open_result(E_FAIL);
         }},
        {"no_letter_property", provider_kind::fails,
         [] {
             provider_version(9, 0, "c")();
             sim::remove_dxdiag_property("szDirectXVersionLetter");
         }},
        {"major_of_wrong_type", provider_kind::fails,
         [] {
             provider_version(9, 0, "c")();
             DXDIAG_PROPERTY signed_major{};
             signed_major.vt = VT_I4;
             signed_major.lVal = 9;
             sim::set_dxdiag_property("dwDirectXVersionMajor", signed_major);
         }},
        {"5_0", provider_kind::below_9, provider_version(5, 0, " ")},
        {"7_0a", provider_kind::below_9, provider_version(7, 0, "a")},
        {"8_1b", provider_kind::below_9, provider_version(8, 1, "b")},
        {"8_255z", provider_kind::below_9, provider_version(8, 255, "z")},
        // The packing adds the parts unmasked: a major of 65536 wraps to 0,
        // a minor of 0xFFFFFFFF takes 9 down to 8.255.
        {"major_65536", provider_kind::below_9, provider_version(65536, 0, " ")},
        {"9_minus_1", provider_kind::below_9, provider_version(9, 0xFFFFFFFFu, " ")},
        {"9_0", provider_kind::at_least_9, provider_version(9, 0, " ")},
        {"9_0c", provider_kind::at_least_9, provider_version(9, 0, "c")},
        {"9_0C", provider_kind::at_least_9, provider_version(9, 0, "C")},
        {"10_1", provider_kind::at_least_9, provider_version(10, 1, " ")},
        {"12_0", provider_kind::at_least_9, provider_version(12, 0, " ")},
    };
    return cases;
}

struct files_case {
    const char* name;
    bool shows_9; // the file table finds 9.0
    std::function<void()> set_up;
};

std::function<void()> system_file(const char* name, WORD a, WORD b, WORD c, WORD d)
{
    return [=] { sim::set_file_version(std::string("C:\\Windows\\system32\\") + name, a, b, c, d); };
}

std::function<void()> all_of(std::vector<std::function<void()>> steps)
{
    return [=] {
        for (const auto& step : steps) {
            step();
        }
    };
}

// One case per row of the file table (its file at the row's threshold, or
// just below it), and machines that mix them.
const std::vector<files_case>& files_cases()
{
    static const std::vector<files_case> cases = {
        {"none", false, [] {}},
        {"ddraw_1_0", false, system_file("ddraw.dll", 4, 2, 0, 95)},
        {"ddraw_below_1_0", false, system_file("ddraw.dll", 4, 2, 0, 94)},
        {"ddraw_2_0", false, system_file("ddraw.dll", 4, 3, 0, 1096)},
        {"ddraw_3_0", false, system_file("ddraw.dll", 4, 4, 0, 68)},
        {"d3drg8x_3_0a", false, system_file("d3drg8x.dll", 4, 4, 0, 70)},
        {"ddraw_5_0", false, system_file("ddraw.dll", 4, 5, 0, 155)},
        {"ddraw_6_0", false, system_file("ddraw.dll", 4, 6, 0, 318)},
        {"ddraw_6_1", false, system_file("ddraw.dll", 4, 6, 0, 436)},
        {"dplayx_6_1a", false, system_file("dplayx.dll", 4, 6, 3, 518)},
        {"ddraw_7_0", false, system_file("ddraw.dll", 4, 7, 0, 700)},
        {"dinput_7_0a", false, system_file("dinput.dll", 4, 7, 0, 716)},
        {"ddraw_8_0", false, system_file("ddraw.dll", 4, 8, 0, 400)},
        {"ddraw_8_0_first_part_5", false, system_file("ddraw.dll", 5, 1, 2258, 400)},
        {"d3d8_8_1", false, system_file("d3d8.dll", 4, 8, 1, 881)},
        {"d3d8_8_1a_first_part_5", false, system_file("d3d8.dll", 5, 1, 2600, 901)},
        {"mpg2splt_8_1b", false, system_file("mpg2splt.ax", 6, 3, 1, 885)},
        {"dpnet_8_2", false, system_file("dpnet.dll", 4, 9, 0, 134)},
        {"dpnet_8_2_first_part_5", false, system_file("dpnet.dll", 5, 2, 3677, 134)},
        {"d3d9_without_version", false,
         all_of({system_file("ddraw.dll", 4, 8, 0, 400),
                 [] {
                     sim::add_file("C:\\Windows\\system32\\d3d9.dll", {'M', 'Z'});
                 }})},
        {"d3d9", true, system_file("d3d9.dll", 5, 3, 1, 904)},
        {"d3d9_version_0", true, system_file("d3d9.dll", 0, 0, 0, 0)},
        {"full_directx_9", true,
         all_of({system_file("ddraw.dll", 5, 3, 2600, 5512), system_file("d3d8.dll", 5, 3, 2600, 5512),
                 system_file("dpnet.dll", 5, 3, 2600, 5512), system_file("mpg2splt.ax", 6, 5, 2600, 5512),
                 system_file("d3d9.dll", 5, 3, 2600, 5512)})},
        {"d3d9_without_system_directory", false,
         all_of({system_file("d3d9.dll", 5, 3, 1, 904), [] { sim::set_system_directory(""); }})},
    };
    return cases;
}

struct outcome {
    int result;
    std::vector<std::string> questions;
    std::vector<std::string> started;
    bool operator==(const outcome& other) const
    {
        return result == other.result && questions == other.questions && started == other.started;
    }
};

std::ostream& operator<<(std::ostream& out, const outcome& o)
{
    out << "result " << o.result << ", questions [";
    for (const std::string& q : o.questions) {
        out << q << ";";
    }
    out << "], started [";
    for (const std::string& s : o.started) {
        out << s << ";";
    }
    return out << "]";
}

// What the check did before it read the files first: the full measurement
// decides, and the question, the setup and the result follow from it.
outcome decision_of_the_full_query(int title, bool xp, int answer)
{
    PackedDirectXVersion packed = 0;
    query_directx_version(&packed, nullptr, 0);
    const bool too_old = packed < 0x00090000u;
    outcome expected{1, {}, {}};
    if (title == 0 || !too_old) {
        return expected;
    }
    expected.result = 0;
    expected.questions.push_back(title == 2 ? KS2_QUESTION : KS3_QUESTION);
    if (answer == IDYES) {
        expected.started.push_back(title == 3 ? "D:\\directx9\\dxsetup.exe"
                                   : xp       ? "directx81\\dxsetup.exe"
                                              : "directx81b\\dxsetup.exe");
    }
    return expected;
}

outcome decision_of_the_check()
{
    outcome actual{check_directx_prerequisite("D:\\"), {}, {}};
    for (const auto& box : sim::message_boxes()) {
        actual.questions.push_back(box.text);
    }
    for (const auto& program : sim::started_programs()) {
        actual.started.push_back(program.file);
    }
    return actual;
}

} // namespace decisions

TEST_F(directx_check_test, files_first_decides_as_the_full_query_in_every_combination)
{
    using namespace decisions;
    int combinations = 0;
    int provider_skipped = 0;
    int departures = 0;
    for (const provider_case& provider : provider_cases()) {
        for (const files_case& files : files_cases()) {
            for (int title : {0, 2, 3}) {
                for (bool xp : {true, false}) {
                    for (int answer : {IDYES, IDNO}) {
                        SCOPED_TRACE(std::string("provider ") + provider.name + ", files " + files.name +
                                     ", title " + std::to_string(title) + (xp ? ", XP" : ", not XP") +
                                     (answer == IDYES ? ", Yes" : ", No"));
                        ++combinations;
                        // The machine, measured by the full query first.
                        sim::reset();
                        reset_process_state();
                        installing_ks2 = title == 2;
                        installing_ks3 = title == 3;
                        sim::set_os_version(xp ? 5 : 6, 1, NT);
                        provider.set_up();
                        files.set_up();
                        const outcome old_decision = decision_of_the_full_query(title, xp, answer);
                        // The table's own expectation of the full query.
                        const bool old_too_old = provider.kind == provider_kind::below_9 ||
                                                 (provider.kind == provider_kind::fails && !files.shows_9);
                        EXPECT_EQ(title != 0 && old_too_old, !old_decision.questions.empty());

                        const int provider_starts = sim::call_count("dxdiag_open_system_info");
                        sim::queue_answers({answer});
                        const outcome new_decision = decision_of_the_check();
                        const bool provider_asked =
                            sim::call_count("dxdiag_open_system_info") > provider_starts;

                        EXPECT_EQ(!files.shows_9, provider_asked);
                        EXPECT_EQ(0, sim::open_handle_count());
                        EXPECT_EQ(0, sim::com_initialize_depth());
                        provider_skipped += provider_asked ? 0 : 1;
                        // The one difference: the files show 9.0 while the
                        // provider reports an older release. The files
                        // decide then, and no question is asked.
                        if (files.shows_9 && provider.kind == provider_kind::below_9) {
                            EXPECT_EQ((outcome{1, {}, {}}), new_decision);
                            departures += title != 0 ? 1 : 0;
                        } else {
                            EXPECT_EQ(old_decision, new_decision);
                        }
                    }
                }
            }
        }
    }
    // 15 provider answers x 24 machines x 3 titles x 2 systems x 2 answers.
    EXPECT_EQ(15 * 24 * 3 * 2 * 2, combinations);
    EXPECT_EQ(15 * 3 * 3 * 2 * 2, provider_skipped);
    EXPECT_EQ(6 * 3 * 2 * 2 * 2, departures);
}
