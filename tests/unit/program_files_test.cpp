// The product folders live under the Program Files folder that the 32-bit
// patch is given, whatever it is called.
#include "registration.h"

using namespace platform;

namespace
{

struct program_files_case {
    const char* reported; // nullptr: the platform reports none
    const char* root;
};

class program_files : public patch_test, public ::testing::WithParamInterface<program_files_case>
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        if (GetParam().reported != nullptr) {
            sim::set_program_files_folder(std::string(GetParam().reported));
        } else {
            sim::set_program_files_folder(std::nullopt);
        }
    }
    std::string folder(const char* code) const
    {
        return std::string(GetParam().root) + "\\InstallShield Installation Information\\" + code;
    }
};

TEST_P(program_files, clean_mode_deletes_the_product_folders_there)
{
    for (const char* code : {SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE}) {
        sim::add_file(folder(code) + "\\setup.exe", {1});
    }
    sim::create_key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall");
    sim::set_command_line("patch.exe clean");
    sim::run_process([] { return patch_main(); });
    for (const char* code : {SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE}) {
        EXPECT_FALSE(sim::directory_exists(folder(code))) << code;
    }
    EXPECT_EQ(last_box_text(), "CLEANED OKAY");
}

TEST_P(program_files, the_uninstall_stage_deletes_the_removed_titles_folder_there_and_restores_the_other)
{
    // Both titles installed where a 32-bit setup puts them.
    const auto add = [&](const char* code, const std::string& title) {
        const std::string f = folder(code);
        sim::add_file(f + "\\setup.exe", {'M', 'Z'});
        sim::set_string(HKEY_LOCAL_MACHINE, entry_path(code), "DisplayName", title);
        sim::set_string(HKEY_LOCAL_MACHINE, entry_path(code), "UninstallString",
                        "\"" + f + "\\setup.exe\" -l0x9");
        sim::set_string(HKEY_LOCAL_MACHINE, entry_path(code), "LogFile", f + "\\setup.ilg");
    };
    add(SHARED_PRODUCT_CODE, "Kestova 2");
    add(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    sim::add_file(folder(ALTERNATE_PRODUCT_CODE) + "\\setup_is.exe", {'M', 'Z'});
    sim::add_program(folder(SHARED_PRODUCT_CODE) + "\\setup_is.exe", [](const sim::started_program&) {
        sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
        return DWORD{100};
    });

    uninstall_stage();

    EXPECT_TRUE(sim::directory_exists(folder(SHARED_PRODUCT_CODE)));
    EXPECT_FALSE(sim::file_exists(folder(SHARED_PRODUCT_CODE) + "\\setup_is.exe"));
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName"),
              "Kestova 2");
    EXPECT_FALSE(sim::directory_exists(folder(PARKING_PRODUCT_CODE)));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE)));
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE)));
}

INSTANTIATE_TEST_SUITE_P(folders, program_files,
                         ::testing::Values(program_files_case{"C:\\Program Files", "C:\\Program Files"},
                                           program_files_case{"C:\\Program Files (x86)",
                                                              "C:\\Program Files (x86)"},
                                           program_files_case{"D:\\Programme", "D:\\Programme"},
                                           program_files_case{nullptr, "C:\\Program Files"}));

} // namespace
