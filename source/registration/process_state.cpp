// The process-wide state: the running module's path (narrow and wide),
// which titles are installed and which one a stage installs, and the
// install-info root that every product folder stands under.
#include "log/log.h"
#include "registration/registration.h"

#include "misc/misc.h"

#include <cstring>

using namespace platform;

char module_path[512];
WCHAR module_path_wide[MODULE_PATH_WIDE_SIZE];
int shared_code_in_use = 1;
int is_ks2_installed = 0;
int is_ks3_installed = 0;
int installing_ks2 = 0;
int installing_ks3 = 0;

namespace
{

char install_info_root_buffer[MAX_PATH + sizeof INSTALL_INFO_FOLDER_NAME + 1];

void lower_case_ascii(char* text)
{
    for (; *text != '\0'; ++text) {
        if (*text >= 'A' && *text <= 'Z') {
            *text = static_cast<char>(*text - 'A' + 'a');
        }
    }
}

} // namespace

void record_module_path()
{
    std::memset(module_path, 0, sizeof module_path);
    GetModuleFileNameA(nullptr, module_path, sizeof module_path);
    module_path[sizeof module_path - 1] = '\0'; // older systems leave a cut path unterminated
    lower_case_ascii(module_path);

    // A path cut to the buffer names another file: none is kept then.
    std::memset(module_path_wide, 0, sizeof module_path_wide);
    const DWORD length = GetModuleFileNameW(nullptr, module_path_wide, MODULE_PATH_WIDE_SIZE);
    if (length == 0 || length >= MODULE_PATH_WIDE_SIZE) {
        module_path_wide[0] = 0;
    }
}

void reset_process_state()
{
    std::memset(module_path, 0, sizeof module_path);
    std::memset(module_path_wide, 0, sizeof module_path_wide);
    shared_code_in_use = 1;
    is_ks2_installed = 0;
    is_ks3_installed = 0;
    installing_ks2 = 0;
    installing_ks3 = 0;
    install_info_root_buffer[0] = '\0';
    set_fatal_error_handler(nullptr);
    reset_log();
}

// The installers are 32-bit: they put their product folders under the
// Program Files folder that a 32-bit program sees ("C:\Program Files (x86)"
// on 64-bit Windows, a translated name on localised Windows).
const char* install_info_root()
{
    if (install_info_root_buffer[0] != '\0') {
        return install_info_root_buffer;
    }
    char program_files[MAX_PATH] = "";
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, program_files)) ||
        program_files[0] == '\0') {
        format_text(program_files, sizeof program_files, "%s", DEFAULT_PROGRAM_FILES);
    }
    program_files[sizeof program_files - 1] = '\0';
    format_text(install_info_root_buffer, sizeof install_info_root_buffer, "%s\\%s", program_files,
                INSTALL_INFO_FOLDER_NAME);
    return install_info_root_buffer;
}

int format_product_folder(char* buffer, std::size_t size, const char* product_code)
{
    return format_text(buffer, size, "%s\\%s", install_info_root(), product_code);
}
