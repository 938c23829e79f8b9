// The shell part of the seam: file operations, program starts and special
// folders (shell32). The seam's records are copied into the real ones and
// the results handed back.
#include "platform/win32/internal.h"

#include <shellapi.h>
#include <shlobj.h>

using win32::real;
using win32::seam;
using win32::seam_call;
using win32::seam_effect;
using win32::seam_id_list;

namespace
{

::LPITEMIDLIST real_id_list(seam_id_list id_list)
{
    return reinterpret_cast<::LPITEMIDLIST>(id_list);
}

} // namespace

int platform::SHFileOperationA(platform::SHFILEOPSTRUCTA* operation)
{
    seam_call(seam_effect::changes, __func__);
    if (!operation) {
        return ERROR_INVALID_PARAMETER;
    }
    ::SHFILEOPSTRUCTA record = {};
    record.hwnd = real(operation->hwnd);
    record.wFunc = operation->wFunc;
    record.pFrom = operation->pFrom;
    record.pTo = operation->pTo;
    record.fFlags = operation->fFlags;
    record.lpszProgressTitle = operation->lpszProgressTitle;

    const int result = ::SHFileOperationA(&record);
    operation->fAnyOperationsAborted = record.fAnyOperationsAborted;
    operation->hNameMappings = record.hNameMappings;
    return result;
}

platform::INT_PTR platform::ShellExecuteA(platform::HWND owner, const char* operation, const char* file,
                                          const char* parameters, const char* directory, int show)
{
    seam_call(seam_effect::changes, __func__);
    // The instance handle is the classic result code: greater than 32 when started.
    return reinterpret_cast<platform::INT_PTR>(
        ::ShellExecuteA(real(owner), operation, file, parameters, directory, show));
}

platform::BOOL platform::ShellExecuteExA(platform::SHELLEXECUTEINFOA* info)
{
    seam_call(seam_effect::changes, __func__);
    if (!info) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ::SHELLEXECUTEINFOA record = {};
    record.cbSize = sizeof(record);
    record.fMask = info->fMask;
    record.hwnd = real(info->hwnd);
    record.lpVerb = info->lpVerb;
    record.lpFile = info->lpFile;
    record.lpParameters = info->lpParameters;
    record.lpDirectory = info->lpDirectory;
    record.nShow = info->nShow;

    const ::BOOL started = ::ShellExecuteExA(&record);
    info->hInstApp = reinterpret_cast<platform::INT_PTR>(record.hInstApp);
    // Handed over to the caller, who closes it (only with SEE_MASK_NOCLOSEPROCESS).
    info->hProcess = seam(record.hProcess);
    return started;
}

platform::HRESULT platform::SHGetSpecialFolderLocation(platform::HWND owner, int folder,
                                                       seam_id_list* id_list)
{
    seam_call(seam_effect::looks, __func__);
    ::LPITEMIDLIST located = nullptr;
    const ::HRESULT result = ::SHGetSpecialFolderLocation(real(owner), folder, id_list ? &located : nullptr);
    if (id_list) {
        *id_list = reinterpret_cast<seam_id_list>(located);
    }
    return result;
}

platform::BOOL platform::SHGetPathFromIDListA(seam_id_list id_list, char* path)
{
    seam_call(seam_effect::looks, __func__);
    return ::SHGetPathFromIDListA(real_id_list(id_list), path);
}

void platform::ILFree(seam_id_list id_list)
{
    seam_call(seam_effect::looks, __func__);
    ::ILFree(real_id_list(id_list));
}

platform::HRESULT platform::SHGetFolderPathA(platform::HWND owner, int folder, platform::HANDLE token,
                                             platform::DWORD flags, char* path)
{
    seam_call(seam_effect::looks, __func__);
    return ::SHGetFolderPathA(real(owner), folder, real(token), flags, path);
}
