#!/usr/bin/env bash
# Tells how this host runs 32-bit (i386) Linux programs, which Wine's 32-bit
# loader is: natively, through an emulator registered with binfmt_misc, or
# not at all. Timings of 32-bit programs from the two kinds of host are not
# comparable, so the test command, the demo and the benchmarks print this.
#
#   scripts/host-kind.sh          prints one line, "32-bit programs: ..."
#   source scripts/host-kind.sh   defines the functions below
#
# Exit code when run: 0 when 32-bit programs run (either way), 1 otherwise.

# A 32-bit program that every machine with Wine's 32-bit half has.
I386_PROBE=/lib/ld-linux.so.2
BINFMT_DIR=/proc/sys/fs/binfmt_misc

# i386_runs: a 32-bit program starts and ends well.
i386_runs() {
    [[ -e $I386_PROBE ]] && "$I386_PROBE" --version >/dev/null 2>&1
}

# i386_binfmt_entry: prints the name of an enabled binfmt_misc entry that
# takes i386 ELF programs (class 32, little-endian, machine 3), if any. The
# kernel asks such entries before it runs an ELF file itself.
i386_binfmt_entry() {
    local entry
    [[ -d $BINFMT_DIR ]] || return 1
    for entry in "$BINFMT_DIR"/*; do
        case ${entry##*/} in
        register | status) continue ;;
        esac
        [[ -r $entry ]] || continue
        grep -qx enabled "$entry" || continue
        # "magic 7f454c46 01 01 ... 0300": ELF, 32-bit, little-endian, EM_386.
        if grep -qE '^magic 7f454c460101[0-9a-f]{20}0[23]000300' "$entry"; then
            echo "${entry##*/}"
            return 0
        fi
    done
    return 1
}

# i386_emulator: prints the interpreter of that entry.
i386_emulator() {
    local entry
    entry=$(i386_binfmt_entry) || return 1
    sed -nE 's/^interpreter (.*)/\1/p' "$BINFMT_DIR/$entry"
}

# host_kind: "native", "emulated" or "none".
host_kind() {
    if ! i386_runs; then
        echo none
    elif i386_binfmt_entry >/dev/null; then
        echo emulated
    else
        echo native
    fi
}

# host_kind_line: the line the scripts print.
host_kind_line() {
    local emulator version
    case $(host_kind) in
    native) echo "32-bit programs: native (the kernel runs them itself)" ;;
    emulated)
        emulator=$(i386_emulator)
        version=$("$emulator" --version 2>/dev/null | head -n 1)
        echo "32-bit programs: emulated (${version:-$emulator} through binfmt_misc;" \
            "their timings are not comparable with a native host's)"
        ;;
    *) echo "32-bit programs: they do not run on this host" ;;
    esac
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    host_kind_line
    [[ $(host_kind) != none ]]
fi
