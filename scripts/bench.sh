#!/usr/bin/env bash
# Runs the benchmarks and prints their figures. None of them is a test: they
# measure and print, and fail only when a run did not go as planned (then
# its figures would mean nothing).
#
#   scripts/bench.sh [executable] [wait] [registry] [stage]   (default: all)
#
#   executable  size, sections and imports of the stripped kestova-patch.exe,
#               and what makes it big (no Wine)
#   wait        the patch's CPU time while it waits for the disc's setup's
#               signal (against the original design's wait) and then for the
#               end of the setup's chain, how soon it goes on after that end,
#               and what its waiting calls cost one by one (Wine)
#   registry    moving an uninstall entry: the patch's copy plus delete
#               against RegCopyTreeA and SHCopyKeyA, growing sizes (Wine)
#   stage       a whole install stage against a do-nothing program (Wine)
#
# Builds the "bench" preset in build/bench-win (the windows build with the
# benchmark programs), keeps its Wine template prefix in build/bench-wine,
# and writes everything it prints to build/bench-results/bench-DATE.txt.
# The Wine benchmarks run one after another, one Wine machine at a time.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
JOBS=2
BUILD=$ROOT/build/bench-win
WORK=$ROOT/build/bench-wine/work
RESULTS=$ROOT/build/bench-results
PYTHON=python3
[[ -x /usr/bin/python3 ]] && PYTHON=/usr/bin/python3

ALL=(executable wait registry stage)
selected=("$@")
[[ ${#selected[@]} -eq 0 ]] && selected=("${ALL[@]}")
for name in "${selected[@]}"; do
    case $name in
    executable | wait | registry | stage) ;;
    *)
        echo "usage: $0 [executable] [wait] [registry] [stage]" >&2
        exit 2
        ;;
    esac
done

mkdir -p "$RESULTS"
REPORT=$RESULTS/bench-$(date -u +%Y%m%d-%H%M%S).txt

build() {
    echo "== building (preset bench, $BUILD)"
    if ! scripts/install-deps.sh >"$RESULTS/install-deps.log" 2>&1; then
        echo "scripts/install-deps.sh failed; see $RESULTS/install-deps.log"
        return 1
    fi
    if ! cmake --preset bench >"$RESULTS/configure.log" 2>&1 ||
        ! cmake --build "$BUILD" -j "$JOBS" --target kestova-patch player probe bench-setup_stub \
            bench-wait_baseline bench-wait_calls bench-stage_timer bench-do_nothing bench-registry_move \
            >"$RESULTS/build.log" 2>&1; then
        echo "the build failed; the end of its log:"
        tail -n 30 "$RESULTS/build.log" "$RESULTS/configure.log"
        return 1
    fi
}

main() {
    echo "kestova-patch benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet HEAD -- 2>/dev/null || echo ' (with local changes)')"
    echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'),"\
        "$(awk '{printf "%.1f GiB", $2 / 1048576}' <(grep MemTotal /proc/meminfo)) RAM, Linux $(uname -r),"\
        "$(wine --version 2>/dev/null || echo 'no wine'), load average $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "$BENCH_HOST_32BIT"
    build || return 1

    local failed=()
    for name in "${selected[@]}"; do
        local script
        case $name in
        executable) script=bench/executable.py ;;
        wait) script=bench/wait_for_setup.py ;;
        registry) script=bench/registry_move.py ;;
        stage) script=bench/install_stage.py ;;
        esac
        if [[ $name == executable ]]; then
            "$PYTHON" -u "$script" --build-dir "$BUILD" || failed+=("$name")
        else
            "$PYTHON" -u "$script" --build-dir "$BUILD" --work-dir "$WORK" || failed+=("$name")
        fi
    done
    echo
    echo "load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
    if [[ ${#failed[@]} -gt 0 ]]; then
        echo "bench: ${failed[*]}: not every run went as planned (see above)"
        return 1
    fi
    echo "bench: done (${selected[*]})"
}

# The benchmarks' own headers name the kind of host too.
# How this host runs 32-bit programs (Wine's 32-bit side is one): the
# headers say it, since their times differ between native and emulated hosts.
BENCH_HOST_32BIT=$(scripts/host-kind.sh)
export BENCH_HOST_32BIT
main 2>&1 | tee "$REPORT"
status=${PIPESTATUS[0]}
echo "(written to ${REPORT#"$ROOT"/})"
exit "$status"
