#!/usr/bin/env bash
# Tests of scripts/check-seam-hooks.py, the check that every function of the
# Win32 seam calls the crash-test hook first: it passes the real seam and
# finds each way a new seam function can miss the hook.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
CHECK=$ROOT/scripts/check-seam-hooks.py

passed=0
failed=0
# expect NAME EXPECTED_STATUS OUTPUT_PATTERN FILE...
expect() {
    local name=$1 status=$2 pattern=$3 output actual
    shift 3
    output=$(python3 "$CHECK" "$@" 2>&1)
    actual=$?
    if [[ $actual -eq $status && $output =~ $pattern ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s: expected status %d and /%s/, got %d:\n%s\n' "$name" "$status" "$pattern" "$actual" "$output"
    fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

expect "the real seam" 0 "^[0-9]+ seam functions call the crash-test hook first$" "$ROOT/source/platform/win32"

cat >"$work/hooked.cpp" <<'CPP'
// platform::RegOpenKeyA(x) in a comment is no definition { }
namespace
{
int helper(int x)
{
    return x;
}
} // namespace

platform::LONG platform::RegFlushKey(platform::HKEY key)
{
    seam_call(seam_effect::flushes, __func__);
    const char* text = "platform::Fake() { }";
    return ::RegFlushKey(real(key));
}

namespace platform
{
DWORD GetTickCount()
{
    win32::seam_call(win32::seam_effect::looks, __func__);
    return ::GetTickCount();
}
} // namespace platform
CPP
expect "hooked definitions, a helper and look-alikes in comments and strings" 0 "^2 seam functions" "$work/hooked.cpp"

cat >"$work/missing.cpp" <<'CPP'
platform::BOOL platform::CopyFileW(const platform::WCHAR* from, const platform::WCHAR* to,
                                   platform::BOOL fail_if_exists)
{
    return ::CopyFileW(wide(from), wide(to), fail_if_exists);
}
CPP
expect "a definition without the hook" 1 "missing.cpp:1: platform::CopyFileW does not call" "$work/missing.cpp"

cat >"$work/late.cpp" <<'CPP'
platform::DWORD platform::ResumeThread(platform::HANDLE thread)
{
    const platform::DWORD count = ::ResumeThread(real(thread));
    seam_call(seam_effect::changes, __func__);
    return count;
}
CPP
expect "the hook after the real call" 1 "platform::ResumeThread does not call" "$work/late.cpp"

cat >"$work/block.cpp" <<'CPP'
namespace platform
{
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD process_id)
{
    return seam(::CreateToolhelp32Snapshot(flags, process_id));
}
} // namespace platform
CPP
expect "a definition inside a namespace platform block" 1 "block.cpp:3: CreateToolhelp32Snapshot does not call" \
    "$work/block.cpp"

cat >"$work/kind.cpp" <<'CPP'
void platform::Sleep(platform::DWORD milliseconds)
{
    seam_call(__func__);
    ::Sleep(milliseconds);
}
CPP
expect "a hook call without its effect" 1 "platform::Sleep does not call" "$work/kind.cpp"

: >"$work/empty.cpp"
expect "no seam function at all" 1 "no seam function found" "$work/empty.cpp"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
