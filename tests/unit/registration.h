// Titles registered the way their installer registers them, and checks of
// registrations as a whole.
#pragma once

#include "patch_test.h"

#include <string>

inline const std::string UNINSTALL_PATH = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
inline const std::string INFO_ROOT_PATH = "C:\\Program Files\\InstallShield Installation Information\\";

inline std::string entry_path(const std::string& code)
{
    return UNINSTALL_PATH + code;
}
inline std::string folder_path(const std::string& code)
{
    return INFO_ROOT_PATH + code;
}

inline std::string uninstall_string_for(const std::string& code)
{
    return "\"" + folder_path(code) + "\\setup.exe\" -runfromtemp -l0x0009 -removeonly";
}
inline std::string log_file_for(const std::string& code)
{
    return folder_path(code) + "\\setup.ilg";
}

// A title as its setup leaves it: product folder with the maintenance
// program and a data file, uninstall entry with its values and a subkey.
inline void add_title(const std::string& code, const std::string& title)
{
    using namespace platform;
    sim::add_file(folder_path(code) + "\\setup.exe", {'M', 'Z', 'i', 's'});
    sim::add_file(folder_path(code) + "\\data1.hdr", {1, 2, 3});
    const std::string entry = entry_path(code);
    sim::set_string(HKEY_LOCAL_MACHINE, entry, "DisplayName", title);
    sim::set_string(HKEY_LOCAL_MACHINE, entry, "UninstallString", uninstall_string_for(code));
    sim::set_string(HKEY_LOCAL_MACHINE, entry, "LogFile", log_file_for(code));
    sim::set_string(HKEY_LOCAL_MACHINE, entry, "Publisher", "Quenmoor");
    sim::set_string(HKEY_LOCAL_MACHINE, entry, "InstallLocation", "C:\\Games\\" + title, REG_EXPAND_SZ);
    sim::set_dword(HKEY_LOCAL_MACHINE, entry, "NoModify", 1);
    sim::set_string(HKEY_LOCAL_MACHINE, entry + "\\Components", "Main", title + " files");
}

// The title stands whole under code: its folder with the maintenance
// program, its entry with the title's name and both texts naming code.
inline void expect_registration(const std::string& code, const std::string& title)
{
    using namespace platform;
    SCOPED_TRACE("registration of " + title + " under " + code);
    EXPECT_TRUE(sim::directory_exists(folder_path(code)));
    EXPECT_TRUE(sim::file_exists(folder_path(code) + "\\data1.hdr"));
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(code), "DisplayName"), title);
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(code), "UninstallString"),
              uninstall_string_for(code));
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(code), "LogFile"), log_file_for(code));
    EXPECT_EQ(sim::get_string(HKEY_LOCAL_MACHINE, entry_path(code) + "\\Components", "Main"),
              title + " files");
}

inline void expect_no_registration(const std::string& code)
{
    using namespace platform;
    EXPECT_FALSE(sim::directory_exists(folder_path(code))) << code;
    EXPECT_FALSE(sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(code))) << code;
}
