// The COM part of the seam: the runtime, shortcut files through the Shell
// Link class, and the DirectX diagnostics provider. The modules see only
// plain strings and flattened properties; every interface obtained here is
// released here, on every path.
#include "platform/win32/internal.h"

#include <dxdiag.h>
#include <objbase.h>
#include <objidl.h>
#include <oleauto.h>
#include <shlobj.h>

#include <new>

using win32::real;
using win32::seam_call;
using win32::seam_effect;
using win32::wide;

namespace
{

// Owns one interface pointer and releases it when it goes out of scope.
template <typename Interface> class com_ptr
{
  public:
    com_ptr() = default;
    ~com_ptr() { reset(); }
    com_ptr(const com_ptr&) = delete;
    com_ptr& operator=(const com_ptr&) = delete;

    Interface* operator->() const { return pointer_; }
    Interface* get() const { return pointer_; }
    // For calls that hand out a new reference; drops the one held before.
    Interface** put()
    {
        reset();
        return &pointer_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    // Gives the reference away; the caller now releases it.
    Interface* detach()
    {
        Interface* pointer = pointer_;
        pointer_ = nullptr;
        return pointer;
    }
    void reset()
    {
        if (pointer_) {
            pointer_->Release();
            pointer_ = nullptr;
        }
    }

  private:
    Interface* pointer_ = nullptr;
};

// Clears a VARIANT (and frees its string) when it goes out of scope.
class scoped_variant
{
  public:
    scoped_variant() { ::VariantInit(&value_); }
    ~scoped_variant() { ::VariantClear(&value_); }
    scoped_variant(const scoped_variant&) = delete;
    scoped_variant& operator=(const scoped_variant&) = delete;
    ::VARIANT* get() { return &value_; }
    const ::VARIANT& operator*() const { return value_; }

  private:
    ::VARIANT value_;
};

// The provider's identities, spelled out here so that no extra GUID
// library is needed.
const ::CLSID clsid_dxdiag_provider = {
    0xA65B8071, 0x3BFE, 0x4213, {0x9A, 0x5B, 0x49, 0x1D, 0xA4, 0x46, 0x1C, 0xA7}};
const ::IID iid_dxdiag_provider = {
    0x9C6B4CB0, 0x23F8, 0x49CC, {0xA3, 0xED, 0x45, 0xA5, 0x50, 0x00, 0xA6, 0xD2}};
constexpr ::DWORD dxdiag_header_version = 111;

#if !defined(_WIN64)
static_assert(sizeof(::DXDIAG_INIT_PARAMS) == 16, "the provider expects a 16-byte record in 32-bit code");
#endif

bool usable_buffer(const char* buffer, int capacity)
{
    return buffer && capacity > 0;
}

// Empties a caller's buffer before a method fills it, and makes sure that
// what the method left there ends within the buffer whatever it wrote.
void clear_text(char* buffer)
{
    buffer[0] = '\0';
}
void terminate_text(char* buffer, int capacity)
{
    buffer[capacity - 1] = '\0';
}

::HRESULT create_shell_link(com_ptr<::IShellLinkA>& link)
{
    return ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              link.put_void());
}

// Reads the three strings of a loaded link, stopping at the first failure.
::HRESULT read_link_strings(::IShellLinkA* link, char* target, int target_capacity, char* arguments,
                            int arguments_capacity, char* description, int description_capacity)
{
    ::WIN32_FIND_DATAA find_data = {};
    ::HRESULT result = link->GetPath(target, target_capacity, &find_data, SLGP_RAWPATH);
    terminate_text(target, target_capacity);
    if (FAILED(result)) {
        return result;
    }
    result = link->GetDescription(description, description_capacity);
    terminate_text(description, description_capacity);
    if (FAILED(result)) {
        return result;
    }
    result = link->GetArguments(arguments, arguments_capacity);
    terminate_text(arguments, arguments_capacity);
    return result;
}

// Copies a BSTR into the flattened property, cut to fit and terminated.
void copy_bstr(const ::BSTR text, platform::DXDIAG_PROPERTY* property)
{
    if (!text) {
        property->bstr_is_null = TRUE;
        return;
    }
    constexpr size_t capacity = sizeof(property->bstrVal) / sizeof(property->bstrVal[0]);
    const size_t length = ::SysStringLen(text);
    const size_t kept = length < capacity - 1 ? length : capacity - 1;
    for (size_t i = 0; i < kept; ++i) {
        property->bstrVal[i] = static_cast<platform::WCHAR>(text[i]);
    }
    property->bstrVal[kept] = 0;
}

void flatten_variant(const ::VARIANT& value, platform::DXDIAG_PROPERTY* property)
{
    property->vt = value.vt;
    switch (value.vt) {
    case VT_UI4:
        property->ulVal = static_cast<platform::DWORD>(value.ulVal);
        break;
    case VT_I4:
        property->lVal = static_cast<platform::LONG>(value.lVal);
        break;
    case VT_BSTR:
        copy_bstr(value.bstrVal, property);
        break;
    default:
        break;
    }
}

} // namespace

// The diagnostics session: the provider and the two containers, released in
// the reverse order of their creation.
struct platform::DXDIAG_SESSION {
    com_ptr<::IDxDiagProvider> provider;
    com_ptr<::IDxDiagContainer> root;
    com_ptr<::IDxDiagContainer> system_info;
};

platform::HRESULT platform::CoInitialize(void* reserved)
{
    seam_call(seam_effect::looks, __func__);
    return ::CoInitialize(reserved);
}

void platform::CoUninitialize()
{
    seam_call(seam_effect::looks, __func__);
    ::CoUninitialize();
}

platform::HRESULT platform::shell_link_load(platform::HWND owner, const platform::WCHAR* shortcut_path,
                                            char* target, int target_capacity, char* arguments,
                                            int arguments_capacity, char* description,
                                            int description_capacity)
{
    seam_call(seam_effect::looks, __func__);
    if (!shortcut_path || !usable_buffer(target, target_capacity) ||
        !usable_buffer(arguments, arguments_capacity) || !usable_buffer(description, description_capacity)) {
        return E_INVALIDARG;
    }
    clear_text(target);
    clear_text(arguments);
    clear_text(description);

    com_ptr<::IShellLinkA> link;
    ::HRESULT result = create_shell_link(link);
    if (FAILED(result)) {
        return result;
    }
    // Declared after link, so released before it on every return.
    com_ptr<::IPersistFile> file;
    result = link->QueryInterface(IID_IPersistFile, file.put_void());
    if (FAILED(result)) {
        return result;
    }
    result = file->Load(wide(shortcut_path), STGM_READ);
    if (FAILED(result)) {
        return result;
    }
    // No SLR_ flag: the shell may look for a moved target, as Windows does.
    result = link->Resolve(real(owner), 0);
    if (FAILED(result)) {
        return result;
    }
    return read_link_strings(link.get(), target, target_capacity, arguments, arguments_capacity, description,
                             description_capacity);
}

platform::HRESULT platform::shell_link_save(const platform::WCHAR* shortcut_path, const char* target,
                                            const char* arguments, const char* description)
{
    seam_call(seam_effect::changes, __func__);
    if (!shortcut_path || !target || !arguments || !description) {
        return E_INVALIDARG;
    }
    com_ptr<::IShellLinkA> link;
    ::HRESULT result = create_shell_link(link);
    if (FAILED(result)) {
        return result;
    }
    // A fresh object: only these three fields are written.
    link->SetPath(target);
    link->SetArguments(arguments);
    link->SetDescription(description);

    com_ptr<::IPersistFile> file;
    result = link->QueryInterface(IID_IPersistFile, file.put_void());
    if (FAILED(result)) {
        return result;
    }
    return file->Save(wide(shortcut_path), TRUE);
}

// ---------------------------------------------------------------------------
// In-place rewrite of a shortcut's arguments: the loaded object is saved
// again, so the target, working folder, icon, hot key, show command and
// description stay as they were. The arguments travel through IShellLinkW,
// so that characters outside the ANSI code page are noticed, never lost.

namespace
{

// The link's own limit for its arguments (INFOTIPSIZE), and one more
// character, so that text that filled the limit is known to be whole.
constexpr int LINK_ARGUMENTS_LIMIT = 1024;

// Narrow text of wide arguments, refused when it does not fit or when the
// code page cannot hold a character of it.
::HRESULT narrow_arguments(const wchar_t* arguments, char* narrow, int capacity)
{
    ::BOOL lossy = FALSE;
    const int converted =
        ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, arguments, -1, narrow, capacity, nullptr, &lossy);
    if (converted == 0) {
        const ::DWORD error = ::GetLastError();
        return error == ERROR_INSUFFICIENT_BUFFER ? HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)
                                                  : HRESULT_FROM_WIN32(error);
    }
    return lossy ? HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION) : S_OK;
}

// The show command as the shortcut file's header holds it (the 32-bit
// field at offset 60 of the 76-byte header), or 0 when it cannot be read.
// Wine 8.0's link object does not take it from the file when it loads one
// (GetShowCmd then answers SW_SHOWNORMAL), so a save would lose it.
int show_command_in_file(const wchar_t* path)
{
    constexpr ::DWORD header_size = 76;
    constexpr ::DWORD show_command_offset = 60;
    ::HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    unsigned char header[header_size] = {};
    ::DWORD read = 0;
    const ::BOOL got = ::ReadFile(file, header, header_size, &read, nullptr);
    ::CloseHandle(file);
    if (!got || read != header_size || header[0] != header_size) {
        return 0;
    }
    const int show = header[show_command_offset] | header[show_command_offset + 1] << 8;
    return show == SW_SHOWNORMAL || show == SW_SHOWMAXIMIZED || show == SW_SHOWMINNOACTIVE ? show : 0;
}

// Gives the loaded link the show command of its file where the loader did
// not take it over.
void keep_show_command(::IShellLinkW* link, const wchar_t* path)
{
    int loaded = 0;
    const int in_file = show_command_in_file(path);
    if (in_file != 0 && SUCCEEDED(link->GetShowCmd(&loaded)) && loaded != in_file) {
        link->SetShowCmd(in_file);
    }
}

} // namespace

platform::HRESULT platform::shell_link_rewrite_arguments(const platform::WCHAR* shortcut_path,
                                                         int arguments_capacity,
                                                         platform::shell_link_arguments_rewrite rewrite,
                                                         void* context)
{
    seam_call(seam_effect::changes, __func__);
    if (!shortcut_path || !rewrite || arguments_capacity <= 0 || arguments_capacity > LINK_ARGUMENTS_LIMIT) {
        return E_INVALIDARG;
    }
    com_ptr<::IShellLinkW> link;
    ::HRESULT result =
        ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void());
    if (FAILED(result)) {
        return result;
    }
    com_ptr<::IPersistFile> file;
    result = link->QueryInterface(IID_IPersistFile, file.put_void());
    if (FAILED(result)) {
        return result;
    }
    result = file->Load(wide(shortcut_path), STGM_READ);
    if (FAILED(result)) {
        return result;
    }
    wchar_t arguments[LINK_ARGUMENTS_LIMIT + 1] = L"";
    result = link->GetArguments(arguments, LINK_ARGUMENTS_LIMIT + 1);
    if (FAILED(result)) {
        return result;
    }
    arguments[LINK_ARGUMENTS_LIMIT] = L'\0';
    char narrow[LINK_ARGUMENTS_LIMIT + 1];
    result = narrow_arguments(arguments, narrow, arguments_capacity);
    if (FAILED(result)) {
        return result;
    }
    if (!rewrite(narrow, arguments_capacity, context)) {
        return S_FALSE;
    }
    narrow[arguments_capacity - 1] = '\0';
    if (::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, narrow, -1, arguments,
                              LINK_ARGUMENTS_LIMIT + 1) == 0) {
        return HRESULT_FROM_WIN32(::GetLastError());
    }
    result = link->SetArguments(arguments);
    if (FAILED(result)) {
        return result;
    }
    keep_show_command(link.get(), wide(shortcut_path));
    return file->Save(wide(shortcut_path), TRUE);
}

platform::HRESULT platform::dxdiag_open_system_info(platform::DXDIAG_SESSION** session)
{
    seam_call(seam_effect::looks, __func__);
    if (!session) {
        return E_INVALIDARG;
    }
    *session = nullptr;
    platform::DXDIAG_SESSION* opened = new (std::nothrow) platform::DXDIAG_SESSION;
    if (!opened) {
        return E_OUTOFMEMORY;
    }
    ::HRESULT result = ::CoCreateInstance(clsid_dxdiag_provider, nullptr, CLSCTX_INPROC_SERVER,
                                          iid_dxdiag_provider, opened->provider.put_void());
    if (SUCCEEDED(result)) {
        ::DXDIAG_INIT_PARAMS parameters = {};
        parameters.dwSize = sizeof(parameters);
        parameters.dwDxDiagHeaderVersion = dxdiag_header_version;
        parameters.bAllowWHQLChecks = FALSE;
        parameters.pReserved = nullptr;
        result = opened->provider->Initialize(&parameters);
    }
    if (SUCCEEDED(result)) {
        result = opened->provider->GetRootContainer(opened->root.put());
    }
    if (SUCCEEDED(result)) {
        result = opened->root->GetChildContainer(L"DxDiag_SystemInfo", opened->system_info.put());
    }
    if (FAILED(result)) {
        platform::dxdiag_close(opened);
        return result;
    }
    *session = opened;
    return result;
}

platform::HRESULT platform::dxdiag_get_property(platform::DXDIAG_SESSION* session,
                                                const platform::WCHAR* name,
                                                platform::DXDIAG_PROPERTY* property)
{
    seam_call(seam_effect::looks, __func__);
    if (!session || !session->system_info.get() || !name || !property) {
        return E_INVALIDARG;
    }
    *property = platform::DXDIAG_PROPERTY{};
    scoped_variant value;
    // GetProp is spelled GetPropA by <windows.h>'s macro here and in the
    // interface's declaration alike, so the vtable slot is the right one.
    const ::HRESULT result = session->system_info->GetProp(wide(name), value.get());
    if (FAILED(result)) {
        return result;
    }
    flatten_variant(*value, property);
    return result;
}

void platform::dxdiag_close(platform::DXDIAG_SESSION* session)
{
    seam_call(seam_effect::looks, __func__);
    if (!session) {
        return;
    }
    session->system_info.reset();
    session->root.reset();
    session->provider.reset();
    delete session;
}
