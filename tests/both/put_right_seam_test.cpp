// The seam calls that let the repair find a product folder whatever its
// entry's text names, remove an empty leftover, put a copy of the patch in
// place whole and recognise it, and write the registry to disc, checked
// against what Windows does.
#include "both.h"
#include "main/main.h"

#include <cstring>
#include <string>

using namespace platform;

namespace
{

const char SCRATCH_FOLDER[] = "C:\\KestovaSeamTests";

std::u16string wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

void delete_scratch_folder()
{
    char list[sizeof SCRATCH_FOLDER + 1] = {};
    std::memcpy(list, SCRATCH_FOLDER, sizeof SCRATCH_FOLDER);
    SHFILEOPSTRUCTA operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = list;
    operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    SHFileOperationA(&operation);
}

class put_right_seam_test : public both_backends_test
{
  protected:
    void SetUp() override
    {
        both_backends_test::SetUp();
        delete_scratch_folder();
        ASSERT_TRUE(CreateDirectoryA(SCRATCH_FOLDER, nullptr));
    }
    void TearDown() override
    {
        delete_scratch_folder();
        both_backends_test::TearDown();
    }

    // A copy of the running test program in the scratch folder.
    static void copy_own_file(const std::string& name)
    {
        WCHAR own[MODULE_PATH_WIDE_SIZE];
        ASSERT_GT(GetModuleFileNameW(nullptr, own, MODULE_PATH_WIDE_SIZE), 0u);
        ASSERT_TRUE(CopyFileW(own, wide(std::string(SCRATCH_FOLDER) + "\\" + name).c_str(), 0));
    }
};

TEST_F(put_right_seam_test, environment_strings_expand_to_the_program_files_folder)
{
    char program_files[MAX_PATH] = "";
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, program_files), S_OK);
    char expanded[512];
    const DWORD needed =
        ExpandEnvironmentStringsA("%ProgramFiles%\\X {%NoSuchVariable%}", expanded, sizeof expanded);
    EXPECT_EQ(std::string(expanded), std::string(program_files) + "\\X {%NoSuchVariable%}");
    EXPECT_EQ(needed, std::strlen(expanded) + 1);
    char small[4];
    EXPECT_GT(ExpandEnvironmentStringsA("%ProgramFiles%", small, sizeof small),
              static_cast<DWORD>(sizeof small));
}

// A path of more than MAX_PATH characters that names a short folder: the
// wide full-path call takes it and normalises it; the long-path prefix
// reaches a folder whatever the length.
TEST_F(put_right_seam_test, a_long_path_is_normalised_and_looked_at_with_the_long_path_prefix)
{
    std::string detour = SCRATCH_FOLDER;
    while (detour.size() < 300) {
        detour += "\\..\\KestovaSeamTests";
    }
    WCHAR full[1024];
    WCHAR* file_part = nullptr;
    const DWORD length = GetFullPathNameW(wide(detour).c_str(), 1024, full, &file_part);
    EXPECT_EQ(std::u16string(full), wide(SCRATCH_FOLDER));
    EXPECT_EQ(length, std::strlen(SCRATCH_FOLDER));
    ASSERT_NE(file_part, nullptr);
    EXPECT_EQ(std::u16string(file_part), u"KestovaSeamTests");
    EXPECT_EQ(GetFullPathNameW(wide(detour).c_str(), 4, full, nullptr), length + 1);

    const std::u16string prefixed = u"\\\\?\\" + wide(SCRATCH_FOLDER);
    const DWORD attributes = GetFileAttributesW(prefixed.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetFileAttributesW((prefixed + u"\\missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW((prefixed + u"\\missing\\deeper").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(put_right_seam_test, only_an_empty_folder_is_removed)
{
    const std::string empty = std::string(SCRATCH_FOLDER) + "\\Empty";
    const std::string holding = std::string(SCRATCH_FOLDER) + "\\Holding";
    ASSERT_TRUE(CreateDirectoryA(empty.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(holding.c_str(), nullptr));
    copy_own_file("Holding\\file.bin");
    EXPECT_TRUE(RemoveDirectoryA(empty.c_str()));
    EXPECT_EQ(GetFileAttributesA(empty.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(RemoveDirectoryA(holding.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_NE(GetFileAttributesA(holding.c_str()), INVALID_FILE_ATTRIBUTES);
}

// The redirection's move: over an existing file only when asked to, and
// the moved file reads back byte for byte.
TEST_F(put_right_seam_test, a_file_moves_over_another_only_when_asked_and_reads_back_whole)
{
    copy_own_file("new.bin");
    copy_own_file("old.bin");
    const std::u16string new_name = wide(std::string(SCRATCH_FOLDER) + "\\new.bin");
    const std::u16string old_name = wide(std::string(SCRATCH_FOLDER) + "\\old.bin");
    EXPECT_FALSE(MoveFileExW(new_name.c_str(), old_name.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(
        MoveFileExW(new_name.c_str(), old_name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(GetFileAttributesW(new_name.c_str()), INVALID_FILE_ATTRIBUTES);

    WCHAR own[MODULE_PATH_WIDE_SIZE];
    ASSERT_GT(GetModuleFileNameW(nullptr, own, MODULE_PATH_WIDE_SIZE), 0u);
    CRT_FILE* a = crt_wfopen(own, "rb");
    CRT_FILE* b = crt_wfopen(old_name.c_str(), "rb");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(crt_fseek(b, 0, CRT_SEEK_END), 0);
    const long size = crt_ftell(b);
    ASSERT_EQ(crt_fseek(b, 0, CRT_SEEK_SET), 0);
    long same = 0;
    char x = 0;
    char y = 0;
    while (crt_fread(&x, 1, 1, a) == 1 && crt_fread(&y, 1, 1, b) == 1 && x == y) {
        ++same;
    }
    EXPECT_EQ(same, size);
    crt_fclose(a);
    crt_fclose(b);

    EXPECT_TRUE(DeleteFileW(old_name.c_str()));
    EXPECT_FALSE(DeleteFileW(old_name.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(put_right_seam_test, the_registry_is_flushed_through_any_key_of_its_hive)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SCRATCH_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

} // namespace
