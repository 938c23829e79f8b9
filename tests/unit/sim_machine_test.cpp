// The simulated machine's message boxes, process end, kernel calls, code
// page conversions, fault injection and journal.
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace platform;
namespace sim = platform::sim;

namespace
{

class sim_machine : public ::testing::Test
{
  protected:
    void SetUp() override { sim::reset(); }
};

} // namespace

TEST_F(sim_machine, message_boxes_take_scripted_answers_then_defaults)
{
    sim::queue_answers({IDNO, IDYES});
    EXPECT_EQ(IDNO, MessageBoxA(nullptr, "first?", "Kestova Patch", MB_YESNO | MB_ICONWARNING));
    EXPECT_EQ(IDYES, MessageBoxA(nullptr, "second?", "Kestova Patch", MB_YESNO));
    EXPECT_EQ(IDCANCEL, MessageBoxA(nullptr, "third?", nullptr, MB_YESNO));
    EXPECT_EQ(IDOK, MessageBoxA(nullptr, "note", "", MB_OK | MB_ICONINFORMATION));
    EXPECT_EQ(2, sim::unscripted_box_count());

    const auto& boxes = sim::message_boxes();
    ASSERT_EQ(4u, boxes.size());
    EXPECT_EQ("first?", boxes[0].text);
    EXPECT_EQ(0x34u, boxes[0].style);
    EXPECT_EQ(IDNO, boxes[0].answer);
    EXPECT_EQ("<null>", boxes[2].caption);
    EXPECT_EQ("", boxes[3].caption);
    EXPECT_EQ("message box note", sim::journal().back());
}

TEST_F(sim_machine, the_box_callback_runs_before_the_answer_and_may_change_the_machine)
{
    sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\X", "v", "1");
    std::vector<std::string> seen;
    sim::on_message_box([&](const sim::message_box& box) {
        seen.push_back(box.text);
        sim::delete_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\X");
        sim::queue_answers({IDYES});  // still in time for this box
        sim::on_message_box(nullptr); // replacing itself while it runs is allowed
    });
    EXPECT_EQ(IDYES, MessageBoxA(nullptr, "outer", "", MB_YESNO));
    EXPECT_EQ(IDCANCEL, MessageBoxA(nullptr, "later", "", MB_YESNO));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "SOFTWARE\\X"));
    EXPECT_EQ((std::vector<std::string>{"outer"}), seen);
    EXPECT_EQ(IDYES, sim::message_boxes()[0].answer);
    EXPECT_EQ(1, sim::unscripted_box_count());
}

TEST_F(sim_machine, exit_process_ends_the_run_with_its_code)
{
    bool after_exit = false;
    int code = sim::run_process([&] {
        exit_process(7);
        after_exit = true;
        return 1;
    });
    EXPECT_EQ(7, code);
    EXPECT_FALSE(after_exit);
    EXPECT_EQ(3, sim::run_process([] { return 3; }));
}

struct module_name_case {
    const char* label;
    DWORD size;
    DWORD result;
    const char* text;
    DWORD last_error; // 0: left alone
};

class sim_module_name : public sim_machine, public ::testing::WithParamInterface<module_name_case>
{
};

TEST_P(sim_module_name, truncates_like_modern_windows)
{
    sim::set_module_file_name("C:\\P\\a.exe"); // 10 characters
    char buffer[16];
    std::memset(buffer, 0x55, sizeof(buffer));
    SetLastError(0);
    EXPECT_EQ(GetParam().result, GetModuleFileNameA(nullptr, buffer, GetParam().size));
    EXPECT_EQ(GetParam().last_error, GetLastError());
    if (GetParam().text) {
        EXPECT_STREQ(GetParam().text, buffer);
    }
    for (std::size_t i = GetParam().size; i < sizeof(buffer); ++i)
        ASSERT_EQ(0x55, static_cast<unsigned char>(buffer[i])) << "written past the size at " << i;
}

INSTANTIATE_TEST_SUITE_P(
    sizes, sim_module_name,
    ::testing::Values(module_name_case{"roomy", 16, 10, "C:\\P\\a.exe", 0},
                      module_name_case{"exact", 11, 10, "C:\\P\\a.exe", 0},
                      module_name_case{"no_room_for_nul", 10, 10, "C:\\P\\a.ex", ERROR_INSUFFICIENT_BUFFER},
                      module_name_case{"tiny", 4, 4, "C:\\", ERROR_INSUFFICIENT_BUFFER},
                      module_name_case{"none", 0, 0, nullptr, ERROR_INSUFFICIENT_BUFFER}),
    [](const ::testing::TestParamInfo<module_name_case>& info) { return info.param.label; });

TEST_F(sim_machine, system_directory_and_version_follow_the_win32_rules)
{
    char buffer[32];
    EXPECT_EQ(20u, GetSystemDirectoryA(buffer, 19)) << "too small: the size needed, NUL included";
    EXPECT_EQ(19u, GetSystemDirectoryA(buffer, sizeof(buffer)));
    EXPECT_STREQ("C:\\Windows\\system32", buffer);
    sim::set_system_directory("");
    EXPECT_EQ(0u, GetSystemDirectoryA(buffer, sizeof(buffer)));

    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = 156;
    EXPECT_FALSE(GetVersionExA(&info));
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(5u, info.dwMajorVersion);
    EXPECT_EQ(1u, info.dwMinorVersion);
    EXPECT_EQ(VER_PLATFORM_WIN32_NT, info.dwPlatformId);
    sim::set_os_version(6, 1, VER_PLATFORM_WIN32_NT, false);
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(5u, info.dwMajorVersion) << "a failed call leaves the record alone";
}

// Code page conversions: a length of -1 takes the NUL along; an output
// length of 0 asks for the size; too small an output fails.
TEST_F(sim_machine, conversions_follow_windows_length_conventions)
{
    WCHAR wide[8];
    EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "\x80x\x81", -1, nullptr, 0));
    ASSERT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "\x80x\x81", -1, wide, 8));
    EXPECT_EQ(std::u16string(u"\u20ACx\u0081"), std::u16string(wide));
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abcd", -1, wide, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(2, MultiByteToWideChar(CP_UTF8, 0, "\xc3\xa9z", 3, wide, 8));
    EXPECT_EQ(u'\u00e9', wide[0]);

    char narrow[8];
    BOOL used = 0;
    const char16_t text[] = u"a\u4E2D\u20AC";
    ASSERT_EQ(4, WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, 8, nullptr, &used));
    EXPECT_STREQ("a?\x80", narrow);
    EXPECT_TRUE(used);
    EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, text, 2, nullptr, 0, nullptr, nullptr))
        << "two units, no NUL: 1 + 3 bytes";
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, 8, "?", nullptr))
        << "UTF-8 takes no default character";
}

TEST_F(sim_machine, injected_faults_hit_the_chosen_call_only)
{
    sim::fail_call("RegCreateKeyExA", 2, ERROR_ACCESS_DENIED);
    sim::fail_call("CopyFileA", 1, ERROR_WRITE_PROTECT);
    sim::fail_call("shell_link_save", 1, E_OUTOFMEMORY);
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &key, nullptr));
    RegCloseKey(key);
    SetLastError(0);
    EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "B", 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &key, nullptr));
    EXPECT_EQ(0u, GetLastError()) << "registry calls return their error";
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, "B"));

    sim::add_file("C:\\a.txt");
    EXPECT_FALSE(CopyFileA("C:\\a.txt", "C:\\b.txt", 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WRITE_PROTECT), GetLastError()) << "BOOL calls set the last error";
    EXPECT_TRUE(CopyFileA("C:\\a.txt", "C:\\b.txt", 1));
    CoInitialize(nullptr);
    EXPECT_EQ(E_OUTOFMEMORY, shell_link_save(u"C:\\x.lnk", "t", "a", "d"));
    CoUninitialize();

    EXPECT_EQ(2, sim::call_count("RegCreateKeyExA"));
    EXPECT_EQ(2, sim::call_count("CopyFileA"));
    EXPECT_EQ(0, sim::call_count("RegOpenKeyA"));
    EXPECT_EQ(1, sim::call_counts().at("RegCloseKey"));
}

TEST_F(sim_machine, the_journal_records_changes_in_order_but_not_setup_or_reads)
{
    sim::set_string(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenmoor\\Game", "Path", "C:\\Game");
    sim::add_file("C:\\Patch\\kestova-patch.exe", {1});
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\quenmoor\\game", &key));
    DWORD size = 0;
    RegQueryValueExA(key, "Path", nullptr, nullptr, nullptr, &size);
    RegSetValueExA(key, "Other", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
    RegCloseKey(key);
    CopyFileA("C:\\Patch\\kestova-patch.exe", "C:\\Patch\\copy.exe", 1);
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quenmoor");
    OutputDebugStringA("trace");
    EXPECT_EQ((std::vector<std::string>{"set value HKLM\\SOFTWARE\\Quenmoor\\Game [Other]",
                                        "copy C:\\Patch\\kestova-patch.exe -> C:\\Patch\\copy.exe",
                                        "delete key HKLM\\SOFTWARE\\Quenmoor"}),
              sim::journal());
    EXPECT_EQ((std::vector<std::string>{"trace"}), sim::debug_output());
    sim::clear_journal();
    EXPECT_TRUE(sim::journal().empty());
}
