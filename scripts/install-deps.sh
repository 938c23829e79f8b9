#!/usr/bin/env bash
# Installs everything the project needs to build, test and run its demo on
# Debian 12: compilers for Linux and 32-bit Windows, GoogleTest and Google
# Benchmark, Wine with its 32-bit half, a virtual X server for Wine's
# windows, and the tools scripts/screenshots.sh takes pictures of the
# message boxes with (x11-utils finds a box's window, ImageMagick's "import"
# saves it). Safe to run again: it only asks apt when a package is
# missing.
#
# Wine's 32-bit loader is a 32-bit Linux program. On a host whose kernel
# refuses those ("Exec format error"), it installs qemu-user 10 from
# bookworm-backports and registers it with binfmt_misc for i386 programs;
# Debian 12's own qemu 7.2 runs them too, but about 200 times slower.
#
#   scripts/install-deps.sh                 what the tests and the demo need
#   scripts/install-deps.sh --emulate-i386  also run 32-bit programs through
#                                           qemu where the kernel could run
#                                           them (to try the emulated set-up)
#   scripts/install-deps.sh --native-i386   undo that registration
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/host-kind.sh"

PACKAGES=(
    cmake make g++ clang clang-format libclang-rt-14-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
    wine wine32:i386 wine64
    xvfb xauth
    x11-utils imagemagick
    python3
)
APT_SOURCES_DIR=/etc/apt/sources.list.d
BACKPORTS_LIST=$APT_SOURCES_DIR/kestova-bookworm-backports.sources
QEMU=/usr/bin/qemu-i386
BINFMT_NAME=kestova-qemu-i386
# ELF, class 32, little-endian, version 1, type EXEC or DYN, machine EM_386;
# the same magic and mask as qemu's own binfmt configuration.
BINFMT_MAGIC='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
BINFMT_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

SUDO=()
if [[ $(id -u) -ne 0 ]]; then
    SUDO=(sudo)
fi

say() {
    echo "install-deps: $*"
}

die() {
    echo "install-deps: $*" >&2
    exit 1
}

is_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# apt_update: refreshes the package lists, a few times if a mirror is being
# synchronised. A list that still fails to download is named in
# $FAILED_SUITES (the suites behind it), so that an install can leave those
# suites out instead of failing on versions it cannot match.
FAILED_SUITES=()

# failed_suites_of LOG: the suites named in apt-get update's "Failed to
# fetch .../dists/SUITE/..." errors, one a line.
failed_suites_of() {
    sed -nE 's#^E: Failed to fetch [^ ]*/dists/([^/ ]+)/.*#\1#p' "$1" | sort -u
}

apt_update() {
    local log try
    log=$(mktemp)
    for try in 1 2 3; do
        if "${SUDO[@]}" apt-get update -qq >"$log" 2>&1 && ! grep -q '^E: ' "$log"; then
            FAILED_SUITES=()
            rm -f "$log"
            return 0
        fi
        mapfile -t FAILED_SUITES < <(failed_suites_of "$log")
        [[ $try -lt 3 ]] && sleep 15
    done
    say "apt-get update did not download every list:"
    grep '^E: ' "$log" | sed 's/^/    /' || true
    rm -f "$log"
    return 0
}

# sources_without_failed_suites DIR: writes into DIR a copy of the system's
# deb822 source files without the suites whose lists failed to download.
sources_without_failed_suites() {
    local dir=$1 file
    for file in "$APT_SOURCES_DIR"/*.sources; do
        [[ -e $file ]] || continue
        python3 - "$file" "$dir/${file##*/}" "${FAILED_SUITES[@]}" <<'EOF'
import sys
source, target, failed = sys.argv[1], sys.argv[2], set(sys.argv[3:])
stanzas = []
for stanza in open(source).read().split("\n\n"):
    lines = []
    for line in stanza.splitlines():
        if line.startswith("Suites:"):
            suites = [s for s in line.split()[1:] if s not in failed]
            if not suites:
                lines = None
                break
            line = "Suites: " + " ".join(suites)
        lines.append(line)
    if lines:
        stanzas.append("\n".join(lines))
open(target, "w").write("\n\n".join(stanzas) + "\n")
EOF
    done
}

# apt_install ARGS...: installs packages. Where a list failed to download
# (typically a security suite during a mirror sync, whose amd64 and i386
# versions then disagree), it tries again without the suites behind it.
apt_install() {
    local log parts
    log=$(mktemp)
    if "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    if [[ ${#FAILED_SUITES[@]} -eq 0 ]] || ! command -v python3 >/dev/null; then
        tail -n 20 "$log" >&2
        rm -f "$log"
        return 1
    fi
    say "installing without ${FAILED_SUITES[*]}, whose package lists could not be downloaded"
    parts=$(mktemp -d)
    sources_without_failed_suites "$parts"
    if "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends \
        -o Dir::Etc::SourceParts="$parts" -o Dir::Etc::SourceList=/dev/null "$@" >"$log" 2>&1; then
        rm -rf "$log" "$parts"
        return 0
    fi
    tail -n 20 "$log" >&2
    rm -rf "$log" "$parts"
    return 1
}

install_packages() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        say "enabling the i386 architecture for wine32"
        "${SUDO[@]}" dpkg --add-architecture i386
    fi
    local missing=() package
    for package in "${PACKAGES[@]}"; do
        is_installed "$package" || missing+=("$package")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    say "installing ${missing[*]}"
    apt_update
    apt_install "${missing[@]}" || die "apt-get could not install ${missing[*]}"
    say "done"
}

# A static qemu-i386 of version 10, from bookworm-backports: Debian 12's
# own 7.2 needs about a minute to start one Wine program.
install_qemu() {
    if is_installed qemu-user && "$QEMU" --version 2>/dev/null | grep -qE 'version ([1-9][0-9])\.'; then
        return 0
    fi
    if [[ ! -e $BACKPORTS_LIST ]]; then
        local mirror
        mirror=$(sed -nE 's#^URIs: *(http[^ ]*/debian)/?$#\1#p' "$APT_SOURCES_DIR"/debian.sources 2>/dev/null | head -n 1)
        say "adding the bookworm-backports suite for qemu-user 10"
        "${SUDO[@]}" tee "$BACKPORTS_LIST" >/dev/null <<EOF
Types: deb
URIs: ${mirror:-http://deb.debian.org/debian}
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    fi
    apt_update
    apt_install -t bookworm-backports qemu-user || die "apt-get could not install qemu-user from bookworm-backports"
    "$QEMU" --version >/dev/null 2>&1 || die "$QEMU does not run"
}

# Registers qemu-i386 for i386 programs. Flag F opens the interpreter now,
# so it serves Wine's loader wherever it re-executes itself.
register_qemu() {
    [[ $(id -u) -eq 0 ]] || die "registering qemu-i386 with binfmt_misc needs root; run this script as root (or with sudo)"
    if [[ ! -e $BINFMT_DIR/register ]]; then
        mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" 2>/dev/null ||
            die "binfmt_misc is not available here (the kernel lacks it, or this container may not mount it at $BINFMT_DIR), so 32-bit programs cannot run: use a host whose kernel runs them or has binfmt_misc"
    fi
    if [[ -e $BINFMT_DIR/$BINFMT_NAME ]]; then
        echo -1 >"$BINFMT_DIR/$BINFMT_NAME"
    fi
    printf ':%s:M::%s:%s:%s:F' "$BINFMT_NAME" "$BINFMT_MAGIC" "$BINFMT_MASK" "$QEMU" >"$BINFMT_DIR/register" ||
        die "binfmt_misc refused the qemu-i386 entry"
}

unregister_qemu() {
    if [[ -e $BINFMT_DIR/$BINFMT_NAME ]]; then
        echo -1 >"$BINFMT_DIR/$BINFMT_NAME"
        say "32-bit programs run natively again ($BINFMT_NAME removed from binfmt_misc)"
    fi
}

# Makes sure 32-bit programs run: natively where the kernel can, through
# qemu where it cannot (or where --emulate-i386 asks for it).
ensure_i386_programs_run() {
    local force=${1:-}
    if [[ -z $force ]] && i386_runs; then
        return 0
    fi
    if [[ -n $force ]] && [[ $(i386_binfmt_entry || true) == "$BINFMT_NAME" ]]; then
        return 0
    fi
    [[ -e $I386_PROBE ]] || die "$I386_PROBE is missing, though wine32 is installed"
    install_qemu
    register_qemu
    i386_runs || die "32-bit programs still do not run, even through $QEMU"
    if [[ -n $force ]]; then
        say "32-bit programs now run through $("$QEMU" --version | head -n 1), as --emulate-i386 asked"
    else
        say "this kernel refuses 32-bit programs (Exec format error), which Wine's 32-bit loader is;" \
            "they now run through $("$QEMU" --version | head -n 1), registered with binfmt_misc"
    fi
}

main() {
    case ${1:-} in
    "") ;;
    --emulate-i386 | --native-i386) ;;
    *) die "usage: $0 [--emulate-i386 | --native-i386]" ;;
    esac
    if [[ ${1:-} == --native-i386 ]]; then
        unregister_qemu
        return 0
    fi
    install_packages
    ensure_i386_programs_run "${1:-}"
}

# Sourced (by its tests), it only defines the functions.
if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    main "$@"
fi
