// Common set-up of the fuzz targets: a fresh simulated machine per input,
// a reader of the fuzzer's bytes, operations run as a "process" whose fatal
// errors are normal outcomes, and invariant checks that stop the fuzzer.
#pragma once

#include "main/main.h"
#include "misc/misc.h"
#include "sim/sim.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz
{

namespace sim = platform::sim;
using platform::BYTE;
using platform::DWORD;
using platform::HKEY;

// Reports a broken invariant and stops: libFuzzer records the input.
[[noreturn]] inline void invariant_failed(const char* expression, const char* file, int line,
                                          const std::string& detail)
{
    std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, expression);
    if (!detail.empty()) {
        std::fprintf(stderr, "%s\n", detail.c_str());
    }
    std::fflush(stderr);
    __builtin_trap();
}

#define FUZZ_CHECK(condition)                                                                                \
    ((condition) ? (void)0 : ::fuzz::invariant_failed(#condition, __FILE__, __LINE__, std::string()))
#define FUZZ_CHECK_DETAIL(condition, detail)                                                                 \
    ((condition) ? (void)0 : ::fuzz::invariant_failed(#condition, __FILE__, __LINE__, (detail)))

// Reads the fuzzer's bytes from the front; an exhausted reader yields zeros
// and empty runs, so every input decodes to something.
class byte_reader
{
  public:
    byte_reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t remaining() const { return size_ - position_; }
    bool empty() const { return remaining() == 0; }

    std::uint8_t byte() { return empty() ? 0 : data_[position_++]; }
    std::uint16_t u16()
    {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | byte() << 8);
    }
    std::uint32_t u32()
    {
        const std::uint32_t low = u16();
        return low | static_cast<std::uint32_t>(u16()) << 16;
    }
    // Up to count bytes.
    std::vector<BYTE> take(std::size_t count)
    {
        const std::size_t n = count < remaining() ? count : remaining();
        std::vector<BYTE> out(data_ + position_, data_ + position_ + n);
        position_ += n;
        return out;
    }
    std::vector<BYTE> rest() { return take(remaining()); }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// A fresh machine and fresh process-wide state for every input.
inline void fresh_machine()
{
    sim::reset();
    reset_process_state();
}

// Gives an input a fresh machine and frees everything it built before the
// input ends, so that libFuzzer sees as many frees as allocations per input
// and looks for leaks only when the patch really leaks.
class machine_scope
{
  public:
    machine_scope() { fresh_machine(); }
    ~machine_scope() { fresh_machine(); }
    machine_scope(const machine_scope&) = delete;
    machine_scope& operator=(const machine_scope&) = delete;
};

// How one operation ended: by returning, or by the end of the process
// (fatal_error), with the exit code and the last message box's text.
struct outcome {
    bool ended;
    int exit_code;
    std::string box;
};

inline std::string last_box_text()
{
    const auto& boxes = sim::message_boxes();
    return boxes.empty() ? std::string() : boxes.back().text;
}

inline outcome run_operation(const std::function<void()>& body)
{
    bool returned = false;
    const int code = sim::run_process([&] {
        body();
        returned = true;
        return 0;
    });
    return {!returned, code, last_box_text()};
}

// ANSI (code page 1252) text as UTF-16 units, through the seam's own
// conversion, so the fuzz targets agree with the simulation's code page.
// True when A and B are the same text without regard to ASCII case, as
// Windows compares paths and product codes.
inline bool same_ignoring_case(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

inline std::u16string ansi_to_utf16(const std::string& ansi)
{
    if (ansi.empty()) {
        return std::u16string();
    }
    std::u16string wide(ansi.size(), u'\0');
    const int length =
        platform::MultiByteToWideChar(platform::CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                      wide.data(), static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return wide;
}

inline std::string ansi_to_utf8(const std::string& ansi)
{
    return sim::utf16_to_utf8(ansi_to_utf16(ansi));
}

inline std::vector<BYTE> utf16_bytes(const std::u16string& text)
{
    std::vector<BYTE> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    return bytes;
}

// The bytes that the narrow RegQueryValueExA returns for a value of a key
// under HKEY_LOCAL_MACHINE; nullopt when the key or the value is missing.
inline std::optional<std::string> narrow_value(const std::string& key_path, const char* name)
{
    HKEY key = nullptr;
    if (platform::RegOpenKeyA(platform::HKEY_LOCAL_MACHINE, key_path.c_str(), &key) !=
        platform::ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD size = 0;
    std::optional<std::string> out;
    if (platform::RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) == platform::ERROR_SUCCESS) {
        std::string data(size, '\0');
        if (platform::RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()),
                                       &size) == platform::ERROR_SUCCESS) {
            data.resize(size);
            out = data;
        }
    }
    platform::RegCloseKey(key);
    return out;
}

inline std::string uninstall_entry_path(const char* code)
{
    return std::string(UNINSTALL_KEY) + "\\" + code;
}

} // namespace fuzz
