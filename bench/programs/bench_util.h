// Small pieces shared by the benchmark programs: clocks, handle owners and
// the result files they write for the Python side (one "key=value" per line).
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include "helper_util.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace bench
{

// Wall-clock time in 100 ns units since 1601 (FILETIME). Under Wine it is
// Linux's CLOCK_REALTIME, which the Python side reads as time.time_ns().
inline unsigned long long now_filetime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

inline unsigned long long filetime_value(const FILETIME& time)
{
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// A steady clock in seconds for durations inside one program.
inline double now_seconds()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The handle and key owners of the test suite's helper programs.
using helper::scoped_handle;
using helper::scoped_key;

// The result file: "key=value" lines, written as they come so that a run cut
// short still leaves what it had.
class result_file
{
  public:
    result_file() = default;
    result_file(const result_file&) = delete;
    result_file& operator=(const result_file&) = delete;
    ~result_file()
    {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    bool open(const char* path)
    {
        file_ = std::fopen(path, "wb");
        return file_ != nullptr;
    }
    void put(const char* key, const char* format, ...) __attribute__((format(printf, 3, 4)))
    {
        if (file_ == nullptr) {
            return;
        }
        std::fprintf(file_, "%s=", key);
        va_list args;
        va_start(args, format);
        std::vfprintf(file_, format, args);
        va_end(args);
        std::fputc('\n', file_);
        std::fflush(file_);
    }
    void put_time(const char* key, unsigned long long filetime) { put(key, "%llu", filetime); }

  private:
    std::FILE* file_ = nullptr;
};

// A text as one line of a result file: line breaks and backslashes escaped.
inline std::string escape_line(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '\\') {
            escaped += "\\\\";
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// The folder that holds the running program, with a trailing backslash.
inline std::string own_folder()
{
    char path[MAX_PATH] = "";
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return std::string();
    }
    char* slash = std::strrchr(path, '\\');
    if (slash != nullptr) {
        slash[1] = '\0';
    }
    return path;
}

// The processes of the machine and their threads, as a Toolhelp snapshot
// lists them (under Wine, a snapshot's cost grows with the threads).
inline void count_processes(DWORD& processes, DWORD& threads)
{
    processes = 0;
    threads = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL found = Process32First(snapshot, &entry); found; found = Process32Next(snapshot, &entry)) {
        ++processes;
        threads += entry.cntThreads;
    }
    CloseHandle(snapshot);
}

} // namespace bench
