// The kernel, version-information, user-interface and C-runtime parts of
// the seam, one to one onto the real calls. The registry, shell and COM
// parts live in registry.cpp, shell.cpp and com.cpp beside this file.
#include "platform/win32/internal.h"

#include <cstdio>
#include <cstdlib>

using win32::dword_param;
using win32::real;
using win32::seam;
using win32::seam_call;
using win32::seam_effect;
using win32::security_attributes;
using win32::uint_param;
using win32::wide;

namespace
{

std::FILE* real_file(platform::CRT_FILE* file)
{
    return reinterpret_cast<std::FILE*>(file);
}

} // namespace

// ---------------------------------------------------------------------------
// Kernel.

platform::DWORD platform::GetLastError()
{
    seam_call(seam_effect::looks, __func__);
    return ::GetLastError();
}

void platform::SetLastError(platform::DWORD error)
{
    seam_call(seam_effect::looks, __func__);
    ::SetLastError(error);
}

const char* platform::GetCommandLineA()
{
    seam_call(seam_effect::looks, __func__);
    return ::GetCommandLineA();
}

platform::DWORD platform::GetModuleFileNameA(void* module, char* file_name, platform::DWORD size)
{
    seam_call(seam_effect::looks, __func__);
    return ::GetModuleFileNameA(static_cast<::HMODULE>(module), file_name, size);
}

platform::UINT platform::GetSystemDirectoryA(char* buffer, platform::UINT size)
{
    seam_call(seam_effect::looks, __func__);
    return ::GetSystemDirectoryA(buffer, size);
}

void platform::OutputDebugStringA(const char* text)
{
    seam_call(seam_effect::looks, __func__);
    ::OutputDebugStringA(text);
}

int platform::MultiByteToWideChar(platform::UINT code_page, platform::DWORD flags, const char* text,
                                  int length, platform::WCHAR* wide_text, int wide_length)
{
    seam_call(seam_effect::looks, __func__);
    return ::MultiByteToWideChar(code_page, flags, text, length, wide(wide_text), wide_length);
}

int platform::WideCharToMultiByte(platform::UINT code_page, platform::DWORD flags,
                                  const platform::WCHAR* wide_text, int wide_length, char* text, int length,
                                  const char* default_char, platform::BOOL* used_default_char)
{
    seam_call(seam_effect::looks, __func__);
    return ::WideCharToMultiByte(code_page, flags, wide(wide_text), wide_length, text, length, default_char,
                                 used_default_char);
}

platform::DWORD platform::GetLogicalDriveStringsA(platform::DWORD length, char* buffer)
{
    seam_call(seam_effect::looks, __func__);
    return ::GetLogicalDriveStringsA(length, buffer);
}

platform::UINT platform::GetDriveTypeA(const char* root)
{
    seam_call(seam_effect::looks, __func__);
    return ::GetDriveTypeA(root);
}

platform::BOOL platform::GetVolumeInformationA(const char* root, char* volume_name,
                                               platform::DWORD volume_name_size,
                                               platform::DWORD* serial_number,
                                               platform::DWORD* max_component_length,
                                               platform::DWORD* file_system_flags, char* file_system_name,
                                               platform::DWORD file_system_name_size)
{
    seam_call(seam_effect::looks, __func__);
    dword_param serial(serial_number);
    dword_param component_length(max_component_length);
    dword_param flags(file_system_flags);
    return ::GetVolumeInformationA(root, volume_name, volume_name_size, serial.get(), component_length.get(),
                                   flags.get(), file_system_name, file_system_name_size);
}

platform::DWORD platform::GetFileAttributesA(const char* path)
{
    seam_call(seam_effect::looks, __func__);
    return ::GetFileAttributesA(path);
}

platform::BOOL platform::CopyFileA(const char* existing, const char* destination,
                                   platform::BOOL fail_if_exists)
{
    seam_call(seam_effect::changes, __func__);
    return ::CopyFileA(existing, destination, fail_if_exists);
}

platform::BOOL platform::CreateDirectoryA(const char* path, void* security)
{
    seam_call(seam_effect::changes, __func__);
    return ::CreateDirectoryA(path, security_attributes(security));
}

platform::DWORD platform::GetCurrentDirectoryA(platform::DWORD size, char* buffer)
{
    seam_call(seam_effect::looks, __func__);
    return ::GetCurrentDirectoryA(size, buffer);
}

platform::BOOL platform::SetCurrentDirectoryA(const char* path)
{
    seam_call(seam_effect::looks, __func__);
    return ::SetCurrentDirectoryA(path);
}

platform::DWORD platform::GetTempPathA(platform::DWORD size, char* buffer)
{
    seam_call(seam_effect::looks, __func__);
    return ::GetTempPathA(size, buffer);
}

platform::HANDLE platform::OpenMutexA(platform::DWORD access, platform::BOOL inherit, const char* name)
{
    seam_call(seam_effect::looks, __func__);
    return seam(::OpenMutexA(access, inherit, name));
}

platform::BOOL platform::CloseHandle(platform::HANDLE handle)
{
    seam_call(seam_effect::looks, __func__);
    return ::CloseHandle(real(handle));
}

platform::DWORD platform::WaitForSingleObject(platform::HANDLE handle, platform::DWORD milliseconds)
{
    seam_call(seam_effect::looks, __func__);
    return ::WaitForSingleObject(real(handle), milliseconds);
}

void platform::Sleep(platform::DWORD milliseconds)
{
    seam_call(seam_effect::looks, __func__);
    ::Sleep(milliseconds);
}

platform::DWORD platform::GetTickCount()
{
    seam_call(seam_effect::looks, __func__);
    return ::GetTickCount();
}

platform::BOOL platform::GetVersionExA(platform::OSVERSIONINFOA* info)
{
    seam_call(seam_effect::looks, __func__);
    if (!info) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The caller's size field decides, as with the real call (148 for this
    // record). The local record is the largest the call knows, so no size
    // the caller states can make the call write past it.
    ::OSVERSIONINFOEXA record = {};
    if (info->dwOSVersionInfoSize > sizeof(record)) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    record.dwOSVersionInfoSize = info->dwOSVersionInfoSize;
    const ::BOOL answered = ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(&record));
    if (!answered) {
        return answered;
    }
    info->dwMajorVersion = record.dwMajorVersion;
    info->dwMinorVersion = record.dwMinorVersion;
    info->dwBuildNumber = record.dwBuildNumber;
    info->dwPlatformId = record.dwPlatformId;
    static_assert(sizeof(info->szCSDVersion) == sizeof(record.szCSDVersion), "CSD text is 128 bytes");
    for (size_t i = 0; i < sizeof(record.szCSDVersion); ++i) {
        info->szCSDVersion[i] = record.szCSDVersion[i];
    }
    info->szCSDVersion[sizeof(info->szCSDVersion) - 1] = '\0';
    return answered;
}

// ---------------------------------------------------------------------------
// Version information (version.dll). The fixed file information that
// VerQueryValueA points to has the layout of the seam's VS_FIXEDFILEINFO.
static_assert(sizeof(::VS_FIXEDFILEINFO) == sizeof(platform::VS_FIXEDFILEINFO),
              "same fixed file information");

platform::DWORD platform::GetFileVersionInfoSizeA(const char* file_name, platform::DWORD* handle)
{
    seam_call(seam_effect::looks, __func__);
    dword_param zero(handle);
    return ::GetFileVersionInfoSizeA(file_name, zero.get());
}

platform::BOOL platform::GetFileVersionInfoA(const char* file_name, platform::DWORD handle,
                                             platform::DWORD size, void* data)
{
    seam_call(seam_effect::looks, __func__);
    return ::GetFileVersionInfoA(file_name, handle, size, data);
}

platform::BOOL platform::VerQueryValueA(const void* block, const char* sub_block, void** buffer,
                                        platform::UINT* length)
{
    seam_call(seam_effect::looks, __func__);
    uint_param found_length(length);
    return ::VerQueryValueA(block, sub_block, buffer, found_length.get());
}

// ---------------------------------------------------------------------------
// The C runtime's file streams.

platform::CRT_FILE* platform::crt_fopen(const char* path, const char* mode)
{
    seam_call(seam_effect::looks, __func__);
    return reinterpret_cast<platform::CRT_FILE*>(std::fopen(path, mode));
}

int platform::crt_fseek(platform::CRT_FILE* file, long offset, int origin)
{
    seam_call(seam_effect::looks, __func__);
    return std::fseek(real_file(file), offset, origin);
}

long platform::crt_ftell(platform::CRT_FILE* file)
{
    seam_call(seam_effect::looks, __func__);
    return std::ftell(real_file(file));
}

std::size_t platform::crt_fread(void* buffer, std::size_t size, std::size_t count, platform::CRT_FILE* file)
{
    seam_call(seam_effect::looks, __func__);
    return std::fread(buffer, size, count, real_file(file));
}

int platform::crt_fclose(platform::CRT_FILE* file)
{
    seam_call(seam_effect::looks, __func__);
    return std::fclose(real_file(file));
}

void platform::exit_process(int exit_code)
{
    seam_call(seam_effect::looks, __func__);
    std::exit(exit_code);
}

// ---------------------------------------------------------------------------
// User interface.

int platform::MessageBoxA(platform::HWND owner, const char* text, const char* caption, platform::UINT type)
{
    seam_call(seam_effect::looks, __func__);
    return ::MessageBoxA(real(owner), text, caption, type);
}

platform::HFONT platform::CreateFontIndirectA(const platform::LOGFONTA* font)
{
    seam_call(seam_effect::looks, __func__);
    if (!font) {
        return nullptr;
    }
    ::LOGFONTA record = {};
    record.lfHeight = font->lfHeight;
    record.lfWidth = font->lfWidth;
    record.lfEscapement = font->lfEscapement;
    record.lfOrientation = font->lfOrientation;
    record.lfWeight = font->lfWeight;
    record.lfItalic = font->lfItalic;
    record.lfUnderline = font->lfUnderline;
    record.lfStrikeOut = font->lfStrikeOut;
    record.lfCharSet = font->lfCharSet;
    record.lfOutPrecision = font->lfOutPrecision;
    record.lfClipPrecision = font->lfClipPrecision;
    record.lfQuality = font->lfQuality;
    record.lfPitchAndFamily = font->lfPitchAndFamily;
    static_assert(sizeof(record.lfFaceName) == sizeof(font->lfFaceName), "face name is 32 bytes");
    for (size_t i = 0; i < sizeof(record.lfFaceName); ++i) {
        record.lfFaceName[i] = font->lfFaceName[i];
    }
    // A face name without its terminator is cut rather than read past.
    record.lfFaceName[sizeof(record.lfFaceName) - 1] = '\0';
    return reinterpret_cast<platform::HFONT>(::CreateFontIndirectA(&record));
}

platform::INT_PTR platform::SendMessageA(platform::HWND window, platform::UINT message, std::uintptr_t wparam,
                                         platform::INT_PTR lparam)
{
    seam_call(seam_effect::looks, __func__);
    return ::SendMessageA(real(window), message, wparam, lparam);
}

// ---------------------------------------------------------------------------
// Interruption safety: the run mutex.
platform::HANDLE platform::CreateMutexA(void* security, platform::BOOL initial_owner, const char* name)
{
    seam_call(seam_effect::looks, __func__);
    return seam(::CreateMutexA(security_attributes(security), initial_owner, name));
}

// ---------------------------------------------------------------------------
// Registrations put right whatever the state.
platform::DWORD platform::ExpandEnvironmentStringsA(const char* source, char* destination,
                                                    platform::DWORD size)
{
    seam_call(seam_effect::looks, __func__);
    return ::ExpandEnvironmentStringsA(source, destination, size);
}

platform::DWORD platform::GetFullPathNameW(const platform::WCHAR* name, platform::DWORD size,
                                           platform::WCHAR* buffer, platform::WCHAR** file_part)
{
    seam_call(seam_effect::looks, __func__);
    wchar_t* part = nullptr;
    const ::DWORD length = ::GetFullPathNameW(wide(name), size, wide(buffer), &part);
    if (file_part) {
        *file_part = reinterpret_cast<platform::WCHAR*>(part);
    }
    return length;
}

platform::DWORD platform::GetFileAttributesW(const platform::WCHAR* path)
{
    seam_call(seam_effect::looks, __func__);
    return ::GetFileAttributesW(wide(path));
}

platform::BOOL platform::RemoveDirectoryA(const char* path)
{
    seam_call(seam_effect::changes, __func__);
    return ::RemoveDirectoryA(path);
}

platform::BOOL platform::MoveFileExW(const platform::WCHAR* existing, const platform::WCHAR* new_name,
                                     platform::DWORD flags)
{
    seam_call(seam_effect::changes, __func__);
    return ::MoveFileExW(wide(existing), wide(new_name), flags);
}

platform::BOOL platform::DeleteFileW(const platform::WCHAR* path)
{
    seam_call(seam_effect::changes, __func__);
    return ::DeleteFileW(wide(path));
}

platform::CRT_FILE* platform::crt_wfopen(const platform::WCHAR* path, const char* mode)
{
    seam_call(seam_effect::looks, __func__);
    wchar_t wide_mode[4] = {};
    for (int i = 0; i < 3 && mode[i] != '\0'; ++i) {
        wide_mode[i] = static_cast<wchar_t>(mode[i]);
    }
    return reinterpret_cast<platform::CRT_FILE*>(::_wfopen(wide(path), wide_mode));
}
