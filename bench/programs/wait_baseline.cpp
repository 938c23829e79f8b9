// The baseline for the wait on the disc's setup: the original design.
//
//   wait_baseline.exe DRIVE_ROOT RESULT_FILE
//
// It starts DRIVE_ROOT\setup.exe the way the patch does (ShellExecuteEx, the
// drive root as working directory), then polls for the setup's mutex with
// OpenMutexA and nothing but Sleep(0) between attempts. Once it has the mutex
// it notes the time, pauses 5 s as the patch does and renames the product
// folder under the shared code to the alternate code, the same first visible
// step as the patch's, so that the setup stand-in observes both alike.
//
// Result keys: noticed (FILETIME), attempts, folder_renamed (1 or 0).
#include "bench_util.h"

#include <shellapi.h>
#include <shlobj.h>

#include <string>

namespace
{

constexpr char SHARED_PRODUCT_CODE[] = "{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}";
constexpr char ALTERNATE_PRODUCT_CODE[] = "{C41E7D08-93A2-4F6B-B85D-61F09E2A7C34}";
constexpr char SETUP_MUTEX_NAME[] = "ZENTRAVOLK-SYSCFG";
constexpr DWORD PAUSE_AFTER_MUTEX_MS = 5000;

std::string product_folder(const char* code)
{
    char program_files[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, program_files);
    return std::string(program_files) + "\\InstallShield Installation Information\\" + code;
}

} // namespace

// A Windows program like the patch (no console); the C runtime still splits
// the command line into __argc and __argv.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (__argc != 3) {
        return 2;
    }
    const char* root = __argv[1];
    bench::result_file result;
    if (!result.open(__argv[2])) {
        return 2;
    }

    const std::string setup = std::string(root) + "\\setup.exe";
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpFile = setup.c_str();
    info.lpDirectory = root;
    info.nShow = SW_SHOW;
    if (!ShellExecuteExA(&info) || reinterpret_cast<INT_PTR>(info.hInstApp) <= 32) {
        result.put("error", "setup did not start");
        return 1;
    }
    bench::scoped_handle setup_process(info.hProcess);

    unsigned long long attempts = 0;
    HANDLE mutex = nullptr;
    for (;;) {
        ++attempts;
        mutex = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, SETUP_MUTEX_NAME);
        if (mutex != nullptr) {
            break;
        }
        Sleep(0);
    }
    result.put_time("noticed", bench::now_filetime());
    CloseHandle(mutex);
    result.put("attempts", "%llu", attempts);

    Sleep(PAUSE_AFTER_MUTEX_MS);
    const BOOL renamed = MoveFileA(product_folder(SHARED_PRODUCT_CODE).c_str(),
                                   product_folder(ALTERNATE_PRODUCT_CODE).c_str());
    result.put("folder_renamed", "%d", renamed ? 1 : 0);
    return 0;
}
