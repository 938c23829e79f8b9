// The registry part of the seam: advapi32's A and W calls and shlwapi's
// SHDeleteKey, one to one.
#include "platform/win32/internal.h"

#include <shlwapi.h>

using win32::dword_param;
using win32::key_param;
using win32::real;
using win32::seam_call;
using win32::seam_effect;
using win32::security_attributes;
using win32::wide;

namespace
{

// A last-write time carried through Win32's FILETIME (whose members are
// unsigned long): null stays null, the value comes back after the call.
class filetime_param
{
  public:
    explicit filetime_param(platform::FILETIME* seam) : seam_(seam) {}
    ~filetime_param()
    {
        if (seam_) {
            seam_->dwLowDateTime = static_cast<platform::DWORD>(value_.dwLowDateTime);
            seam_->dwHighDateTime = static_cast<platform::DWORD>(value_.dwHighDateTime);
        }
    }
    filetime_param(const filetime_param&) = delete;
    filetime_param& operator=(const filetime_param&) = delete;
    ::FILETIME* get() { return seam_ ? &value_ : nullptr; }

  private:
    platform::FILETIME* seam_;
    ::FILETIME value_ = {};
};

} // namespace

platform::LONG platform::RegOpenKeyA(platform::HKEY key, const char* sub_key, platform::HKEY* result)
{
    seam_call(seam_effect::looks, __func__);
    key_param opened(result);
    return ::RegOpenKeyA(real(key), sub_key, opened.get());
}

platform::LONG platform::RegOpenKeyExW(platform::HKEY key, const platform::WCHAR* sub_key,
                                       platform::DWORD options, platform::REGSAM sam, platform::HKEY* result)
{
    seam_call(seam_effect::looks, __func__);
    key_param opened(result);
    return ::RegOpenKeyExW(real(key), wide(sub_key), options, sam, opened.get());
}

platform::LONG platform::RegCreateKeyExA(platform::HKEY key, const char* sub_key, platform::DWORD reserved,
                                         char* class_name, platform::DWORD options, platform::REGSAM sam,
                                         void* security, platform::HKEY* result, platform::DWORD* disposition)
{
    seam_call(seam_effect::changes, __func__);
    key_param created(result);
    dword_param created_or_opened(disposition);
    return ::RegCreateKeyExA(real(key), sub_key, reserved, class_name, options, sam,
                             security_attributes(security), created.get(), created_or_opened.get());
}

platform::LONG platform::RegCreateKeyExW(platform::HKEY key, const platform::WCHAR* sub_key,
                                         platform::DWORD reserved, platform::WCHAR* class_name,
                                         platform::DWORD options, platform::REGSAM sam, void* security,
                                         platform::HKEY* result, platform::DWORD* disposition)
{
    seam_call(seam_effect::changes, __func__);
    key_param created(result);
    dword_param created_or_opened(disposition);
    return ::RegCreateKeyExW(real(key), wide(sub_key), reserved, wide(class_name), options, sam,
                             security_attributes(security), created.get(), created_or_opened.get());
}

platform::LONG platform::RegQueryValueExA(platform::HKEY key, const char* value_name,
                                          platform::DWORD* reserved, platform::DWORD* type,
                                          platform::BYTE* data, platform::DWORD* data_size)
{
    seam_call(seam_effect::looks, __func__);
    dword_param reserved_field(reserved);
    dword_param value_type(type);
    dword_param size(data_size);
    return ::RegQueryValueExA(real(key), value_name, reserved_field.get(), value_type.get(), data,
                              size.get());
}

platform::LONG platform::RegQueryValueExW(platform::HKEY key, const platform::WCHAR* value_name,
                                          platform::DWORD* reserved, platform::DWORD* type,
                                          platform::BYTE* data, platform::DWORD* data_size)
{
    seam_call(seam_effect::looks, __func__);
    dword_param reserved_field(reserved);
    dword_param value_type(type);
    dword_param size(data_size);
    return ::RegQueryValueExW(real(key), wide(value_name), reserved_field.get(), value_type.get(), data,
                              size.get());
}

platform::LONG platform::RegSetValueExA(platform::HKEY key, const char* value_name, platform::DWORD reserved,
                                        platform::DWORD type, const platform::BYTE* data,
                                        platform::DWORD data_size)
{
    seam_call(seam_effect::changes, __func__);
    return ::RegSetValueExA(real(key), value_name, reserved, type, data, data_size);
}

platform::LONG platform::RegSetValueExW(platform::HKEY key, const platform::WCHAR* value_name,
                                        platform::DWORD reserved, platform::DWORD type,
                                        const platform::BYTE* data, platform::DWORD data_size)
{
    seam_call(seam_effect::changes, __func__);
    return ::RegSetValueExW(real(key), wide(value_name), reserved, type, data, data_size);
}

platform::LONG platform::RegEnumKeyExA(platform::HKEY key, platform::DWORD index, char* name,
                                       platform::DWORD* name_length, platform::DWORD* reserved,
                                       char* class_name, platform::DWORD* class_length,
                                       platform::FILETIME* last_write_time)
{
    seam_call(seam_effect::looks, __func__);
    dword_param name_chars(name_length);
    dword_param reserved_field(reserved);
    dword_param class_chars(class_length);
    filetime_param written(last_write_time);
    return ::RegEnumKeyExA(real(key), index, name, name_chars.get(), reserved_field.get(), class_name,
                           class_chars.get(), written.get());
}

platform::LONG platform::RegEnumKeyExW(platform::HKEY key, platform::DWORD index, platform::WCHAR* name,
                                       platform::DWORD* name_length, platform::DWORD* reserved,
                                       platform::WCHAR* class_name, platform::DWORD* class_length,
                                       platform::FILETIME* last_write_time)
{
    seam_call(seam_effect::looks, __func__);
    dword_param name_chars(name_length);
    dword_param reserved_field(reserved);
    dword_param class_chars(class_length);
    filetime_param written(last_write_time);
    return ::RegEnumKeyExW(real(key), index, wide(name), name_chars.get(), reserved_field.get(),
                           wide(class_name), class_chars.get(), written.get());
}

platform::LONG platform::RegEnumValueA(platform::HKEY key, platform::DWORD index, char* value_name,
                                       platform::DWORD* value_name_length, platform::DWORD* reserved,
                                       platform::DWORD* type, platform::BYTE* data,
                                       platform::DWORD* data_size)
{
    seam_call(seam_effect::looks, __func__);
    dword_param name_chars(value_name_length);
    dword_param reserved_field(reserved);
    dword_param value_type(type);
    dword_param size(data_size);
    return ::RegEnumValueA(real(key), index, value_name, name_chars.get(), reserved_field.get(),
                           value_type.get(), data, size.get());
}

platform::LONG platform::RegEnumValueW(platform::HKEY key, platform::DWORD index, platform::WCHAR* value_name,
                                       platform::DWORD* value_name_length, platform::DWORD* reserved,
                                       platform::DWORD* type, platform::BYTE* data,
                                       platform::DWORD* data_size)
{
    seam_call(seam_effect::looks, __func__);
    dword_param name_chars(value_name_length);
    dword_param reserved_field(reserved);
    dword_param value_type(type);
    dword_param size(data_size);
    return ::RegEnumValueW(real(key), index, wide(value_name), name_chars.get(), reserved_field.get(),
                           value_type.get(), data, size.get());
}

platform::LONG platform::RegQueryInfoKeyW(
    platform::HKEY key, platform::WCHAR* class_name, platform::DWORD* class_length, platform::DWORD* reserved,
    platform::DWORD* sub_keys, platform::DWORD* max_sub_key_length, platform::DWORD* max_class_length,
    platform::DWORD* values, platform::DWORD* max_value_name_length, platform::DWORD* max_value_length,
    platform::DWORD* security_descriptor, platform::FILETIME* last_write_time)
{
    seam_call(seam_effect::looks, __func__);
    dword_param class_chars(class_length);
    dword_param reserved_field(reserved);
    dword_param sub_key_count(sub_keys);
    dword_param longest_sub_key(max_sub_key_length);
    dword_param longest_class(max_class_length);
    dword_param value_count(values);
    dword_param longest_value_name(max_value_name_length);
    dword_param largest_value(max_value_length);
    dword_param security_size(security_descriptor);
    filetime_param written(last_write_time);
    return ::RegQueryInfoKeyW(real(key), wide(class_name), class_chars.get(), reserved_field.get(),
                              sub_key_count.get(), longest_sub_key.get(), longest_class.get(),
                              value_count.get(), longest_value_name.get(), largest_value.get(),
                              security_size.get(), written.get());
}

platform::LONG platform::RegDeleteValueA(platform::HKEY key, const char* value_name)
{
    seam_call(seam_effect::changes, __func__);
    return ::RegDeleteValueA(real(key), value_name);
}

platform::LONG platform::RegCloseKey(platform::HKEY key)
{
    seam_call(seam_effect::looks, __func__);
    return ::RegCloseKey(real(key));
}

platform::DWORD platform::SHDeleteKeyA(platform::HKEY key, const char* sub_key)
{
    seam_call(seam_effect::changes, __func__);
    return static_cast<platform::DWORD>(::SHDeleteKeyA(real(key), sub_key));
}

platform::DWORD platform::SHDeleteKeyW(platform::HKEY key, const platform::WCHAR* sub_key)
{
    seam_call(seam_effect::changes, __func__);
    return static_cast<platform::DWORD>(::SHDeleteKeyW(real(key), wide(sub_key)));
}

platform::LONG platform::RegFlushKey(platform::HKEY key)
{
    seam_call(seam_effect::flushes, __func__);
    return ::RegFlushKey(real(key));
}
