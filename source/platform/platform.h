// The platform seam: the only door from the patch's modules to Windows.
//
// Everything here is spelled in Win32 terms (names, error codes, shell
// results, button ids) so that the modules read like ordinary Win32 code,
// but no module ever includes <windows.h>. Two backends implement it:
//   - win32/:     the real calls (built with mingw-w64 for Windows);
//   - tests/sim/: a simulated Windows machine for the native unit tests
//                 and the fuzzers.
// COM stays inside the backends: shortcut files and the DirectX
// diagnostics provider are reached through plain functions below.
//
// The Win32 backend includes this header before <windows.h> (whose macros
// would otherwise rewrite the constant names declared here).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace platform
{

// ---------------------------------------------------------------------------
// Basic types, sized as on Windows.
using BYTE = unsigned char;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using BOOL = int;
using HRESULT = std::int32_t;
using REGSAM = DWORD;
using INT_PTR = std::intptr_t;
using WCHAR = char16_t; // UTF-16 code unit, as Windows' WCHAR

struct HKEY__;
using HKEY = HKEY__*;
struct HWND__;
using HWND = HWND__*;
struct HANDLE__;
using HANDLE = HANDLE__*; // NULL or INVALID_HANDLE_VALUE mean "none"
struct HFONT__;
using HFONT = HFONT__*;
struct ITEMIDLIST;
using PIDLIST_ABSOLUTE = ITEMIDLIST*;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// Predefined keys, with the same (sign-extended) values as Windows.
inline HKEY const HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000001u)));
inline HKEY const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000002u)));
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr UINT MAX_PATH = 260;

// ---------------------------------------------------------------------------
// Error codes (winerror.h).
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_WRITE_PROTECT = 19;
constexpr LONG ERROR_NOT_READY = 21;
constexpr LONG ERROR_FILE_EXISTS = 80;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
constexpr LONG ERROR_ALREADY_EXISTS = 183;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_BADKEY = 1010;
constexpr LONG ERROR_KEY_DELETED = 1018;

// COM results.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline bool SUCCEEDED(HRESULT hr)
{
    return hr >= 0;
}
inline bool FAILED(HRESULT hr)
{
    return hr < 0;
}
inline HRESULT HRESULT_FROM_WIN32(LONG error)
{
    return error <= 0 ? static_cast<HRESULT>(error)
                      : static_cast<HRESULT>((static_cast<DWORD>(error) & 0xFFFFu) | 0x80070000u);
}

// ---------------------------------------------------------------------------
// Registry (advapi32, shlwapi).
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_RESOURCE_LIST = 8;
constexpr DWORD REG_FULL_RESOURCE_DESCRIPTOR = 9;
constexpr DWORD REG_RESOURCE_REQUIREMENTS_LIST = 10;
constexpr DWORD REG_QWORD = 11;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Limits the registry itself enforces (in characters).
constexpr DWORD REGISTRY_MAX_KEY_NAME = 255;
constexpr DWORD REGISTRY_MAX_VALUE_NAME = 16383;

// Narrow calls convert names and string data through the ANSI code page,
// exactly like Windows. The wide calls move UTF-16 text and raw bytes.
LONG RegOpenKeyA(HKEY key, const char* sub_key, HKEY* result);
LONG RegOpenKeyExW(HKEY key, const WCHAR* sub_key, DWORD options, REGSAM sam, HKEY* result);
LONG RegCreateKeyExA(HKEY key, const char* sub_key, DWORD reserved, char* class_name, DWORD options,
                     REGSAM sam, void* security, HKEY* result, DWORD* disposition);
LONG RegCreateKeyExW(HKEY key, const WCHAR* sub_key, DWORD reserved, WCHAR* class_name, DWORD options,
                     REGSAM sam, void* security, HKEY* result, DWORD* disposition);
LONG RegQueryValueExA(HKEY key, const char* value_name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* data_size);
LONG RegQueryValueExW(HKEY key, const WCHAR* value_name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* data_size);
LONG RegSetValueExA(HKEY key, const char* value_name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD data_size);
LONG RegSetValueExW(HKEY key, const WCHAR* value_name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD data_size);
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_length, DWORD* reserved, char* class_name,
                   DWORD* class_length, FILETIME* last_write_time);
LONG RegEnumKeyExW(HKEY key, DWORD index, WCHAR* name, DWORD* name_length, DWORD* reserved, WCHAR* class_name,
                   DWORD* class_length, FILETIME* last_write_time);
LONG RegEnumValueA(HKEY key, DWORD index, char* value_name, DWORD* value_name_length, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* data_size);
LONG RegEnumValueW(HKEY key, DWORD index, WCHAR* value_name, DWORD* value_name_length, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* data_size);
// Any pointer may be null. Lengths are in characters without the terminator,
// data sizes in bytes (the wide form's view).
LONG RegQueryInfoKeyW(HKEY key, WCHAR* class_name, DWORD* class_length, DWORD* reserved, DWORD* sub_keys,
                      DWORD* max_sub_key_length, DWORD* max_class_length, DWORD* values,
                      DWORD* max_value_name_length, DWORD* max_value_length, DWORD* security_descriptor,
                      FILETIME* last_write_time);
LONG RegDeleteValueA(HKEY key, const char* value_name);
LONG RegCloseKey(HKEY key);
// shlwapi: deletes a key with everything below it.
DWORD SHDeleteKeyA(HKEY key, const char* sub_key);
DWORD SHDeleteKeyW(HKEY key, const WCHAR* sub_key);

// ---------------------------------------------------------------------------
// Shell (shell32).
constexpr UINT FO_MOVE = 1;
constexpr UINT FO_COPY = 2;
constexpr UINT FO_DELETE = 3;
constexpr UINT FO_RENAME = 4;
constexpr WORD FOF_SILENT = 0x0004;
constexpr WORD FOF_NOCONFIRMATION = 0x0010;
constexpr WORD FOF_ALLOWUNDO = 0x0040;
constexpr WORD FOF_NOERRORUI = 0x0400;

// The fields the patch uses, in the order of the Win32 record. pFrom and
// pTo are lists of names, each list ended by an empty name (two NULs).
struct SHFILEOPSTRUCTA {
    HWND hwnd;
    UINT wFunc;
    const char* pFrom;
    const char* pTo;
    WORD fFlags;
    BOOL fAnyOperationsAborted;
    void* hNameMappings;
    const char* lpszProgressTitle;
};
int SHFileOperationA(SHFILEOPSTRUCTA* operation);

constexpr int SW_HIDE = 0;
constexpr int SW_SHOW = 5;
// Greater than 32 when the program was started.
INT_PTR ShellExecuteA(HWND owner, const char* operation, const char* file, const char* parameters,
                      const char* directory, int show);

constexpr DWORD SEE_MASK_NOCLOSEPROCESS = 0x00000040;
constexpr DWORD SEE_MASK_FLAG_NO_UI = 0x00000400;
struct SHELLEXECUTEINFOA {
    DWORD fMask;
    HWND hwnd;
    const char* lpVerb;
    const char* lpFile;
    const char* lpParameters;
    const char* lpDirectory;
    int nShow;
    INT_PTR hInstApp; // out: the ShellExecuteA-style result
    HANDLE hProcess;  // out, with SEE_MASK_NOCLOSEPROCESS: may stay NULL
};
BOOL ShellExecuteExA(SHELLEXECUTEINFOA* info);

constexpr int CSIDL_PROGRAMS = 0x0002;
constexpr int CSIDL_COMMON_PROGRAMS = 0x0017;
constexpr int CSIDL_PROGRAM_FILES = 0x0026;
constexpr int CSIDL_PROGRAM_FILESX86 = 0x002a;
HRESULT SHGetSpecialFolderLocation(HWND owner, int folder, PIDLIST_ABSOLUTE* id_list);
// path must hold MAX_PATH characters.
BOOL SHGetPathFromIDListA(PIDLIST_ABSOLUTE id_list, char* path);
void ILFree(PIDLIST_ABSOLUTE id_list);
// path must hold MAX_PATH characters. The folder as this (32-bit) program
// sees it: on 64-bit Windows, CSIDL_PROGRAM_FILES is "C:\Program Files (x86)".
HRESULT SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, char* path);

// ---------------------------------------------------------------------------
// Shortcut files (the Shell Link class with IShellLinkA and IPersistFile).
// Load: create the object, load the file (STGM_READ), Resolve(owner, 0),
// then GetPath (SLGP_RAWPATH), GetDescription and GetArguments, each into a
// buffer of the given capacity. Returns the first failing call's result, or
// the last call's result. On failure the outputs may be partly written.
HRESULT shell_link_load(HWND owner, const WCHAR* shortcut_path, char* target, int target_capacity,
                        char* arguments, int arguments_capacity, char* description, int description_capacity);
// Save: a new Shell Link object with SetPath, SetArguments, SetDescription
// (their results ignored), saved through IPersistFile with fRemember TRUE.
HRESULT shell_link_save(const WCHAR* shortcut_path, const char* target, const char* arguments,
                        const char* description);

// ---------------------------------------------------------------------------
// COM runtime.
HRESULT CoInitialize(void* reserved);
void CoUninitialize();

// DirectX diagnostics provider (IDxDiagProvider / IDxDiagContainer).
constexpr WORD VT_EMPTY = 0;
constexpr WORD VT_I4 = 3;
constexpr WORD VT_BSTR = 8;
constexpr WORD VT_UI4 = 19;
// A property's VARIANT, flattened: the type and the member that type uses.
struct DXDIAG_PROPERTY {
    WORD vt;
    DWORD ulVal;       // VT_UI4
    LONG lVal;         // VT_I4
    BOOL bstr_is_null; // VT_BSTR with a null string pointer
    WCHAR bstrVal[64]; // VT_BSTR text, NUL-terminated, cut to 63 units
};
struct DXDIAG_SESSION;
// Creates the provider (CLSCTX_INPROC_SERVER), calls Initialize with the
// record (size of DXDIAG_INIT_PARAMS, header version 111, no WHQL checks),
// GetRootContainer and GetChildContainer("DxDiag_SystemInfo"). On failure
// everything obtained is released and *session is NULL.
HRESULT dxdiag_open_system_info(DXDIAG_SESSION** session);
// GetProp on the system-information container, the VARIANT cleared after.
HRESULT dxdiag_get_property(DXDIAG_SESSION* session, const WCHAR* name, DXDIAG_PROPERTY* property);
// Releases the system-information container, the root container, the provider.
void dxdiag_close(DXDIAG_SESSION* session);

// ---------------------------------------------------------------------------
// Version information (version.dll).
struct VS_FIXEDFILEINFO {
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
DWORD GetFileVersionInfoSizeA(const char* file_name, DWORD* handle);
BOOL GetFileVersionInfoA(const char* file_name, DWORD handle, DWORD size, void* data);
BOOL VerQueryValueA(const void* block, const char* sub_block, void** buffer, UINT* length);

// ---------------------------------------------------------------------------
// Kernel.
DWORD GetLastError();
void SetLastError(DWORD error);
const char* GetCommandLineA();
// No module handle: the running executable.
DWORD GetModuleFileNameA(void* module, char* file_name, DWORD size);
UINT GetSystemDirectoryA(char* buffer, UINT size);
void OutputDebugStringA(const char* text);

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;
int MultiByteToWideChar(UINT code_page, DWORD flags, const char* text, int length, WCHAR* wide,
                        int wide_length);
int WideCharToMultiByte(UINT code_page, DWORD flags, const WCHAR* wide, int wide_length, char* text,
                        int length, const char* default_char, BOOL* used_default_char);

constexpr UINT DRIVE_UNKNOWN = 0;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;
constexpr UINT DRIVE_REMOVABLE = 2;
constexpr UINT DRIVE_FIXED = 3;
constexpr UINT DRIVE_REMOTE = 4;
constexpr UINT DRIVE_CDROM = 5;
constexpr UINT DRIVE_RAMDISK = 6;
DWORD GetLogicalDriveStringsA(DWORD length, char* buffer);
UINT GetDriveTypeA(const char* root);
BOOL GetVolumeInformationA(const char* root, char* volume_name, DWORD volume_name_size, DWORD* serial_number,
                           DWORD* max_component_length, DWORD* file_system_flags, char* file_system_name,
                           DWORD file_system_name_size);

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
DWORD GetFileAttributesA(const char* path);
BOOL CopyFileA(const char* existing, const char* destination, BOOL fail_if_exists);
BOOL CreateDirectoryA(const char* path, void* security);
DWORD GetCurrentDirectoryA(DWORD size, char* buffer);
BOOL SetCurrentDirectoryA(const char* path);
DWORD GetTempPathA(DWORD size, char* buffer);

constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
HANDLE OpenMutexA(DWORD access, BOOL inherit, const char* name);
BOOL CloseHandle(HANDLE handle);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
void Sleep(DWORD milliseconds);
// Milliseconds since an arbitrary start, for time limits.
DWORD GetTickCount();

constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes on Windows");
BOOL GetVersionExA(OSVERSIONINFOA* info);

// The C runtime's file streams ("r" and "rb" are all the patch needs).
struct CRT_FILE;
constexpr int CRT_SEEK_SET = 0;
constexpr int CRT_SEEK_END = 2;
CRT_FILE* crt_fopen(const char* path, const char* mode);
int crt_fseek(CRT_FILE* file, long offset, int origin);
long crt_ftell(CRT_FILE* file);
std::size_t crt_fread(void* buffer, std::size_t size, std::size_t count, CRT_FILE* file);
int crt_fclose(CRT_FILE* file);

// Ends the process through the C runtime's normal exit path (exit).
[[noreturn]] void exit_process(int exit_code);

// ---------------------------------------------------------------------------
// User interface (user32, gdi32).
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_RETRYCANCEL = 0x5;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONINFORMATION = 0x40;
constexpr UINT MB_SYSTEMMODAL = 0x1000;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDRETRY = 4;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
int MessageBoxA(HWND owner, const char* text, const char* caption, UINT type);

constexpr UINT WM_SETFONT = 0x0030;
struct LOGFONTA {
    LONG lfHeight;
    LONG lfWidth;
    LONG lfEscapement;
    LONG lfOrientation;
    LONG lfWeight;
    BYTE lfItalic;
    BYTE lfUnderline;
    BYTE lfStrikeOut;
    BYTE lfCharSet;
    BYTE lfOutPrecision;
    BYTE lfClipPrecision;
    BYTE lfQuality;
    BYTE lfPitchAndFamily;
    char lfFaceName[32];
};
HFONT CreateFontIndirectA(const LOGFONTA* font);
INT_PTR SendMessageA(HWND window, UINT message, std::uintptr_t wparam, INT_PTR lparam);

// ---------------------------------------------------------------------------
// Bounded text formatting (the messages' texts and the modules' paths).
//
// printf-style formatting into buffer, size bytes, by the C runtime of the
// system the patch runs on (msvcrt's _vsnprintf on Windows, so that the
// exe carries no printf of its own). The conversions the modules use are
// %s, %c, %d, %u, %x and their long forms %ld, %lu, %lx, with flags, width
// and precision as in C; none other is promised. The text always ends with
// a NUL inside the buffer: a text that does not fit is cut to size - 1
// characters and nothing is written past buffer[size - 1]. Returns 1 when
// the whole text fit, 0 when it was cut, could not be formatted, or there
// is no buffer (null or size 0: nothing written).
int format_bounded(char* buffer, std::size_t size, const char* format, std::va_list args);

// ---------------------------------------------------------------------------
// Program chains, shell operations that may be aborted, in-place shortcut
// rewrites and the patch's own file name in full (wide) form.
//
// A program the patch starts may start others and end at once (an
// installer's bootstrapper). The patch starts it suspended in a job object
// of its own, so that every process of that chain belongs to the job, and
// asks the job how many of them still run.
constexpr DWORD CREATE_SUSPENDED = 0x00000004;
constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
constexpr LONG ERROR_BAD_LENGTH = 24;
constexpr LONG ERROR_ELEVATION_REQUIRED = 740;
constexpr LONG ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr LONG ERROR_CANCELLED = 1223;
// The fields of STARTUPINFOA the patch sets; the backend zeroes the rest.
struct STARTUPINFOA {
    DWORD dwFlags;
    WORD wShowWindow;
};
struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
BOOL CreateProcessA(const char* application_name, char* command_line, void* process_security,
                    void* thread_security, BOOL inherit_handles, DWORD creation_flags, void* environment,
                    const char* current_directory, const STARTUPINFOA* startup_info,
                    PROCESS_INFORMATION* process_information);
// The previous suspend count, or 0xFFFFFFFF on failure.
DWORD ResumeThread(HANDLE thread);
BOOL TerminateProcess(HANDLE process, UINT exit_code);

constexpr int JobObjectBasicAccountingInformation = 1;
constexpr int JobObjectBasicLimitInformation = 2;
constexpr int JobObjectExtendedLimitInformation = 9;
constexpr DWORD JOB_OBJECT_LIMIT_BREAKAWAY_OK = 0x00000800;
struct JOBOBJECT_BASIC_ACCOUNTING_INFORMATION {
    std::int64_t TotalUserTime;
    std::int64_t TotalKernelTime;
    std::int64_t ThisPeriodTotalUserTime;
    std::int64_t ThisPeriodTotalKernelTime;
    DWORD TotalPageFaultCount;
    DWORD TotalProcesses;
    DWORD ActiveProcesses;
    DWORD TotalTerminatedProcesses;
};
static_assert(sizeof(JOBOBJECT_BASIC_ACCOUNTING_INFORMATION) == 48, "as on Windows");
struct JOBOBJECT_BASIC_LIMIT_INFORMATION {
    std::int64_t PerProcessUserTimeLimit;
    std::int64_t PerJobUserTimeLimit;
    DWORD LimitFlags;
    std::size_t MinimumWorkingSetSize;
    std::size_t MaximumWorkingSetSize;
    DWORD ActiveProcessLimit;
    std::uintptr_t Affinity;
    DWORD PriorityClass;
    DWORD SchedulingClass;
};
struct IO_COUNTERS {
    std::uint64_t ReadOperationCount;
    std::uint64_t WriteOperationCount;
    std::uint64_t OtherOperationCount;
    std::uint64_t ReadTransferCount;
    std::uint64_t WriteTransferCount;
    std::uint64_t OtherTransferCount;
};
struct JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
    JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
    IO_COUNTERS IoInfo;
    std::size_t ProcessMemoryLimit;
    std::size_t JobMemoryLimit;
    std::size_t PeakProcessMemoryUsed;
    std::size_t PeakJobMemoryUsed;
};
HANDLE CreateJobObjectA(void* security, const char* name);
BOOL AssignProcessToJobObject(HANDLE job, HANDLE process);
BOOL QueryInformationJobObject(HANDLE job, int info_class, void* info, DWORD info_length,
                               DWORD* return_length);
BOOL SetInformationJobObject(HANDLE job, int info_class, void* info, DWORD info_length);

// Shell file operations without any of the shell's own windows.
constexpr WORD FOF_NOCONFIRMMKDIR = 0x0200;

// Rewrites the arguments of a shortcut file in place: the Shell Link object
// loads the file, its arguments (read through IShellLinkW) are handed to
// rewrite as narrow text of at most arguments_capacity - 1 characters, and
// when rewrite returns true they are set and the same object is saved to
// the same file, so every other property of the shortcut stays as it was.
// No Resolve: nothing but the arguments changes. Arguments that do not fit
// the capacity fail with HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER),
// arguments that the ANSI code page cannot hold with
// HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION); nothing is written then.
// S_FALSE when rewrite declined (nothing written), S_OK when saved.
using shell_link_arguments_rewrite = bool (*)(char* arguments, int arguments_capacity, void* context);
HRESULT shell_link_rewrite_arguments(const WCHAR* shortcut_path, int arguments_capacity,
                                     shell_link_arguments_rewrite rewrite, void* context);

// The running executable's full path as the system holds it, whatever
// characters its folders' names have (the narrow call gives "?" for those
// outside the ANSI code page), and the copy of a file by wide names.
DWORD GetModuleFileNameW(void* module, WCHAR* file_name, DWORD size);
BOOL CopyFileW(const WCHAR* existing, const WCHAR* destination, BOOL fail_if_exists);

// ---------------------------------------------------------------------------
// Interruption safety: the run mutex that keeps a second copy of the patch
// from acting.
constexpr int CSIDL_COMMON_APPDATA = 0x0023;
// CreateMutexA: a new or an existing named mutex; GetLastError() is
// ERROR_ALREADY_EXISTS when the name was taken already (the handle is valid
// then too). A mutex lives while any handle to it is open.
HANDLE CreateMutexA(void* security, BOOL initial_owner, const char* name);

// ---------------------------------------------------------------------------
// Programs an earlier run started: the process ids of a job, and a process
// found again by its id (its creation time tells a reused id apart).
constexpr int JobObjectBasicProcessIdList = 3;
// The list form of Windows: the ids that fit info_length follow the two
// counts. A list too small for all of them fails with ERROR_MORE_DATA after
// filling what fits; below the two counts it fails with ERROR_BAD_LENGTH.
struct JOBOBJECT_BASIC_PROCESS_ID_LIST {
    DWORD NumberOfAssignedProcesses;
    DWORD NumberOfProcessIdsInList;
    std::uintptr_t ProcessIdList[1];
};
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
// Vista and later; older systems refuse it with ERROR_ACCESS_DENIED.
constexpr DWORD PROCESS_QUERY_LIMITED_INFORMATION = 0x1000;
// ERROR_INVALID_PARAMETER when no process has that id (any more).
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id);
// Times as FILETIMEs (100 ns since 1601); exit_time is 0 while it runs.
BOOL GetProcessTimes(HANDLE process, FILETIME* creation_time, FILETIME* exit_time, FILETIME* kernel_time,
                     FILETIME* user_time);

// ---------------------------------------------------------------------------
// The whole chain of a started program, also where no job holds it: the
// processes that run now with their parents' ids (Toolhelp), and a timer
// that the message loop of a message box runs while the box is up.
constexpr DWORD TH32CS_SNAPPROCESS = 0x00000002;
// The fields of PROCESSENTRY32 the patch uses; the backend fills them.
struct PROCESSENTRY32 {
    DWORD th32ProcessID;
    DWORD th32ParentProcessID;
};
// INVALID_HANDLE_VALUE on failure; the handle is closed with CloseHandle.
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD process_id);
// FALSE with ERROR_NO_MORE_FILES after the last process.
constexpr LONG ERROR_NO_MORE_FILES = 18;
BOOL Process32First(HANDLE snapshot, PROCESSENTRY32* entry);
BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32* entry);

// A thread timer (no window): the message loop of whatever box the thread
// shows calls proc every elapse milliseconds while the box is up; nothing
// calls it outside a message loop. One such timer at a time. SetTimer
// returns its id (0 on failure), which KillTimer takes.
using TIMERPROC = void (*)(HWND window, UINT message, std::uintptr_t id, DWORD time);
std::uintptr_t SetTimer(HWND window, std::uintptr_t id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND window, std::uintptr_t id);
// The current time as a FILETIME (100 ns since 1601), as creation times are.
void GetSystemTimeAsFileTime(FILETIME* time);

// ---------------------------------------------------------------------------
// Registrations put right whatever the state: a product folder found
// whatever its entry's text names, an empty leftover folder removed, the
// redirection copy written whole and recognised by its bytes, registry
// changes on disc before the steps that depend on them.
constexpr LONG ERROR_DIR_NOT_EMPTY = 145;
// %NAME% references replaced by the environment's values (names without
// regard to case; an unknown name stays as written). The size needed in
// characters, terminator included: larger than size when the text did not
// fit; 0 on failure.
DWORD ExpandEnvironmentStringsA(const char* source, char* destination, DWORD size);
// A path made absolute and normalised ("." and ".." resolved), of any
// length. The length without the terminator, or the size needed (with it)
// when buffer is too small; 0 on failure. file_part may be null.
DWORD GetFullPathNameW(const WCHAR* name, DWORD size, WCHAR* buffer, WCHAR** file_part);
// A "\\?\" prefix lifts the MAX_PATH limit (and turns off normalisation).
DWORD GetFileAttributesW(const WCHAR* path);
// Removes an empty folder only: ERROR_DIR_NOT_EMPTY when it holds anything.
BOOL RemoveDirectoryA(const char* path);
// A file moved (renamed) within its volume; with MOVEFILE_REPLACE_EXISTING
// over an existing file (never a folder), with MOVEFILE_WRITE_THROUGH on
// disc before the call returns.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;
BOOL MoveFileExW(const WCHAR* existing, const WCHAR* new_name, DWORD flags);
BOOL DeleteFileW(const WCHAR* path);
// The C runtime's read stream of a file named by a wide path ("rb" only),
// read with crt_fread and closed with crt_fclose.
CRT_FILE* crt_wfopen(const WCHAR* path, const char* mode);
// ---------------------------------------------------------------------------
// The patch's own log. Nothing any run does depends on it, so a crash test
// neither counts these calls nor stops at them.
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
void GetLocalTime(SYSTEMTIME* time);
// Appends length bytes of text to the file at path and has them on disc
// before it returns; the file is created when missing, and its folder too
// (not the folders above it). Other programs may read and write the file
// meanwhile. A file that already holds rotate_size bytes or more is first
// renamed to old_path, over any file of that name, so that the text starts
// a new file. TRUE when the whole text was written. The last-error value
// stays as it was, success or not: the caller's next look at it is about
// its own last call.
BOOL append_to_log(const char* path, const char* old_path, DWORD rotate_size, const char* text, DWORD length);
// Writes the key's hive to disc before it returns. Until then a power cut
// may lose every change since the last time the system wrote it.
LONG RegFlushKey(HKEY key);

// ---------------------------------------------------------------------------
// Owners: one per open key or kernel handle, which closes it when the owner
// goes out of scope (or at close), never twice. The modules open keys and
// handles into an owner, so that no way out of a function, early return or
// fatal error, can leave one open. A process that ends, killed or by
// ExitProcess, has its handles closed by the system instead.

class key_owner
{
  public:
    key_owner() = default;
    explicit key_owner(HKEY key) : key_(key) {}
    ~key_owner() { close(); }
    key_owner(const key_owner&) = delete;
    key_owner& operator=(const key_owner&) = delete;

    HKEY get() const { return key_; }
    // Where a call that opens a key puts it (any key held is closed first).
    HKEY* receive()
    {
        close();
        return &key_;
    }
    void close()
    {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }

  private:
    HKEY key_ = nullptr;
};

class handle_owner
{
  public:
    handle_owner() = default;
    explicit handle_owner(HANDLE handle) : handle_(handle) {}
    ~handle_owner() { close(); }
    handle_owner(const handle_owner&) = delete;
    handle_owner& operator=(const handle_owner&) = delete;

    HANDLE get() const { return handle_; }
    // True when it holds a handle (neither null nor INVALID_HANDLE_VALUE).
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    // Takes handle, closing any handle held first.
    void reset(HANDLE handle)
    {
        close();
        handle_ = handle;
    }
    void close()
    {
        if (valid()) {
            CloseHandle(handle_);
        }
        handle_ = nullptr;
    }

  private:
    HANDLE handle_ = nullptr;
};

} // namespace platform
