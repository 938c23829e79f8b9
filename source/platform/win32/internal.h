// Shared pieces of the Win32 backend: <windows.h> after the seam, and small
// adapters between the seam's fixed-width types and the Win32 ones.
//
// The seam's DWORD is a 32-bit unsigned int while Win32's is an unsigned
// long of the same size; its WCHAR is char16_t, Win32's wchar_t. Pointers
// to them are not interchangeable under the aliasing rules, so in/out
// numbers travel through a local of the Win32 type and are copied back.
#pragma once

// The seam first: <windows.h> defines macros (ERROR_SUCCESS, MAX_PATH,
// HKEY_LOCAL_MACHINE, ...) that would rewrite the seam's own names.
#include "platform/platform.h"
#include "platform/win32/seam_call.h"

namespace win32
{
// The shell headers define PIDLIST_ABSOLUTE as a macro; this alias names
// the seam's item-list pointer in the files that include them.
using seam_id_list = platform::PIDLIST_ABSOLUTE;
} // namespace win32

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace win32
{

// An optional in/out number of the seam carried through a Win32 local:
// null stays null, the value goes in before the call and comes back when
// this object ends (after the call's result has been taken).
template <typename Seam, typename Real> class number_param
{
  public:
    explicit number_param(Seam* seam) : seam_(seam), value_(seam ? static_cast<Real>(*seam) : Real()) {}
    ~number_param()
    {
        if (seam_) {
            *seam_ = static_cast<Seam>(value_);
        }
    }
    number_param(const number_param&) = delete;
    number_param& operator=(const number_param&) = delete;
    Real* get() { return seam_ ? &value_ : nullptr; }

  private:
    Seam* seam_;
    Real value_;
};

using dword_param = number_param<platform::DWORD, ::DWORD>;
using uint_param = number_param<platform::UINT, ::UINT>;

// The same for a handle-like pointer (HKEY and the like).
template <typename Seam, typename Real> class handle_param
{
  public:
    explicit handle_param(Seam* seam) : seam_(seam), value_(seam ? reinterpret_cast<Real>(*seam) : Real()) {}
    ~handle_param()
    {
        if (seam_) {
            *seam_ = reinterpret_cast<Seam>(value_);
        }
    }
    handle_param(const handle_param&) = delete;
    handle_param& operator=(const handle_param&) = delete;
    Real* get() { return seam_ ? &value_ : nullptr; }

  private:
    Seam* seam_;
    Real value_;
};

using key_param = handle_param<platform::HKEY, ::HKEY>;

inline ::HKEY real(platform::HKEY key)
{
    return reinterpret_cast<::HKEY>(key);
}
inline ::HWND real(platform::HWND window)
{
    return reinterpret_cast<::HWND>(window);
}
inline ::HANDLE real(platform::HANDLE handle)
{
    return reinterpret_cast<::HANDLE>(handle);
}
inline ::LPSECURITY_ATTRIBUTES security_attributes(void* security)
{
    return static_cast<::LPSECURITY_ATTRIBUTES>(security);
}
inline platform::HANDLE seam(::HANDLE handle)
{
    return reinterpret_cast<platform::HANDLE>(handle);
}

// UTF-16 text: the seam's char16_t and Win32's wchar_t are both 16 bits here.
static_assert(sizeof(wchar_t) == sizeof(platform::WCHAR), "WCHAR is a UTF-16 code unit on Windows");
inline const wchar_t* wide(const platform::WCHAR* text)
{
    return reinterpret_cast<const wchar_t*>(text);
}
inline wchar_t* wide(platform::WCHAR* text)
{
    return reinterpret_cast<wchar_t*>(text);
}

} // namespace win32
