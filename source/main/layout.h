// What the patch relies on in the titles' installer registration layout.
#pragma once

#include <cstddef>

constexpr char SHARED_PRODUCT_CODE[] = "{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}";
constexpr char ALTERNATE_PRODUCT_CODE[] = "{C41E7D08-93A2-4F6B-B85D-61F09E2A7C34}";
constexpr char PARKING_PRODUCT_CODE[] = "{00000000-0000-0000-0000-000000000000}";
constexpr std::size_t PRODUCT_CODE_LENGTH = 38;

constexpr char INSTALL_INFO_FOLDER_NAME[] = "InstallShield Installation Information";
constexpr char DEFAULT_PROGRAM_FILES[] = "C:\\Program Files";
constexpr char UNINSTALL_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr char UNINSTALL_KEY_FORMAT[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s";
constexpr char ARP_CACHE_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache";
constexpr char SOFTWARE_KEY[] = "SOFTWARE";
constexpr char PUBLISHER_KEY[] = "Quenmoor";

constexpr char PATCH_CAPTION[] = "Kestova Patch";
constexpr char KS2_DISPLAY_NAME[] = "Kestova 2";
constexpr char KS3_DISPLAY_NAME[] = "Kestova 3";

constexpr char INSTALLER_PROGRAM[] = "\\setup.exe";
constexpr char REAL_UNINSTALLER_PROGRAM[] = "\\setup_is.exe";

constexpr char SETUP_MUTEX_NAME[] = "ZENTRAVOLK-SYSCFG";
constexpr char KS2_DISC_LABEL[] = "KS2";
constexpr char KS3_DISC_LABEL[] = "Kestova 3";
constexpr char KS2_SHORTCUT[] = "\\Quenmoor\\Kestova 2\\Uninstall Kestova 2.lnk";
constexpr char KS3_SHORTCUT[] = "\\Quenmoor\\Kestova 3\\Uninstall Kestova 3.lnk";
