// Every platform call the stages make, made to fail once at its first, a
// middle and its last use: whatever happens, no title may be lost, left
// split between two codes or left parked without the user being told.
#include "disc_setup.h"

#include <map>
#include <set>

using namespace platform;

namespace
{

const std::vector<BYTE> PATCH_BYTES = {'M', 'Z', 'p', 'a', 't', 'c', 'h'};
const std::vector<BYTE> INSTALLER_BYTES = {'M', 'Z', 'i', 's'};
const char* const CODES[] = {SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE};

struct scenario {
    const char* name;
    void (*arrange)();
    void (*run)();
    std::vector<std::string> titles_before; // titles that must survive
    std::string optional_title;             // the new or the removed title: whole if registered at all
};

void arrange_common()
{
    sim::add_file("C:\\Patch\\kestova-patch.exe", PATCH_BYTES);
    sim::set_dxdiag_available(true);
    sim::set_dxdiag_version(9, 0, "c");
    sim::set_string(HKEY_LOCAL_MACHINE,
                    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Management\\ARPCache\\" +
                        std::string(SHARED_PRODUCT_CODE),
                    "SlowInfoCache", "x");
}

void run_install_stage()
{
    CoInitialize(nullptr);
    std::snprintf(module_path, sizeof module_path, "c:\\patch\\kestova-patch.exe");
    install_stage();
}

void run_uninstall_stage()
{
    CoInitialize(nullptr);
    std::snprintf(module_path, sizeof module_path, "c:\\temp\\_is4f2a\\setup.tmp");
    uninstall_stage();
}

void arrange_title_2_installed()
{
    arrange_common();
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_uninstall_shortcut(ALL_USERS_PROGRAMS, "Kestova 2", SHARED_PRODUCT_CODE);
    add_title_disc("D:\\", "Kestova 3", "Kestova 3");
    sim::queue_answers({IDYES});
}

void arrange_title_3_installed()
{
    arrange_common();
    add_title(SHARED_PRODUCT_CODE, "Kestova 3");
    add_title_disc("E:\\", "KS2", "Kestova 2", STAMP_2003);
    sim::queue_answers({IDYES});
}

void add_real_uninstaller()
{
    sim::add_program(folder_path(SHARED_PRODUCT_CODE) + "\\setup_is.exe", [](const sim::started_program&) {
        sim::delete_key(HKEY_LOCAL_MACHINE, entry_path(SHARED_PRODUCT_CODE));
        return DWORD{1000};
    });
}

void add_redirected_title_3()
{
    add_title(ALTERNATE_PRODUCT_CODE, "Kestova 3");
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup_is.exe", INSTALLER_BYTES);
    sim::add_file(folder_path(ALTERNATE_PRODUCT_CODE) + "\\setup.exe", PATCH_BYTES);
}

void arrange_both_titles_redirected()
{
    arrange_common();
    add_title(SHARED_PRODUCT_CODE, "Kestova 2");
    add_redirected_title_3();
    add_real_uninstaller();
}

void arrange_only_redirected_title()
{
    arrange_common();
    add_redirected_title_3();
    add_real_uninstaller();
}

// The product code under which the entry names this title, if any.
std::vector<std::string> codes_holding(const std::string& title)
{
    std::vector<std::string> codes;
    for (const char* code : CODES) {
        if (sim::get_string(HKEY_LOCAL_MACHINE, entry_path(code), "DisplayName") == title) {
            codes.push_back(code);
        }
    }
    return codes;
}

// What is wrong with a title's registration under code; empty when whole.
std::string registration_fault(const std::string& title, const std::string& code)
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

std::string check_invariant(const scenario& s)
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

// Failure codes in the form each call reports them.
long failure_code(const std::string& function)
{
    static const std::set<std::string> com_calls = {
        "shell_link_load",  "shell_link_save", "shell_link_rewrite_arguments", "SHGetSpecialFolderLocation",
        "SHGetFolderPathA", "CoInitialize",    "dxdiag_open_system_info",      "dxdiag_get_property"};
    return com_calls.count(function) != 0 ? static_cast<long>(E_FAIL)
                                          : static_cast<long>(ERROR_ACCESS_DENIED);
}

void prepare(const scenario& s)
{
    sim::reset();
    reset_process_state();
    s.arrange();
}

class fault_matrix : public ::testing::TestWithParam<scenario>
{
};

TEST_P(fault_matrix, no_title_is_lost_whatever_call_fails)
{
    const scenario& s = GetParam();
    prepare(s);
    sim::run_process([&] {
        s.run();
        return 0;
    });
    ASSERT_EQ(check_invariant(s), "") << "the run without faults already breaks the invariant";
    const std::map<std::string, int> counts = sim::call_counts();

    int runs = 0;
    std::vector<std::string> failures;
    for (const auto& [function, count] : counts) {
        std::set<int> occurrences = {1, (count + 1) / 2, count};
        for (int occurrence : occurrences) {
            prepare(s);
            sim::fail_call(function, occurrence, failure_code(function));
            sim::run_process([&] {
                s.run();
                return 0;
            });
            ++runs;
            const std::string problem = check_invariant(s);
            if (!problem.empty()) {
                const auto& boxes = sim::message_boxes();
                failures.push_back(function + " #" + std::to_string(occurrence) + ": " + problem +
                                   " (last message: " + (boxes.empty() ? "none" : boxes.back().text) + ")");
            }
        }
    }
    std::printf("fault matrix %s: %zu calls, %d runs, %d kept every title, %zu did not\n", s.name,
                counts.size(), runs, runs - static_cast<int>(failures.size()), failures.size());
    for (const std::string& failure : failures) {
        ADD_FAILURE() << failure;
    }
}

INSTANTIATE_TEST_SUITE_P(stages, fault_matrix,
                         ::testing::Values(scenario{"install_title_3_beside_title_2",
                                                    arrange_title_2_installed,
                                                    run_install_stage,
                                                    {"Kestova 2"},
                                                    "Kestova 3"},
                                           scenario{"install_title_2_beside_title_3",
                                                    arrange_title_3_installed,
                                                    run_install_stage,
                                                    {"Kestova 3"},
                                                    "Kestova 2"},
                                           scenario{"uninstall_with_remaining_title",
                                                    arrange_both_titles_redirected,
                                                    run_uninstall_stage,
                                                    {"Kestova 2"},
                                                    "Kestova 3"},
                                           scenario{"uninstall_without_remaining_title",
                                                    arrange_only_redirected_title,
                                                    run_uninstall_stage,
                                                    {},
                                                    "Kestova 3"}),
                         [](const ::testing::TestParamInfo<scenario>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
