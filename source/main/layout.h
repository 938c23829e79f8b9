// What the patch relies on in the titles' installer registration layout.
// Each constant is one entity in the whole program (inline), so that its
// address is the same in every module; code that compares codes still
// compares their texts.
#pragma once

#include <cstddef>

inline constexpr char SHARED_PRODUCT_CODE[] = "{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}";
inline constexpr char ALTERNATE_PRODUCT_CODE[] = "{C41E7D08-93A2-4F6B-B85D-61F09E2A7C34}";
inline constexpr char PARKING_PRODUCT_CODE[] = "{00000000-0000-0000-0000-000000000000}";
inline constexpr std::size_t PRODUCT_CODE_LENGTH = 38;

inline constexpr char INSTALL_INFO_FOLDER_NAME[] = "InstallShield Installation Information";
inline constexpr char DEFAULT_PROGRAM_FILES[] = "C:\\Program Files";
inline constexpr char UNINSTALL_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline constexpr char UNINSTALL_KEY_FORMAT[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s";
inline constexpr char ARP_CACHE_KEY[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache";
inline constexpr char SOFTWARE_KEY[] = "SOFTWARE";
inline constexpr char PUBLISHER_KEY[] = "Quenmoor";

inline constexpr char PATCH_CAPTION[] = "Kestova Patch";
inline constexpr char KS2_DISPLAY_NAME[] = "Kestova 2";
inline constexpr char KS3_DISPLAY_NAME[] = "Kestova 3";

inline constexpr char INSTALLER_PROGRAM[] = "\\setup.exe";
inline constexpr char REAL_UNINSTALLER_PROGRAM[] = "\\setup_is.exe";

inline constexpr char SETUP_MUTEX_NAME[] = "ZENTRAVOLK-SYSCFG";
inline constexpr char KS2_DISC_LABEL[] = "KS2";
inline constexpr char KS3_DISC_LABEL[] = "Kestova 3";
inline constexpr char KS2_SHORTCUT[] = "\\Quenmoor\\Kestova 2\\Uninstall Kestova 2.lnk";
inline constexpr char KS3_SHORTCUT[] = "\\Quenmoor\\Kestova 3\\Uninstall Kestova 3.lnk";
