// Game discs, their setup programs and Start-menu shortcuts on the simulated
// machine.
#pragma once

#include "registration.h"

#include <cstring>
#include <string>
#include <vector>

inline constexpr platform::DWORD STAMP_2003 = 0x3F746D6D;
inline constexpr platform::DWORD STAMP_2004 = 0x41640D89;
inline const std::string ALL_USERS_PROGRAMS = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
inline const std::string USER_PROGRAMS =
    "C:\\Users\\Player\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs";

// A "setup.exe" image: MS-DOS header pointing at 32-bit NT headers that
// carry the link time stamp.
inline std::vector<platform::BYTE> setup_exe_image(platform::DWORD stamp,
                                                   platform::DWORD header_offset = 0x80)
{
    std::vector<platform::BYTE> image(header_offset + 248 + 16, 0);
    image[0] = 'M';
    image[1] = 'Z';
    std::memcpy(&image[60], &header_offset, 4); // little-endian, as the host
    std::memcpy(&image[header_offset], "PE\0\0", 4);
    image[header_offset + 4] = 0x4c; // i386
    image[header_offset + 5] = 0x01;
    std::memcpy(&image[header_offset + 8], &stamp, 4);
    return image;
}

inline std::string shortcut_path(const std::string& programs, const std::string& title)
{
    return programs + "\\Quenmoor\\" + title + "\\Uninstall " + title + ".lnk";
}

inline std::string uninstall_arguments(const std::string& code)
{
    return "-runfromtemp -l0x0009 -removeonly -f\"" + code + "\" tail";
}

inline void add_uninstall_shortcut(const std::string& programs, const std::string& title,
                                   const std::string& code)
{
    sim::add_shortcut(shortcut_path(programs, title),
                      {"C:\\Windows\\IsUninst.exe", uninstall_arguments(code), "Uninstall " + title,
                       "C:\\Games", "C:\\Games\\" + title + "\\game.ico,0"});
}

inline void add_cd_drive(const std::string& root, const std::string& label, bool has_media = true)
{
    sim::add_drive({root, platform::DRIVE_CDROM, label, "CDFS", has_media});
}

// How long the disc's setup goes on after its signal (the user reading
// its last page and clicking Finish).
constexpr platform::DWORD SETUP_FINISH_MS = 3000;

// The other title's disc: its setup registers the title under the shared
// code with its shortcut, then creates the mutex after mutex_delay_ms,
// and ends SETUP_FINISH_MS later (its mutex goes with it).
inline void add_title_disc(const std::string& root, const std::string& label, const std::string& title,
                           platform::DWORD stamp = STAMP_2004, platform::DWORD mutex_delay_ms = 1500)
{
    add_cd_drive(root, label);
    sim::add_file(root + "setup.exe", setup_exe_image(stamp));
    sim::add_program(root + "setup.exe", [title, mutex_delay_ms](const sim::started_program&) {
        sim::schedule(mutex_delay_ms / 2, [title] {
            add_title(SHARED_PRODUCT_CODE, title);
            add_uninstall_shortcut(ALL_USERS_PROGRAMS, title, SHARED_PRODUCT_CODE);
        });
        sim::schedule(mutex_delay_ms, [] { sim::create_mutex("ZENTRAVOLK-SYSCFG"); });
        sim::schedule(mutex_delay_ms + SETUP_FINISH_MS, [] { sim::remove_mutex("ZENTRAVOLK-SYSCFG"); });
        return mutex_delay_ms + SETUP_FINISH_MS;
    });
}

// The arguments of a shortcut file, or "<no shortcut>".
inline std::string shortcut_arguments(const std::string& path)
{
    const auto link = sim::get_shortcut(path);
    return link ? link->arguments : std::string("<no shortcut>");
}
