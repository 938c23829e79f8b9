// The starting states of the stage matrices (a call failing, the process
// killed) and the whole-registration check they share.
#pragma once

#include "disc_setup.h"

#include <string>
#include <vector>

namespace stage_scenarios
{

using namespace platform;

inline const std::vector<BYTE> PATCH_BYTES = {'M', 'Z', 'p', 'a', 't', 'c', 'h'};
inline const std::vector<BYTE> INSTALLER_BYTES = {'M', 'Z', 'i', 's'};
// Where the patch runs from: as the user starts it, as the removal runs it
// from its temporary copy, and as the logon after a restart starts it.
inline const std::string INSTALL_MODULE = "C:\\Patch\\kestova-patch.exe";
inline const std::string UNINSTALL_MODULE = "C:\\Temp\\_is4f2a\\setup.tmp";
inline const std::string LASTING_COPY = "C:\\ProgramData\\Kestova Patch\\kestova-patch.exe";
inline const std::string RUN_ONCE = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

struct scenario {
    const char* name;
    void (*arrange)();
    void (*run)();
    std::vector<std::string> titles_before; // titles that must survive
    std::string optional_title;             // the new or the removed title: whole if registered at all
};

inline void arrange_common()
{
    sim::add_file("C:\\Patch\\kestova-patch.exe", PATCH_BYTES);
    sim::set_dxdiag_available(true);
    sim::set_dxdiag_version(9, 0, "c");
    sim::set_string(HKEY_LOCAL_MACHINE,
                    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache\\" +
                        std::string(SHARED_PRODUCT_CODE),
                    "SlowInfoCache", "x");
}

inline void run_install_stage()
{
    CoInitialize(nullptr);
    std::snprintf(module_path, sizeof module_path, "c:\\patch\\kestova-patch.exe");
    install_stage();
}

inline void run_uninstall_stage()
{
    CoInitialize(nullptr);
    std::snprintf(module_path, sizeof module_path, "c:\\temp\\_is4f2a\\setup.tmp");
    uninstall_stage();
}

inline void arrange_title_2_installed()
{
    arrange_common();
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 2", SHARED_PRODUCT_CODE);
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});
}

inline void arrange_title_3_installed()
{
    arrange_common();
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    add_title_disc("E:\\", "KS2", "Kestova 2", STAMP_2003);
    sim::queue_answers({IDYES});
}

inline void add_real_uninstaller()
{
    sim::add_program(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe", [](const sim::started_program&) {
        sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
        return DWORD{1000};
    });
}

inline void add_redirected_title_3()
{
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup_is.exe", INSTALLER_BYTES);
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe", PATCH_BYTES);
}

inline void arrange_both_titles_redirected()
{
    arrange_common();
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_redirected_title_3();
    add_real_uninstaller();
}

inline void arrange_only_redirected_title()
{
    arrange_common();
    add_redirected_title_3();
    add_real_uninstaller();
}

// Chains whose engine outlives its first process: the disc's setup and the
// real uninstaller each start their engine from a temporary folder just
// before they end (between two looks of the patch), and the engine does the
// work a few seconds later.
inline const std::string CHAIN_ENGINE = "C:\\Users\\Player\\AppData\\Local\\Temp\\{A1}\\engine.exe";

inline void arrange_title_2_installed_chained_setup()
{
    arrange_title_2_installed();
    sim::add_program(CHAIN_ENGINE, [](const sim::started_program&) {
        sim::schedule(3000, [] {
            add_title(SHARED_PRODUCT_CODE, "Kestova 3");
            add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 3", SHARED_PRODUCT_CODE);
            sim::create_mutex(SETUP_MUTEX_NAME);
        });
        sim::schedule(6000, [] { sim::remove_mutex(SETUP_MUTEX_NAME); });
        return DWORD{6000};
    });
    sim::add_program("D:\\setup.exe", [](const sim::started_program&) {
        sim::start_child(CHAIN_ENGINE, 190);
        return DWORD{200};
    });
}

// The user reads each box for five seconds: the uninstall box is answered
// once the uninstaller's engine has ended.
inline void arrange_both_titles_redirected_chained_uninstaller()
{
    arrange_both_titles_redirected();
    sim::set_box_wait(5000);
    sim::add_program(CHAIN_ENGINE, [](const sim::started_program&) {
        sim::schedule(3000, [] { sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE)); });
        return DWORD{4000};
    });
    sim::add_program(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe", [](const sim::started_program&) {
        sim::start_child(CHAIN_ENGINE, 90);
        return DWORD{100};
    });
}

// The product code under which the entry names this title, if any.
inline std::vector<std::string> codes_holding(const std::string& title)
{
    std::vector<std::string> codes;
    for (const char* code : ALL_PRODUCT_CODES) {
        if (sim::get_string(HKEY_LOCAL_MACHINE, entry_path(code), "DisplayName") == title) {
            codes.push_back(code);
        }
    }
    return codes;
}

// What is wrong with a title's registration under code; empty when whole.
inline std::string registration_fault(const std::string& title, const std::string& code)
{
    const std::string entry = entry_path(code);
    const std::string folder = folder_path(code);
    if (sim::get_string(HKEY_LOCAL_MACHINE, entry, "UninstallString") != uninstall_string_for(code)) {
        return "its uninstall string does not name " + code;
    }
    if (sim::get_string(HKEY_LOCAL_MACHINE, entry, "LogFile") != log_file_for(code)) {
        return "its log file does not name " + code;
    }
    if (sim::get_string(HKEY_LOCAL_MACHINE, entry, "Publisher") != std::string("Quenmoor") ||
        sim::get_string(HKEY_LOCAL_MACHINE, entry, "InstallLocation") != "C:\\Games\\" + title ||
        sim::get_string(HKEY_LOCAL_MACHINE, entry + "\\Components", "Main") != title + " files") {
        return "a value of its entry was lost";
    }
    if (sim::file_bytes(folder + "\\data1.hdr") != std::vector<BYTE>{1, 2, 3}) {
        return "its folder is missing or lost a file";
    }
    // Under the shared code a title runs its own installer; under the
    // alternate code its removal must go through the patch.
    const auto setup = sim::file_bytes(folder + "\\setup.exe");
    const auto real = sim::file_bytes(folder + "\\setup_is.exe");
    if (code == SHARED_PRODUCT_CODE && setup != INSTALLER_BYTES) {
        return "its setup.exe is not its own uninstaller";
    }
    if (code == ALTERNATE_PRODUCT_CODE && (setup != PATCH_BYTES || real != INSTALLER_BYTES)) {
        return "its uninstaller is not redirected through the patch";
    }
    return "";
}

inline std::string check_invariant(const scenario& s)
{
    const auto& boxes = sim::message_boxes();
    const std::string last_message = boxes.empty() ? "" : boxes.back().text;
    const bool parking_named = last_message.find(PARKING_PRODUCT_CODE) != std::string::npos;
    if (sim::key_exists(HKEY_LOCAL_MACHINE, entry_path(PARKING_PRODUCT_CODE)) && !parking_named) {
        return "a title is left parked and the last message does not say so";
    }
    std::vector<std::string> titles = s.titles_before;
    if (!s.optional_title.empty()) {
        titles.push_back(s.optional_title);
    }
    for (const std::string& title : titles) {
        const auto codes = codes_holding(title);
        if (codes.empty()) {
            if (title == s.optional_title) {
                continue;
            }
            return title + " is no longer registered";
        }
        if (codes.size() > 1) {
            return title + " is registered twice";
        }
        const std::string fault = registration_fault(title, codes[0]);
        // A title whose uninstaller could not be redirected is kept, and the
        // user is told about it.
        const bool told = codes[0] == ALTERNATE_PRODUCT_CODE &&
                          last_message.find(ALTERNATE_PRODUCT_CODE) != std::string::npos &&
                          fault == "its uninstaller is not redirected through the patch";
        if (!fault.empty() && !told) {
            return title + " under " + codes[0] + ": " + fault;
        }
    }
    return "";
}

} // namespace stage_scenarios
