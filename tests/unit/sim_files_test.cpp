// The simulated file system: the shell's delete and rename, file copies,
// attributes, streams, drives, shortcuts, version blocks and special folders.
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace platform;
namespace sim = platform::sim;

namespace
{

constexpr LONG ERROR_SHARING_VIOLATION = 32;
constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);

class sim_files : public ::testing::Test
{
  protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override { EXPECT_EQ(0, sim::open_handle_count()); }

    static int shell(UINT function, const std::string& from, const std::string& to = std::string())
    {
        std::string from_list = from + '\0';
        std::string to_list = to + '\0';
        SHFILEOPSTRUCTA op{};
        op.wFunc = function;
        op.pFrom = from_list.c_str();
        op.pTo = to.empty() ? nullptr : to_list.c_str();
        op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
        return SHFileOperationA(&op);
    }
};

} // namespace

TEST_F(sim_files, paths_ignore_case_and_tolerate_doubled_backslashes)
{
    sim::add_file("C:\\Program Files\\Setup.EXE", {1, 2});
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA("c:\\PROGRAM FILES"));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\program files\\\\setup.exe"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\program files\\other.exe"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\nowhere\\other.exe"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_EQ((std::vector<std::string>{"Setup.EXE"}), sim::list_directory("C:\\PROGRAM FILES"));
}

TEST_F(sim_files, delete_removes_each_listed_folder_with_everything_below)
{
    sim::add_file("C:\\A\\deep\\x.txt");
    sim::add_file("C:\\B\\y.txt");
    sim::add_file("C:\\Keep\\z.txt");
    std::string list = std::string("C:\\a") + '\0' + "C:\\b\\y.txt" + '\0' + '\0';
    SHFILEOPSTRUCTA op{};
    op.wFunc = FO_DELETE;
    op.pFrom = list.c_str();
    EXPECT_EQ(0, SHFileOperationA(&op));
    EXPECT_EQ((std::vector<std::string>{"B\\", "Keep\\"}), sim::list_directory("C:\\"));
    EXPECT_TRUE(sim::list_directory("C:\\B").empty());
    EXPECT_EQ((std::vector<std::string>{"delete C:\\a", "delete C:\\b\\y.txt"}), sim::journal());
}

TEST_F(sim_files, delete_with_a_wildcard_empties_a_folder)
{
    sim::add_file("C:\\Temp\\one.tmp");
    sim::add_file("C:\\Temp\\sub\\two.tmp");
    EXPECT_EQ(0, shell(FO_DELETE, "C:\\Temp\\*"));
    EXPECT_TRUE(sim::directory_exists("C:\\Temp"));
    EXPECT_TRUE(sim::list_directory("C:\\Temp").empty());
}

TEST_F(sim_files, rename_moves_a_folder_and_its_contents)
{
    sim::add_file("C:\\Info\\{OLD}\\setup.exe", {7});
    EXPECT_EQ(0, shell(FO_RENAME, "C:\\Info\\{old}", "C:\\Info\\{NEW}"));
    EXPECT_FALSE(sim::directory_exists("C:\\Info\\{OLD}"));
    EXPECT_EQ(std::vector<BYTE>{7}, sim::file_bytes("C:\\Info\\{NEW}\\setup.exe"));
    EXPECT_EQ((std::vector<std::string>{"rename C:\\Info\\{old} -> C:\\Info\\{NEW}"}), sim::journal());
}

// Each way a rename can fail; nothing may change.
struct rename_failure {
    const char* label;
    const char* from;
    const char* to;
    const char* locked; // nullptr: nothing locked
};

class sim_rename_failure : public sim_files, public ::testing::WithParamInterface<rename_failure>
{
};

TEST_P(sim_rename_failure, changes_nothing_and_reports_failure)
{
    sim::add_file("C:\\Info\\{A}\\setup.exe", {1});
    sim::add_file("C:\\Info\\{B}\\setup.exe", {2});
    sim::add_drive({"D:\\", DRIVE_CDROM, "DISC", "CDFS", true});
    sim::add_file("D:\\folder\\f.txt");
    if (GetParam().locked)
        sim::lock_path(GetParam().locked);
    const std::string before = sim::dump_directory("C:\\") + sim::dump_directory("D:\\");
    EXPECT_NE(0, shell(FO_RENAME, GetParam().from, GetParam().to));
    EXPECT_EQ(before, sim::dump_directory("C:\\") + sim::dump_directory("D:\\"));
    EXPECT_TRUE(sim::journal().empty());
}

INSTANTIATE_TEST_SUITE_P(
    cases, sim_rename_failure,
    ::testing::Values(rename_failure{"missing_source", "C:\\Info\\{C}", "C:\\Info\\{D}", nullptr},
                      rename_failure{"target_exists", "C:\\Info\\{A}", "C:\\Info\\{b}", nullptr},
                      rename_failure{"source_locked", "C:\\Info\\{A}", "C:\\Info\\{C}", "C:\\Info\\{A}"},
                      rename_failure{"file_inside_locked", "C:\\Info\\{A}", "C:\\Info\\{C}",
                                     "C:\\Info\\{A}\\setup.exe"},
                      rename_failure{"parent_locked", "C:\\Info\\{A}", "C:\\Info\\{C}", "C:\\Info"},
                      rename_failure{"target_folder_missing", "C:\\Info\\{A}", "C:\\Nowhere\\{C}", nullptr},
                      rename_failure{"other_drive", "C:\\Info\\{A}", "D:\\{C}", nullptr},
                      rename_failure{"read_only_disc", "D:\\folder", "D:\\renamed", nullptr},
                      rename_failure{"into_itself", "C:\\Info", "C:\\Info\\{A}\\Info", nullptr}),
    [](const ::testing::TestParamInfo<rename_failure>& info) { return info.param.label; });

TEST_F(sim_files, a_locked_file_blocks_the_deletion_of_its_folder)
{
    sim::add_file("C:\\Busy\\open.dat");
    sim::lock_path("C:\\Busy\\open.dat");
    EXPECT_EQ(ERROR_SHARING_VIOLATION, shell(FO_DELETE, "C:\\Busy"));
    EXPECT_TRUE(sim::file_exists("C:\\Busy\\open.dat"));
    sim::lock_path("C:\\Busy\\open.dat", false);
    EXPECT_EQ(0, shell(FO_DELETE, "C:\\Busy"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, shell(FO_DELETE, "C:\\Busy"));
}

TEST_F(sim_files, shell_paths_of_max_path_characters_are_refused)
{
    const std::string deep =
        "C:\\" + std::string(120, 'a') + "\\" + std::string(120, 'b') + "\\" + std::string(20, 'c');
    sim::add_directory(deep);
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, shell(FO_DELETE, deep));
    EXPECT_TRUE(sim::directory_exists(deep));
}

struct copy_case {
    const char* label;
    const char* from;
    const char* to;
    BOOL fail_if_exists;
    DWORD error; // 0: the copy succeeds
};

class sim_copy : public sim_files, public ::testing::WithParamInterface<copy_case>
{
};

TEST_P(sim_copy, follows_the_win32_rules)
{
    sim::add_file("C:\\Patch\\patch.exe", {1, 2, 3});
    sim::add_file("C:\\Info\\setup.exe", {9});
    sim::add_directory("C:\\Info\\folder");
    SetLastError(0);
    BOOL ok = CopyFileA(GetParam().from, GetParam().to, GetParam().fail_if_exists);
    EXPECT_EQ(GetParam().error == 0, ok != 0);
    EXPECT_EQ(GetParam().error, GetLastError());
    if (ok) {
        EXPECT_EQ((std::vector<BYTE>{1, 2, 3}), sim::file_bytes(GetParam().to));
    } else {
        EXPECT_EQ(std::vector<BYTE>{9}, sim::file_bytes("C:\\Info\\setup.exe"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, sim_copy,
    ::testing::Values(copy_case{"new_file", "C:\\Patch\\patch.exe", "C:\\Info\\copy.exe", 1, 0},
                      copy_case{"overwrite_allowed", "C:\\Patch\\patch.exe", "C:\\Info\\SETUP.exe", 0, 0},
                      copy_case{"never_overwrite", "C:\\Patch\\patch.exe", "C:\\Info\\setup.exe", 1,
                                static_cast<DWORD>(ERROR_FILE_EXISTS)},
                      copy_case{"missing_source", "C:\\Patch\\none.exe", "C:\\Info\\x.exe", 1,
                                static_cast<DWORD>(ERROR_FILE_NOT_FOUND)},
                      copy_case{"missing_folder", "C:\\Patch\\patch.exe", "C:\\None\\x.exe", 1,
                                static_cast<DWORD>(ERROR_PATH_NOT_FOUND)},
                      copy_case{"onto_a_folder", "C:\\Patch\\patch.exe", "C:\\Info\\folder", 0,
                                static_cast<DWORD>(ERROR_ACCESS_DENIED)}),
    [](const ::testing::TestParamInfo<copy_case>& info) { return info.param.label; });

TEST_F(sim_files, directories_and_the_current_directory)
{
    EXPECT_FALSE(CreateDirectoryA("C:\\a\\b", nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_TRUE(CreateDirectoryA("C:\\a", nullptr));
    EXPECT_FALSE(CreateDirectoryA("C:\\A", nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());

    EXPECT_TRUE(SetCurrentDirectoryA("C:\\a"));
    char buffer[8];
    std::memset(buffer, 0x55, sizeof(buffer));
    EXPECT_EQ(5u, GetCurrentDirectoryA(4, buffer)) << "too small: the size needed, NUL included";
    EXPECT_EQ(0x55, static_cast<unsigned char>(buffer[0]));
    EXPECT_EQ(4u, GetCurrentDirectoryA(sizeof(buffer), buffer));
    EXPECT_STREQ("C:\\a", buffer);
    EXPECT_TRUE(CreateDirectoryA("relative", nullptr));
    EXPECT_TRUE(sim::directory_exists("C:\\a\\relative"));
    EXPECT_FALSE(SetCurrentDirectoryA("C:\\missing"));
}

TEST_F(sim_files, streams_read_bytes_binary_and_translate_line_ends_in_text_mode)
{
    sim::add_text_file("C:\\t.txt", "ab\r\ncd\x1Azz");
    CRT_FILE* f = crt_fopen("C:\\T.TXT", "rb");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(0, crt_fseek(f, 0, CRT_SEEK_END));
    EXPECT_EQ(9, crt_ftell(f));
    EXPECT_EQ(0, crt_fseek(f, 60, CRT_SEEK_SET)) << "seeking past the end is allowed";
    char buffer[16];
    EXPECT_EQ(0u, crt_fread(buffer, 4, 1, f));
    EXPECT_EQ(-1, crt_fseek(f, -1, CRT_SEEK_SET));
    EXPECT_EQ(0, crt_fclose(f));

    f = crt_fopen("C:\\t.txt", "r");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(5u, crt_fread(buffer, 1, sizeof(buffer), f));
    EXPECT_EQ(0, std::memcmp(buffer, "ab\ncd", 5));
    EXPECT_EQ(0, crt_fclose(f));
    EXPECT_EQ(nullptr, crt_fopen("C:\\missing.txt", "rb"));
    EXPECT_EQ(nullptr, crt_fopen("C:\\t.txt", "w"));
}

TEST_F(sim_files, drives_are_listed_in_letter_order_with_windows_size_rules)
{
    sim::add_drive({"E:\\", DRIVE_CDROM, "KS2", "CDFS", true});
    sim::add_drive({"D:\\", DRIVE_CDROM, "", "CDFS", false});
    char buffer[32];
    std::memset(buffer, 0x55, sizeof(buffer));
    EXPECT_EQ(13u, GetLogicalDriveStringsA(12, buffer));
    EXPECT_EQ(0x55, static_cast<unsigned char>(buffer[0]));
    ASSERT_EQ(12u, GetLogicalDriveStringsA(13, buffer));
    EXPECT_EQ(0, std::memcmp(buffer, "C:\\\0D:\\\0E:\\\0\0", 13));

    EXPECT_EQ(DRIVE_FIXED, GetDriveTypeA("C:\\"));
    EXPECT_EQ(DRIVE_CDROM, GetDriveTypeA("e:\\"));
    EXPECT_EQ(DRIVE_NO_ROOT_DIR, GetDriveTypeA("Q:\\"));

    char label[16], file_system[16];
    EXPECT_FALSE(GetVolumeInformationA("D:\\", label, sizeof(label), nullptr, nullptr, nullptr, file_system,
                                       sizeof(file_system)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
    ASSERT_TRUE(GetVolumeInformationA("E:\\", label, sizeof(label), nullptr, nullptr, nullptr, file_system,
                                      sizeof(file_system)));
    EXPECT_STREQ("KS2", label);
    EXPECT_STREQ("CDFS", file_system);
}

TEST_F(sim_files, a_disc_is_read_only)
{
    sim::add_drive({"D:\\", DRIVE_CDROM, "KS2", "CDFS", true});
    sim::add_file("D:\\setup.exe", {1});
    EXPECT_EQ(FILE_ATTRIBUTE_READONLY, GetFileAttributesA("D:\\setup.exe"));
    EXPECT_EQ(ERROR_WRITE_PROTECT, shell(FO_DELETE, "D:\\setup.exe"));
    EXPECT_FALSE(CreateDirectoryA("D:\\new", nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_WRITE_PROTECT), GetLastError());
}

TEST_F(sim_files, shortcuts_need_com_and_save_keeps_only_three_strings)
{
    sim::add_shortcut("C:\\Menu\\u.lnk", {"%WINDIR%\\x.exe", "-f {A}", "Remove", "C:\\Work", "i.ico,0"});
    char target[8], arguments[64], description[64];
    EXPECT_EQ(CO_E_NOTINITIALIZED,
              shell_link_load(nullptr, u"C:\\Menu\\u.lnk", target, sizeof(target), arguments,
                              sizeof(arguments), description, sizeof(description)));
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    ASSERT_EQ(S_OK, shell_link_load(nullptr, u"c:\\menu\\U.LNK", target, sizeof(target), arguments,
                                    sizeof(arguments), description, sizeof(description)));
    EXPECT_STREQ("%WINDIR", target) << "cut to the capacity, NUL included";
    EXPECT_STREQ("-f {A}", arguments);
    EXPECT_STREQ("Remove", description);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              shell_link_load(nullptr, u"C:\\Menu\\none.lnk", target, sizeof(target), arguments,
                              sizeof(arguments), description, sizeof(description)));

    ASSERT_EQ(S_OK, shell_link_save(u"C:\\Menu\\u.lnk", "C:\\t.exe", "-g {B}", "Gone"));
    const auto saved = sim::get_shortcut("C:\\Menu\\u.lnk");
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ("C:\\t.exe", saved->target);
    EXPECT_EQ("-g {B}", saved->arguments);
    EXPECT_EQ("Gone", saved->description);
    EXPECT_EQ("", saved->working_directory);
    EXPECT_EQ("", saved->icon_location);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), shell_link_save(u"C:\\None\\u.lnk", "a", "b", "c"));
    EXPECT_EQ((std::vector<std::string>{"save shortcut C:\\Menu\\u.lnk"}), sim::journal());
    CoUninitialize();
}

TEST_F(sim_files, version_blocks_carry_the_fixed_file_information)
{
    sim::add_file("C:\\Windows\\system32\\plain.dll", {1});
    sim::set_file_version("C:\\Windows\\system32\\ddraw.dll", 4, 8, 1, 881);
    DWORD handle = 7;
    EXPECT_EQ(0u, GetFileVersionInfoSizeA("C:\\Windows\\system32\\plain.dll", &handle));
    EXPECT_EQ(0u, GetFileVersionInfoSizeA("C:\\Windows\\system32\\none.dll", &handle));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

    DWORD size = GetFileVersionInfoSizeA("C:\\Windows\\system32\\ddraw.dll", &handle);
    ASSERT_GT(size, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(0u, handle);
    std::vector<BYTE> block(size);
    EXPECT_FALSE(GetFileVersionInfoA("C:\\Windows\\system32\\ddraw.dll", 0, size - 1, block.data()));
    ASSERT_TRUE(GetFileVersionInfoA("C:\\Windows\\system32\\ddraw.dll", 0, size, block.data()));
    void* info = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &info, &length));
    EXPECT_EQ(sizeof(VS_FIXEDFILEINFO), length);
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(info);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    EXPECT_EQ(0x00040008u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00010371u, fixed->dwFileVersionLS);
    EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\FileVersion", &info, &length));
}

TEST_F(sim_files, special_folders_hand_out_id_lists_that_must_be_freed)
{
    PIDLIST_ABSOLUTE list = nullptr;
    ASSERT_EQ(S_OK, SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_PROGRAMS, &list));
    EXPECT_EQ(1, sim::open_handle_count());
    char path[MAX_PATH];
    ASSERT_TRUE(SHGetPathFromIDListA(list, path));
    EXPECT_STREQ("C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs", path);
    sim::set_path_from_id_list_fails(true);
    EXPECT_FALSE(SHGetPathFromIDListA(list, path));
    ILFree(list);
    EXPECT_EQ(0, sim::open_handle_count());

    sim::set_special_folder(CSIDL_COMMON_PROGRAMS, std::nullopt);
    EXPECT_TRUE(FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_COMMON_PROGRAMS, &list)));
    EXPECT_EQ(nullptr, list);

    sim::set_program_files_folder(std::string("C:\\Program Files (x86)"));
    ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, path));
    EXPECT_STREQ("C:\\Program Files (x86)", path);
    sim::set_program_files_folder(std::nullopt);
    EXPECT_TRUE(FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, path)));
}

// Names the ANSI code page cannot hold exist, as on Windows: the wide calls
// reach them, the narrow ones get "?" and fail.
TEST_F(sim_files, names_outside_the_code_page_are_reached_only_through_the_wide_calls)
{
    const std::string folder = "C:\\users\\\xce\xa9mega\\Downloads"; // "Ωmega"
    sim::add_file(folder + "\\kestova-patch.exe", {'M', 'Z'});
    sim::set_module_file_name(folder + "\\kestova-patch.exe");
    char narrow[MAX_PATH] = "";
    ASSERT_GT(GetModuleFileNameA(nullptr, narrow, MAX_PATH), 0u);
    EXPECT_STREQ(narrow, "C:\\users\\?mega\\Downloads\\kestova-patch.exe");
    EXPECT_FALSE(CopyFileA(narrow, "C:\\copy.exe", 1));
    EXPECT_EQ(static_cast<DWORD>(123), GetLastError()) << "ERROR_INVALID_NAME";

    WCHAR wide[MAX_PATH] = {};
    ASSERT_EQ(GetModuleFileNameW(nullptr, wide, MAX_PATH), 42u);
    EXPECT_EQ(std::u16string(wide), u"C:\\users\\\u03a9mega\\Downloads\\kestova-patch.exe");
    WCHAR cut[8] = {};
    EXPECT_EQ(GetModuleFileNameW(nullptr, cut, 8), 8u);
    EXPECT_EQ(std::u16string(cut), u"C:\\user");
    EXPECT_TRUE(CopyFileW(wide, u"C:\\Info\\setup.exe", 1) == 0) << "the target folder is missing";
    sim::add_directory("C:\\Info");
    ASSERT_TRUE(CopyFileW(wide, u"C:\\Info\\setup.exe", 1));
    EXPECT_FALSE(CopyFileW(wide, u"C:\\Info\\setup.exe", 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
    EXPECT_EQ(sim::file_bytes("C:\\Info\\setup.exe"), (std::vector<BYTE>{'M', 'Z'}));
    EXPECT_EQ(sim::list_directory("C:\\users"), std::vector<std::string>{"\xce\xa9mega\\"});
    EXPECT_TRUE(sim::file_exists("c:\\USERS\\\xcf\x89mega\\downloads\\KESTOVA-PATCH.EXE")) << "ω folds to Ω";
}

TEST_F(sim_files, an_aborted_shell_operation_does_nothing_and_says_so)
{
    sim::add_file("C:\\a\\f.txt");
    sim::abort_file_operation(2);
    const char from[] = "C:\\a\0";
    const char to[] = "C:\\b\0";
    SHFILEOPSTRUCTA operation{};
    operation.wFunc = FO_RENAME;
    operation.pFrom = from;
    operation.pTo = to;
    operation.fFlags = FOF_SILENT;
    const char missing[] = "C:\\none\0";
    SHFILEOPSTRUCTA first{};
    first.wFunc = FO_DELETE;
    first.pFrom = missing;
    EXPECT_NE(SHFileOperationA(&first), 0);
    EXPECT_EQ(SHFileOperationA(&operation), 0);
    EXPECT_TRUE(operation.fAnyOperationsAborted);
    EXPECT_TRUE(sim::directory_exists("C:\\a"));
    EXPECT_FALSE(sim::directory_exists("C:\\b"));
    EXPECT_EQ(SHFileOperationA(&operation), 0);
    EXPECT_FALSE(operation.fAnyOperationsAborted);
    EXPECT_TRUE(sim::directory_exists("C:\\b"));
    EXPECT_EQ(sim::file_operation_flags(), (std::vector<WORD>{0, FOF_SILENT, FOF_SILENT}));
}

namespace
{

bool append_x(char* arguments, int capacity, void*)
{
    const std::size_t length = std::strlen(arguments);
    if (length + 2 > static_cast<std::size_t>(capacity)) {
        return false;
    }
    arguments[length] = 'x';
    arguments[length + 1] = '\0';
    return true;
}

bool decline(char*, int, void*)
{
    return false;
}

} // namespace

TEST_F(sim_files, a_shortcut_rewrite_keeps_every_other_property)
{
    sim::shortcut link{"C:\\t.exe", "-a", "d", "C:\\w", "C:\\i.ico,3", 0x0655, 7, "..\\t.exe"};
    sim::add_shortcut("C:\\Menu\\u.lnk", link);
    EXPECT_EQ(CO_E_NOTINITIALIZED, shell_link_rewrite_arguments(u"C:\\Menu\\u.lnk", 512, append_x, nullptr));
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    EXPECT_EQ(S_OK, shell_link_rewrite_arguments(u"c:\\menu\\U.LNK", 512, append_x, nullptr));
    const auto written = sim::get_shortcut("C:\\Menu\\u.lnk");
    EXPECT_EQ(written->arguments, "-ax");
    link.arguments = "-ax";
    EXPECT_EQ(*sim::file_bytes("C:\\Menu\\u.lnk"), [&] {
        sim::add_shortcut("C:\\Menu\\expected.lnk", link);
        return *sim::file_bytes("C:\\Menu\\expected.lnk");
    }());
    EXPECT_EQ(written->hotkey, 0x0655);
    EXPECT_EQ(written->show_command, 7);
    EXPECT_EQ(written->icon_location, "C:\\i.ico,3");

    sim::clear_journal();
    EXPECT_EQ(S_FALSE, shell_link_rewrite_arguments(u"C:\\Menu\\u.lnk", 512, decline, nullptr));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER),
              shell_link_rewrite_arguments(u"C:\\Menu\\u.lnk", 3, append_x, nullptr));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
              shell_link_rewrite_arguments(u"C:\\Menu\\none.lnk", 512, append_x, nullptr));
    EXPECT_TRUE(sim::journal().empty());
    CoUninitialize();
}
