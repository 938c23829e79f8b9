#include "registration.h"

using namespace platform;

namespace
{

class detection : public patch_test
{
};

TEST_F(detection, title_2_under_the_shared_code)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    EXPECT_EQ(detect_installed_game(), 1);
    EXPECT_EQ(shared_code_in_use, 1);
    EXPECT_EQ(is_ks2_installed, 1);
    EXPECT_EQ(is_ks3_installed, 0);
    EXPECT_TRUE(sim::message_boxes().empty());
}

TEST_F(detection, title_3_under_the_alternate_code)
{
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    EXPECT_EQ(detect_installed_game(), 1);
    EXPECT_EQ(shared_code_in_use, 0);
    EXPECT_EQ(is_ks2_installed, 0);
    EXPECT_EQ(is_ks3_installed, 1);
}

TEST_F(detection, the_shared_entry_decides_when_both_exist)
{
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "DisplayName", "Something else");
    EXPECT_EQ(detect_installed_game(), 1);
    EXPECT_EQ(shared_code_in_use, 1);
    EXPECT_EQ(is_ks3_installed, 1);
    EXPECT_EQ(is_ks2_installed, 0);
}

TEST_F(detection, nothing_installed_ends_the_process_and_changes_nothing)
{
    sim::clear_journal();
    expect_fatal([] { detect_installed_game(); },
                 "Neither 'Kestova 2' or 'Kestova 3' are currently installed");
    for (const std::string& line : sim::journal()) {
        EXPECT_EQ(line.rfind("message box", 0), 0u) << "unexpected change: " << line;
    }
}

class display_name_rejected : public patch_test, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(display_name_rejected, by_the_exact_comparison)
{
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName", GetParam());
    expect_fatal([] { detect_installed_game(); }, "ASSERT is_ks2_installed || is_ks3_installed");
}

INSTANTIATE_TEST_SUITE_P(names, display_name_rejected,
                         ::testing::Values("kestova 2", "KESTOVA 3", "Kestova 2 ", "Kestova 3 Gold", "",
                                           "Kestova"));

TEST_F(detection, a_missing_or_too_long_display_name_shows_the_last_error_value)
{
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "Other", "x");
    SetLastError(1234);
    expect_fatal([] { detect_installed_game(); }, "Error when getting display name (1234)");

    reset_process_state();
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName", std::string(64, 'K'));
    SetLastError(0);
    expect_fatal([] { detect_installed_game(); }, "Error when getting display name (0)");
}

TEST_F(detection, a_name_of_63_characters_is_read_and_compared)
{
    sim::set_string(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName", std::string(63, 'K'));
    expect_fatal([] { detect_installed_game(); }, "ASSERT is_ks2_installed || is_ks3_installed");
}

TEST_F(detection, an_unterminated_name_filling_the_buffer_matches_neither_title)
{
    std::vector<BYTE> data;
    const std::string name = "Kestova 2";
    for (int i = 0; i < 64; ++i) {
        // "Kestova 2" followed by blanks, 64 characters with no terminator.
        const char c = i < static_cast<int>(name.size()) ? name[static_cast<std::size_t>(i)] : ' ';
        data.push_back(static_cast<BYTE>(c));
        data.push_back(0);
    }
    sim::set_value(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE), "DisplayName", REG_SZ, data);
    expect_fatal([] { detect_installed_game(); }, "ASSERT is_ks2_installed || is_ks3_installed");
}

TEST_F(detection, a_short_name_stored_without_terminator_still_matches)
{
    sim::set_value(HKEY_LOCAL_MACHINE, entry_path(ALTERNATE_PRODUCT_CODE), "DisplayName", REG_SZ,
                   {'K', 0, 'e', 0, 's', 0, 't', 0, 'o', 0, 'v', 0, 'a', 0, ' ', 0, '3', 0});
    EXPECT_EQ(detect_installed_game(), 1);
    EXPECT_EQ(is_ks3_installed, 1);
}

} // namespace
