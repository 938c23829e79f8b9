// Renames and deletions through the shell: none of the shell's own windows,
// an aborted operation counts as a failure, a taken name is never replaced.
#include "disc_setup.h"

using namespace platform;

namespace
{

constexpr WORD QUIET_FLAGS = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;

class shell_operation : public patch_test
{
};

TEST_F(shell_operation, an_aborted_folder_move_keeps_the_entry_with_its_folder)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    sim::abort_file_operation(1);
    expect_fatal([] { relocate_whole_registration(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE); },
                 "Could not move the product folder " + folder_path(SHARED_PRODUCT_CODE) + " to " +
                     PARKING_PRODUCT_CODE + ".\nThe title stays registered under " + SHARED_PRODUCT_CODE +
                     ".");
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_no_registration(PARKING_PRODUCT_CODE);
    EXPECT_EQ(move_install_info_folder(SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE), 1)
        << "the next try goes through";
}

TEST_F(shell_operation, an_aborted_deletion_or_redirect_rename_is_a_failure)
{
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    const std::string folder = folder_path(ALTERNATE_PRODUCT_CODE);
    sim::abort_file_operation(1);
    EXPECT_EQ(delete_folder(folder.c_str()), 0);
    EXPECT_TRUE(sim::directory_exists(folder));

    sim::abort_file_operation(2);
    EXPECT_EQ(prepare_uninstall_redirect(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_FALSE(sim::file_exists(folder + "\\setup_is.exe"));
    EXPECT_EQ(sim::call_count("CopyFileW") + sim::call_count("CopyFileA"), 0);
}

TEST_F(shell_operation, a_taken_name_is_never_replaced)
{
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    const std::string folder = folder_path(ALTERNATE_PRODUCT_CODE);
    sim::add_file(folder + "\\setup_is.exe", {'r', 'e', 'a', 'l'});
    EXPECT_EQ(prepare_uninstall_redirect(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_EQ(sim::file_bytes(folder + "\\setup_is.exe"), (std::vector<BYTE>{'r', 'e', 'a', 'l'}));
    EXPECT_EQ(sim::call_count("SHFileOperationA"), 0) << "the shell is not even asked";

    add_title(PARKING_PRODUCT_CODE, "Kestova 2");
    sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE));
    EXPECT_EQ(move_install_info_folder(ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE), 0);
    EXPECT_TRUE(sim::directory_exists(folder));
}

TEST_F(shell_operation, a_whole_swap_and_removal_keep_the_shells_windows_away)
{
    sim::add_file("C:\\Patch\\kestova-patch.exe", {'M', 'Z'});
    std::snprintf(module_path, sizeof module_path, "c:\\patch\\kestova-patch.exe");
    sim::set_dxdiag_available(true);
    sim::set_dxdiag_version(9, 0, "c");
    CoInitialize(nullptr);
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});
    install_stage();
    sim::add_program(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe", [](const sim::started_program&) {
        sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
        return DWORD{10};
    });
    uninstall_stage();

    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    expect_no_registration(ALTERNATE_PRODUCT_CODE);
    ASSERT_GE(sim::file_operation_flags().size(), 8u);
    for (WORD flags : sim::file_operation_flags()) {
        EXPECT_EQ(flags & QUIET_FLAGS, QUIET_FLAGS) << std::hex << flags;
    }
}

} // namespace
