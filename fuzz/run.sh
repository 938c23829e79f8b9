#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz") and runs each for a bounded time.
#
#   fuzz/run.sh SECONDS [TARGET...]
#
# Environment:
#   FUZZ_JOBS=N          targets run side by side (default 1)
#   FUZZ_KEEP_CORPUS=1   keep what each target learns in build/fuzz/work/<target>/corpus
#                        across runs (default: start from the committed seeds)
#   FUZZ_EXTRA_ARGS      more libFuzzer options for every target
#
# Prints per target its executions and findings, the reproducer and stack of
# a finding, and last the line "N passed, N failed". Exits non-zero when a
# target fails (a finding, or a fuzzer that did not run).
set -u

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root" || exit 2

seconds="${1:-25}"
shift || true
all_targets=(uninstall_string setup_header shortcut_arguments display_name registry_copy command_line directx_version
    disc_labels)
if [ "$#" -gt 0 ]; then
    targets=("$@")
else
    targets=("${all_targets[@]}")
fi
jobs="${FUZZ_JOBS:-1}"
bin_dir="$root/build/fuzz/fuzz"
work_root="$root/build/fuzz/work"

max_len_of() {
    case "$1" in
    uninstall_string) echo 2048 ;;
    setup_header) echo 1024 ;;
    shortcut_arguments) echo 600 ;;
    display_name) echo 256 ;;
    registry_copy) echo 4096 ;;
    command_line) echo 1200 ;;
    directx_version) echo 512 ;;
    disc_labels) echo 2600 ;;
    *) echo 4096 ;;
    esac
}

build() {
    local log="$root/build/fuzz-build.log"
    mkdir -p "$root/build"
    if ! { cmake --preset fuzz && cmake --build --preset fuzz -j2; } >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz build failed (see $log)"
        return 1
    fi
}

# Runs one target; writes "target executions findings" to its result file.
run_target() {
    local target="$1"
    local work="$work_root/$target"
    local binary="$bin_dir/fuzz_$target"
    local corpus="$work/corpus"
    local artifacts="$work/artifacts"
    local log="$work/fuzz.log"
    rm -rf "$artifacts"
    [ "${FUZZ_KEEP_CORPUS:-0}" = 1 ] || rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"

    local dict=()
    [ -f "fuzz/dict/$target.dict" ] && dict=("-dict=fuzz/dict/$target.dict")
    local status=0
    # shellcheck disable=SC2086
    "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len="$(max_len_of "$target")" \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "${dict[@]}" ${FUZZ_EXTRA_ARGS:-} \
        "$corpus" "fuzz/corpus/$target" >"$log" 2>&1 || status=$?

    local executions
    executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    local findings
    findings="$(find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)"
    if [ "$status" -ne 0 ] && [ "$findings" -eq 0 ]; then
        findings=1 # ended abnormally without leaving an input behind
    fi
    echo "$target ${executions:-0} $findings" >"$work/result"
}

report_target() {
    local target="$1"
    local work="$work_root/$target"
    local name executions findings
    read -r name executions findings <"$work/result"
    if [ "$findings" -eq 0 ]; then
        printf '%-20s %10s executions, 0 findings: passed\n' "$target" "$executions"
        return 0
    fi
    printf '%-20s %10s executions, %s findings: FAILED\n' "$target" "$executions" "$findings"
    find "$work/artifacts" -type f | sed 's/^/    reproducer: /'
    echo "    (rerun: $bin_dir/fuzz_$target <reproducer>; log: $work/fuzz.log)"
    grep -E 'invariant failed|ERROR: |SUMMARY|^ +#[0-9]+ ' "$work/fuzz.log" | head -n 30 | sed 's/^/    /'
    return 1
}

if ! build; then
    echo "0 passed, ${#targets[@]} failed"
    exit 1
fi

running=0
for target in "${targets[@]}"; do
    rm -f "$work_root/$target/result"
    if [ ! -x "$bin_dir/fuzz_$target" ]; then
        echo "unknown fuzz target: $target"
        continue
    fi
    run_target "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

passed=0
failed=0
for target in "${targets[@]}"; do
    if [ -f "$work_root/$target/result" ] && report_target "$target"; then
        passed=$((passed + 1))
    else
        [ -f "$work_root/$target/result" ] || echo "$target: did not run"
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
