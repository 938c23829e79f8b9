// Small pieces shared by the Windows helper programs of the end-to-end tests:
// an owner for kernel handles, UTF-8 conversion and JSON string quoting.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace helper
{

// Owns one kernel handle; NULL and INVALID_HANDLE_VALUE both mean "none".
class scoped_handle
{
  public:
    scoped_handle() = default;
    explicit scoped_handle(HANDLE handle) : handle_(handle) {}
    scoped_handle(const scoped_handle&) = delete;
    scoped_handle& operator=(const scoped_handle&) = delete;
    scoped_handle(scoped_handle&& other) noexcept : handle_(other.release()) {}
    scoped_handle& operator=(scoped_handle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~scoped_handle() { reset(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release()
    {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset(HANDLE handle = nullptr)
    {
        if (valid())
            CloseHandle(handle_);
        handle_ = handle;
    }

  private:
    HANDLE handle_ = nullptr;
};

// Owns one open registry key.
class scoped_key
{
  public:
    scoped_key() = default;
    scoped_key(const scoped_key&) = delete;
    scoped_key& operator=(const scoped_key&) = delete;
    ~scoped_key() { reset(); }
    HKEY get() const { return key_; }
    // For a call that opens a key into it; a key held before is closed.
    HKEY* out()
    {
        reset();
        return &key_;
    }
    void reset()
    {
        if (key_ != nullptr) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
    }

  private:
    HKEY key_ = nullptr;
};

inline std::string to_utf8(const wchar_t* text, int length)
{
    if (length <= 0)
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], size, nullptr, nullptr);
    return result;
}

inline std::string to_utf8(const std::wstring& text)
{
    return to_utf8(text.c_str(), static_cast<int>(text.size()));
}

inline std::wstring from_utf8(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int length = static_cast<int>(text.size());
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), length, nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), length, &result[0], size);
    return result;
}

// A text in the system's ANSI code page, as UTF-8.
inline std::string acp_to_utf8(const char* text, int length)
{
    if (length <= 0)
        return std::string();
    int size = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    if (size <= 0)
        return std::string();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, length, &wide[0], size);
    return to_utf8(wide);
}

inline std::string acp_to_utf8(const char* text)
{
    return acp_to_utf8(text, static_cast<int>(strlen(text)));
}

// A UTF-8 text as a JSON string literal, quotes included.
inline std::string json_quote(const std::string& text)
{
    std::string result = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
            result += static_cast<char>(c);
        } else if (c == '\n') {
            result += "\\n";
        } else if (c == '\r') {
            result += "\\r";
        } else if (c == '\t') {
            result += "\\t";
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            result += escaped;
        } else {
            result += static_cast<char>(c);
        }
    }
    result += '"';
    return result;
}

} // namespace helper
