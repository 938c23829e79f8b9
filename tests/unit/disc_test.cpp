#include "disc_setup.h"

using namespace platform;

namespace
{

class disc : public patch_test
{
  protected:
    void SetUp() override
    {
        patch_test::SetUp();
        sim::set_dxdiag_available(true);
        sim::set_dxdiag_version(9, 0, "c");
    }
    static std::vector<std::string> box_texts()
    {
        std::vector<std::string> texts;
        for (const auto& box : sim::message_boxes()) {
            texts.push_back(box.text);
        }
        return texts;
    }
};

TEST_F(disc, the_wanted_disc_in_the_second_drive_is_offered_with_that_drive_named)
{
    is_ks2_installed = 1;
    add_cd_drive("D:\\", "Music CD");
    add_title_disc("E:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});
    EXPECT_EQ(find_disc_and_run_setup(), 1);
    ASSERT_EQ(sim::message_boxes().size(), 1u);
    EXPECT_EQ(sim::message_boxes()[0].text, "Found Kestova 3 in drive E:\\.\n\nInstall Kestova 3?");
    EXPECT_EQ(sim::message_boxes()[0].caption, "Kestova Patch");
    EXPECT_EQ(sim::message_boxes()[0].style, 0x34u);
    EXPECT_EQ(installing_ks3, 1);
    EXPECT_EQ(installing_ks2, 0);
    ASSERT_EQ(sim::started_programs().size(), 1u);
    EXPECT_EQ(sim::started_programs()[0].file, "E:\\\\setup.exe");
    EXPECT_EQ(sim::started_programs()[0].directory, "E:\\");
    EXPECT_EQ(sim::started_programs()[0].parameters, "");
    EXPECT_EQ(sim::started_programs()[0].show, SW_SHOW);
}

TEST_F(disc, declining_the_first_disc_offers_the_next_one)
{
    is_ks3_installed = 1;
    add_title_disc("D:\\", "ks2", "Kestova 2");
    add_title_disc("F:\\", "KS2", "Kestova 2");
    sim::queue_answers({IDNO, IDYES});
    EXPECT_EQ(find_disc_and_run_setup(), 1);
    ASSERT_EQ(sim::message_boxes().size(), 2u);
    EXPECT_EQ(sim::message_boxes()[0].text, "Found Kestova 2 in drive D:\\.\n\nInstall Kestova 2?");
    EXPECT_EQ(sim::message_boxes()[1].text, "Found Kestova 2 in drive F:\\.\n\nInstall Kestova 2?");
    EXPECT_EQ(installing_ks2, 1);
    EXPECT_EQ(sim::started_programs().at(0).file, "F:\\\\setup.exe");
}

TEST_F(disc, any_answer_but_no_accepts)
{
    is_ks2_installed = 1;
    add_title_disc("D:\\", "KESTOVA 3", "Kestova 3");
    sim::queue_answers({IDCANCEL});
    EXPECT_EQ(find_disc_and_run_setup(), 1);
    EXPECT_EQ(installing_ks3, 1);
}

TEST_F(disc, nothing_suitable_found_warns_with_the_title_looked_for)
{
    is_ks2_installed = 1;
    add_cd_drive("D:\\", "KS2");                                      // the installed title's own disc
    add_cd_drive("E:\\", "Kestova 3", false);                         // empty drive
    sim::add_drive({"F:\\", DRIVE_FIXED, "Kestova 3", "NTFS", true}); // not a CD-ROM drive
    add_title_disc("G:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDNO});
    EXPECT_EQ(find_disc_and_run_setup(), 0);
    EXPECT_EQ(box_texts(), (std::vector<std::string>{"Found Kestova 3 in drive G:\\.\n\nInstall Kestova 3?",
                                                     "Could not find 'Kestova 3' in any CDROM drive"}));
    EXPECT_TRUE(sim::started_programs().empty());

    sim::reset();
    reset_process_state();
    is_ks3_installed = 1;
    add_cd_drive("D:\\", "Kestova 3");
    EXPECT_EQ(find_disc_and_run_setup(), 0);
    EXPECT_EQ(box_texts(), std::vector<std::string>{"Could not find 'Kestova 2' in any CDROM drive"});
}

struct stamp_case {
    DWORD stamp;
    int needs_patch;
};

class setup_build : public disc, public ::testing::WithParamInterface<stamp_case>
{
};

TEST_P(setup_build, is_recognised_by_its_link_time_stamp)
{
    sim::add_file("D:\\setup.exe", setup_exe_image(GetParam().stamp));
    EXPECT_EQ(disc_needs_patch("D:\\"), GetParam().needs_patch);
}

INSTANTIATE_TEST_SUITE_P(stamps, setup_build,
                         ::testing::Values(stamp_case{STAMP_2003, 1}, stamp_case{STAMP_2004, 1},
                                           stamp_case{STAMP_2004 + 1, 0}, stamp_case{0, 0}));

TEST_F(disc, a_build_that_needs_no_patch_is_not_started)
{
    is_ks2_installed = 1;
    add_title_disc("D:\\", "Kestova 3", "Kestova 3", 0x40000000);
    sim::queue_answers({IDYES});
    EXPECT_EQ(find_disc_and_run_setup(), 0);
    EXPECT_EQ(last_box_text(), "The game cd in the drive doesn't require the patch to be used.\nPlease "
                               "install straight from the cdrom.");
    EXPECT_TRUE(sim::started_programs().empty());
    EXPECT_EQ(installing_ks3, 1);
}

class malformed_setup : public disc, public ::testing::WithParamInterface<std::vector<BYTE>>
{
};

TEST_P(malformed_setup, ends_with_the_header_message_without_reading_out_of_range)
{
    sim::add_file("D:\\setup.exe", GetParam());
    expect_fatal([] { disc_needs_patch("D:\\"); }, "Invalid setup.exe file (win header not found)");
}

std::vector<BYTE> with_offset(DWORD offset)
{
    std::vector<BYTE> image = setup_exe_image(STAMP_2004);
    std::memcpy(&image[60], &offset, 4);
    return image;
}

std::vector<BYTE> truncated(std::size_t size)
{
    std::vector<BYTE> image = setup_exe_image(STAMP_2004);
    image.resize(size);
    return image;
}

std::vector<BYTE> without_signature()
{
    std::vector<BYTE> image = setup_exe_image(STAMP_2004);
    image[0x80] = 'N';
    image[0x81] = 'E';
    return image;
}

INSTANTIATE_TEST_SUITE_P(images, malformed_setup,
                         ::testing::Values(std::vector<BYTE>{}, truncated(63), truncated(0x80 + 100),
                                           with_offset(0x7FFFFFF0), with_offset(0xFFFFFFF0),
                                           with_offset(0x90), without_signature()));

TEST_F(disc, a_missing_setup_is_an_error_reading_the_file)
{
    expect_fatal([] { disc_needs_patch("D:\\"); }, "Error reading file: D:\\setup.exe");
}

TEST_F(disc, directx_too_old_stops_before_the_setup)
{
    is_ks2_installed = 1;
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::set_dxdiag_version(8, 1, "b");
    sim::queue_answers({IDYES, IDNO});
    EXPECT_EQ(find_disc_and_run_setup(), 0);
    EXPECT_TRUE(sim::started_programs().empty());
    EXPECT_EQ(sim::message_boxes().size(), 2u);
}

TEST_F(disc, a_setup_the_shell_cannot_start_is_reported_without_waiting)
{
    is_ks2_installed = 1;
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});
    sim::force_shell_result(2);
    EXPECT_EQ(find_disc_and_run_setup(), 0);
    EXPECT_EQ(last_box_text(), "Failed to run setup.exe from cdrom drive");
    EXPECT_EQ(sim::open_mutex_calls(), 1) << "only the look before the start";
}

// A mutex that another program holds before the setup starts is no signal
// of the setup's: the user is asked to close that program first.
TEST_F(disc, a_mutex_held_before_the_setup_starts_is_reported_and_retried_or_cancelled)
{
    const std::string taken =
        "Another program of the titles is running (a configuration program or a game), "
        "so the patch could not tell when the disc's setup is ready.\n\nClose it, then "
        "click on Retry.\nClick on Cancel to stop: the installed title is kept as it was.";
    is_ks2_installed = 1;
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::create_mutex("ZENTRAVOLK-SYSCFG");
    sim::queue_answers({IDYES, IDRETRY, IDCANCEL});
    EXPECT_EQ(find_disc_and_run_setup(), 0);
    ASSERT_EQ(sim::message_boxes().size(), 3u);
    for (std::size_t i : {1u, 2u}) {
        EXPECT_EQ(sim::message_boxes()[i].text, taken);
        EXPECT_EQ(sim::message_boxes()[i].caption, "Kestova Patch");
        EXPECT_EQ(sim::message_boxes()[i].style, MB_RETRYCANCEL | MB_ICONWARNING);
    }
    EXPECT_TRUE(sim::started_programs().empty());

    // Retry once the other program has closed: the setup runs, and only its
    // own signal ends the wait.
    sim::reset();
    reset_process_state();
    sim::set_dxdiag_available(true);
    sim::set_dxdiag_version(9, 0, "c");
    is_ks2_installed = 1;
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::create_mutex("ZENTRAVOLK-SYSCFG");
    sim::queue_answers({IDYES, IDRETRY});
    sim::on_message_box([](const sim::message_box& box) {
        if (box.style == (MB_RETRYCANCEL | MB_ICONWARNING)) {
            sim::remove_mutex("ZENTRAVOLK-SYSCFG");
        }
    });
    EXPECT_EQ(find_disc_and_run_setup(), 1);
    EXPECT_EQ(sim::started_programs().size(), 1u);
    EXPECT_GE(sim::now_ms(), 1500u + SETUP_FINISH_MS + 5000u);
    EXPECT_TRUE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)));
}

TEST_F(disc, the_wait_polls_without_spinning_and_notices_the_mutex_promptly)
{
    is_ks2_installed = 1;
    add_title_disc("D:\\", "Kestova 3", "Kestova 3", STAMP_2004, 4000);
    sim::queue_answers({IDYES});
    const DWORD start = sim::now_ms();
    EXPECT_EQ(find_disc_and_run_setup(), 1);
    // Noticed within one poll interval of its creation; then the end of
    // the setup and the pause.
    EXPECT_LE(sim::now_ms() - start, 4000u + SETUP_FINISH_MS + 100u + 5000u);
    EXPECT_GE(sim::now_ms() - start, 4000u + SETUP_FINISH_MS + 5000u);
    EXPECT_LE(sim::open_mutex_calls(), 4000 / 50 + 3);
}

TEST_F(disc, a_setup_that_ends_without_the_mutex_is_given_up_on)
{
    is_ks2_installed = 1;
    add_cd_drive("D:\\", "Kestova 3");
    sim::add_file("D:\\setup.exe", setup_exe_image(STAMP_2003));
    sim::add_program("D:\\setup.exe", [](const sim::started_program&) { return DWORD{2000}; });
    sim::queue_answers({IDYES});
    EXPECT_EQ(find_disc_and_run_setup(), 0);
    EXPECT_NE(last_box_text().find("Gave up waiting for setup.exe"), std::string::npos);
    EXPECT_GE(sim::now_ms(), 2000u + 30000u);
    EXPECT_LT(sim::now_ms(), 2000u + 30000u + 1000u);
}

} // namespace
