// The patch started from a folder whose name the ANSI code page cannot
// hold: it still finds and copies its own executable.
#include "disc_setup.h"

using namespace platform;

namespace
{

const std::string PATCH = "C:\\users\\\xce\xa9mega\\Downloads\\kestova-patch.exe"; // "Ωmega"
const std::vector<BYTE> PATCH_BYTES = {'M', 'Z', 'p', 'a', 't', 'c', 'h', '2'};

class module_outside_code_page : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        sim::add_file(PATCH, PATCH_BYTES);
        sim::set_module_file_name(PATCH);
        sim::set_command_line("\"" + PATCH + "\"");
        sim::set_dxdiag_available(true);
        sim::set_dxdiag_version(9, 0, "c");
    }
};

TEST_F(module_outside_code_page, keeps_a_narrow_lower_cased_path_for_the_mode_and_a_whole_wide_one)
{
    record_module_path();
    EXPECT_EQ(std::string(module_path), "c:\\users\\?mega\\downloads\\kestova-patch.exe");
    EXPECT_EQ(std::u16string(module_path_wide), u"C:\\users\\\u03a9mega\\Downloads\\kestova-patch.exe");
    EXPECT_EQ(choose_run_mode("", module_path), run_mode::install_stage);
}

TEST_F(module_outside_code_page, the_whole_swap_redirects_the_new_title_through_a_copy_of_the_patch)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});

    sim::run_process([] { return patch_main(); });

    EXPECT_EQ(sim::message_boxes().size(), 1u) << last_box_text();
    expect_registration(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(sim::file_bytes(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe"), PATCH_BYTES);
    EXPECT_TRUE(sim::file_exists(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup_is.exe"));
    EXPECT_EQ(sim::call_count("CopyFileA"), 0);
}

TEST_F(module_outside_code_page, a_path_cut_to_the_buffer_is_not_used)
{
    const std::string deep = "C:\\" + std::string(1100, 'd') + "\\kestova-patch.exe";
    sim::set_module_file_name(deep);
    record_module_path();
    EXPECT_EQ(module_path_wide[0], 0);
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    // The narrow path names no file: nothing takes setup.exe's place.
    EXPECT_EQ(prepare_uninstall_redirect(ALTERNATE_PRODUCT_CODE), 0);
    EXPECT_FALSE(sim::file_exists(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe"));
    EXPECT_FALSE(sim::file_exists(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe.new"));
    EXPECT_TRUE(sim::file_exists(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup_is.exe"));
}

} // namespace
