#!/usr/bin/env bash
# Tests of the set-up scripts' host checks: how scripts/host-kind.sh tells a
# native host from an emulated one from binfmt_misc entries, and how
# scripts/install-deps.sh leaves out the suites whose lists failed.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$ROOT/scripts/install-deps.sh"
set +e

passed=0
failed=0
expect_eq() {
    if [[ $2 == "$3" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s: expected [%s], got [%s]\n' "$1" "$3" "$2"
    fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A 32-bit "probe" that runs, and one that the kernel refuses.
printf '#!/bin/sh\nexit 0\n' >"$work/runs"
printf '#!/bin/sh\nexit 126\n' >"$work/refused"
chmod +x "$work/runs" "$work/refused"

binfmt_entry() { # NAME STATE MAGIC
    printf '%s\ninterpreter /usr/bin/qemu-x\nflags: F\noffset 0\nmagic %s\nmask ff\n' "$2" "$3" \
        >"$BINFMT_DIR/$1"
}
I386_MAGIC=7f454c4601010100000000000000000002000300
ARM_MAGIC=7f454c4601010100000000000000000002002800

BINFMT_DIR=$work/binfmt
mkdir -p "$BINFMT_DIR"
touch "$BINFMT_DIR/register" "$BINFMT_DIR/status"

I386_PROBE=$work/runs
expect_eq "no entries, probe runs" "$(host_kind)" native
binfmt_entry qemu-arm enabled $ARM_MAGIC
expect_eq "only an ARM entry" "$(host_kind)" native
binfmt_entry qemu-i386 disabled $I386_MAGIC
expect_eq "a disabled i386 entry" "$(host_kind)" native
binfmt_entry qemu-i386 enabled $I386_MAGIC
expect_eq "an enabled i386 entry" "$(host_kind)" emulated
expect_eq "the entry's name" "$(i386_binfmt_entry)" qemu-i386
expect_eq "the entry's interpreter" "$(i386_emulator)" /usr/bin/qemu-x
# Shared-object (ET_DYN) magic counts too: Wine's loader may be either type.
rm "$BINFMT_DIR/qemu-i386"
binfmt_entry i386-dyn enabled 7f454c4601010100000000000000000003000300
expect_eq "an ET_DYN i386 entry" "$(host_kind)" emulated
I386_PROBE=$work/refused
expect_eq "probe refused" "$(host_kind)" none
I386_PROBE=$work/missing
expect_eq "probe missing" "$(host_kind)" none
BINFMT_DIR=$work/no-binfmt
I386_PROBE=$work/runs
expect_eq "no binfmt_misc at all" "$(host_kind)" native

# apt-get update's errors name the suites behind the lists that failed.
cat >"$work/update.log" <<'LOG'
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]
   Hashes of expected file:
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-amd64/Packages.xz  File has unexpected size
E: Some index files failed to download. They have been ignored, or old ones used instead.
LOG
expect_eq "failed suites" "$(failed_suites_of "$work/update.log")" bookworm-security

APT_SOURCES_DIR=$work/sources
mkdir -p "$APT_SOURCES_DIR" "$work/kept"
cat >"$APT_SOURCES_DIR/debian.sources" <<'SRC'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
SRC
FAILED_SUITES=(bookworm-updates bookworm-security)
sources_without_failed_suites "$work/kept"
expect_eq "sources left" "$(grep -c '^Types:' "$work/kept/debian.sources")" 1
expect_eq "suites left" "$(grep '^Suites:' "$work/kept/debian.sources")" "Suites: bookworm"
expect_eq "other fields kept" "$(grep -c '^URIs: http://deb.debian.org/debian$' "$work/kept/debian.sources")" 1

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
