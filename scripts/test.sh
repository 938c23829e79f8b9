#!/usr/bin/env bash
# Runs every test of the project, from a fresh clone as well as in a working
# tree:
#   1. installs what is missing (scripts/install-deps.sh);
#   2. clang-format over every C++ file; the unit tests on the simulated
#      machine (the native and native-asan presets, built and run with
#      CTest); a short bounded run of every fuzz target;
#   3. the windows build: the patch, the helpers of the end-to-end tests and
#      both_tests.exe, which runs the tests shared by both backends under
#      Wine on a throwaway WoW64 machine and a 32-bit one;
#   4. the end-to-end scenarios under Wine, one CTest test each, on both
#      kinds of machine, two at a time (each on a machine and wineserver
#      of its own);
#   5. a sample of the crash matrix under Wine (tests/wine/crash_matrix.py
#      --sample): the crash-test build stopped once right after each change
#      from each stage's first folder move to its end, those changes shared
#      between the WoW64 and the 32-bit machine (the whole matrix is
#      scripts/crash-matrix.sh).
# It prints a summary and ends with the line "N passed, N failed" (the tests
# of all steps; a build or set-up step that fails counts as one failed test),
# and exits non-zero on any failure. Build folders: build/e2e-test-*.
set -uo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
JOBS=2
BUILD=$ROOT/build
LOGS=$BUILD/e2e-test-logs
WINDOWS_BUILD=$BUILD/e2e-test-windows
WINE_CTEST=$BUILD/e2e-test-wine
PYTHON=python3
[[ -x /usr/bin/python3 ]] && PYTHON=/usr/bin/python3

total_passed=0
total_failed=0
summary=()

# record STEP PASSED FAILED SECONDS [NOTE]
record() {
    total_passed=$((total_passed + $2))
    total_failed=$((total_failed + $3))
    summary+=("$(printf '%-34s %5d passed %5d failed %6ds  %s' "$1" "$2" "$3" "$4" "${5:-}")")
}

# run_logged LOG COMMAND...: runs a command with its output in LOG; shows
# the end of the log when it fails.
run_logged() {
    local log=$1
    shift
    if "$@" >"$log" 2>&1; then
        return 0
    fi
    echo "---- $* failed; the end of $log:"
    tail -n 40 "$log"
    return 1
}

# CTest's own summary: "100% tests passed, 0 tests failed out of 57".
ctest_counts() {
    local line
    line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
    if [[ -z $line ]]; then
        echo "0 1"
        return
    fi
    local failed total
    failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    echo "$((total - failed)) $failed"
}

# GoogleTest's summary: "[  PASSED  ] 12 tests." and "[  FAILED  ] 1 test, ...".
gtest_counts() {
    local passed failed
    passed=$(grep -E '^\[  PASSED  \] [0-9]+ tests?\.' "$1" | tail -n 1 | sed -E 's/.*\] ([0-9]+).*/\1/')
    failed=$(grep -E '^\[  FAILED  \] [0-9]+ tests?, listed below' "$1" | tail -n 1 | sed -E 's/.*\] ([0-9]+).*/\1/')
    echo "${passed:-0} ${failed:-0}"
}

unit_tests() {
    local preset=$1 dir=$BUILD/e2e-test-$1 started=$SECONDS
    echo "== $preset: build and unit tests"
    if ! run_logged "$LOGS/$preset-configure.log" cmake --preset "$preset" -B "$dir" ||
        ! run_logged "$LOGS/$preset-build.log" cmake --build "$dir" -j "$JOBS"; then
        record "$preset unit tests" 0 1 $((SECONDS - started)) "build failed"
        return
    fi
    ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --timeout 600 >"$LOGS/$preset-ctest.log" 2>&1
    local counts
    read -r -a counts <<<"$(ctest_counts "$LOGS/$preset-ctest.log")"
    if [[ ${counts[1]} -gt 0 ]]; then
        grep -E '^\s*[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception)' "$LOGS/$preset-ctest.log"
    fi
    record "$preset unit tests" "${counts[0]}" "${counts[1]}" $((SECONDS - started))
}

windows_build() {
    local started=$SECONDS
    echo "== windows: the patch, the Wine helpers and both_tests.exe"
    if ! run_logged "$LOGS/windows-configure.log" cmake --preset windows -B "$WINDOWS_BUILD" ||
        ! run_logged "$LOGS/windows-build.log" cmake --build "$WINDOWS_BUILD" -j "$JOBS"; then
        record "windows build" 0 1 $((SECONDS - started)) "build failed"
        return 1
    fi
    record "windows build" 0 0 $((SECONDS - started)) "built"
}

# A Wine prefix is made once per run and copied for every machine; the
# CTest project of the scenarios keeps it in its own folder.
wine_setup() {
    local started=$SECONDS
    echo "== wine: the template machines (WoW64 and 32-bit, side by side)"
    rm -rf "$WINE_CTEST/wine" "$WINE_CTEST/wine32"
    if ! run_logged "$LOGS/wine-configure.log" cmake -S tests/wine -B "$WINE_CTEST" \
        -DKESTOVA_WINDOWS_BUILD="$WINDOWS_BUILD" -DPython3_EXECUTABLE="$PYTHON"; then
        record "wine template machines" 0 1 $((SECONDS - started)) "could not configure the Wine tests"
        return 1
    fi
    run_logged "$LOGS/wine-template.log" env KESTOVA_WINE_ARCH=win64 "$PYTHON" tests/wine/run.py template \
        --build-dir "$WINDOWS_BUILD" --work-dir "$WINE_CTEST/wine" &
    local wow64=$!
    run_logged "$LOGS/wine32-template.log" env KESTOVA_WINE_ARCH=win32 "$PYTHON" tests/wine/run.py template \
        --build-dir "$WINDOWS_BUILD" --work-dir "$WINE_CTEST/wine32" &
    local win32=$!
    local made=0
    wait "$wow64" || made=1
    wait "$win32" || made=1
    if [[ $made -ne 0 ]]; then
        record "wine template machines" 0 1 $((SECONDS - started)) "could not make the Wine prefixes"
        return 1
    fi
    record "wine template machines" 0 0 $((SECONDS - started)) "ready"
}

# both_tests.exe on a WoW64 (win64) and a 32-bit (win32) machine, side by
# side, each counted as its own step.
both_tests_under_wine() {
    local started=$SECONDS arch status
    echo "== both_tests.exe under Wine (win64 and win32, side by side)"
    if [[ ! -f $WINDOWS_BUILD/both_tests.exe ]]; then
        record "both_tests.exe under Wine (win64)" 0 1 $((SECONDS - started)) "not built"
        record "both_tests.exe under Wine (win32)" 0 1 $((SECONDS - started)) "not built"
        return
    fi
    local -A pids
    for arch in win64 win32; do
        KESTOVA_WINE_ARCH=$arch timeout 1200 "$PYTHON" tests/wine/run.py exec --build-dir "$WINDOWS_BUILD" \
            --work-dir "$WINE_CTEST/$([[ $arch == win64 ]] && echo wine || echo wine32)" \
            -- "$WINDOWS_BUILD/both_tests.exe" >"$LOGS/both-tests-$arch.log" 2>&1 &
        pids[$arch]=$!
    done
    for arch in win64 win32; do
        wait "${pids[$arch]}"
        status=$?
        count_both_tests "$arch" "$status" "$started"
    done
}

# count_both_tests ARCH STATUS STARTED: records the run of both_tests.exe.
count_both_tests() {
    local arch=$1 status=$2 started=$3 log=$LOGS/both-tests-$1.log counts
    read -r -a counts <<<"$(gtest_counts "$log")"
    if [[ $status -ne 0 && ${counts[1]} -eq 0 ]]; then
        # It ended badly without saying which test failed (a crash, a hang).
        counts[1]=1
        tail -n 40 "$log"
    elif [[ ${counts[1]} -gt 0 ]]; then
        grep -E '^\[  FAILED  \] [^0-9]' "$log" | sort -u
    fi
    record "both_tests.exe under Wine ($arch)" "${counts[0]}" "${counts[1]}" $((SECONDS - started))
}

wine_scenarios() {
    local started=$SECONDS log=$LOGS/wine-scenarios.log
    echo "== Wine scenarios (wine.*: WoW64 machines, wine32.*: 32-bit machines), two at a time"
    # both_tests.exe has its own step above, where its tests are counted one by one.
    ctest --test-dir "$WINE_CTEST" -LE both -j "$JOBS" --output-on-failure >"$log" 2>&1
    local counts
    read -r -a counts <<<"$(ctest_counts "$log")"
    grep -E '^\s*[0-9]+/[0-9]+ Test' "$log" | sed -E 's/^\s*[0-9]+\/[0-9]+ Test +#[0-9]+: /  /'
    if [[ ${counts[1]} -gt 0 ]]; then
        echo "---- details of the failed scenarios (all in $log):"
        grep -E '^(FAIL|    - |      )' "$log" | grep -vE '^ +Start +[0-9]+:' | head -n 150
    fi
    record "Wine scenarios" "${counts[0]}" "${counts[1]}" $((SECONDS - started))
}

# crash_sample ARCH WORK: the kind of machine's share of the crash matrix's
# sample, its cells two at a time, on machines copied from the template
# prefix in WORK.
crash_sample() {
    local arch=$1 work=$2 started=$SECONDS log=$LOGS/crash-sample-$1.log
    echo "== crash matrix under Wine, sample ($arch)"
    KESTOVA_WINE_ARCH=$arch timeout 3600 "$PYTHON" tests/wine/crash_matrix.py --sample --jobs "$JOBS" \
        --build-dir "$WINDOWS_BUILD" --work-dir "$work" >"$log" 2>&1
    local line passed=0 failed=1
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)
    if [[ -n $line ]]; then
        passed=${line%% passed*}
        line=${line##*passed, }
        failed=${line%% failed}
    fi
    grep -E '^  (kill|power) ' "$log"
    if [[ $failed -gt 0 ]]; then
        echo "---- the cells that did not end whole (all in $log):"
        # Each failed cell whole: its problems and, for a cell that could
        # not be run, what the machine's processes were doing.
        awk '/^(PASS|FAIL)  /{show = /^FAIL/} /^$/{show = 0} show' "$log" | head -n 200
    fi
    record "crash matrix sample ($arch)" "$passed" "$failed" $((SECONDS - started))
}

# One X server for all of Wine's windows, when there is no display.
start_display() {
    if [[ -n ${DISPLAY:-} ]]; then
        return
    fi
    local number_file
    number_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do
        [[ -s $number_file ]] && break
        sleep 0.1
    done
    export DISPLAY=":$(head -n 1 "$number_file")"
    rm -f "$number_file"
}

stop_display() {
    if [[ -n ${XVFB_PID:-} ]]; then
        kill "$XVFB_PID" 2>/dev/null
        wait "$XVFB_PID" 2>/dev/null
    fi
}

main() {
    local started=$SECONDS
    mkdir -p "$LOGS"
    echo "== dependencies"
    if ! run_logged "$LOGS/install-deps.log" scripts/install-deps.sh; then
        record "dependencies" 0 1 $((SECONDS - started)) "scripts/install-deps.sh failed"
    fi
    grep '^install-deps:' "$LOGS/install-deps.log" || true
    HOST_KIND=$(scripts/host-kind.sh)
    echo "$HOST_KIND"
    script_tests
    format_check
    unit_tests native
    unit_tests native-asan
    fuzz_short
    if windows_build; then
        start_display
        trap stop_display EXIT
        if wine_setup; then
            both_tests_under_wine
            wine_scenarios
            crash_sample win64 "$WINE_CTEST/wine"
            crash_sample win32 "$WINE_CTEST/wine32"
        fi
    fi

    echo
    echo "== summary (logs in ${LOGS#"$ROOT"/})"
    printf '%s\n' "${summary[@]}"
    echo "total time $((SECONDS - started))s; $HOST_KIND"
    echo
    echo "$total_passed passed, $total_failed failed"
    [[ $total_failed -eq 0 ]]
}

# Every C++ file formatted as the repository's .clang-format says.
format_check() {
    local started=$SECONDS
    echo "== clang-format"
    if run_logged "$LOGS/clang-format.log" clang-format --dry-run --Werror \
        $(git ls-files '*.cpp' '*.h'); then
        record "clang-format" 1 0 $((SECONDS - started))
    else
        record "clang-format" 0 1 $((SECONDS - started)) "files not formatted"
    fi
}

# The shell scripts' own tests (tests/scripts/*_test.sh), each ending with
# its "N passed, N failed" line.
script_tests() {
    local started=$SECONDS passed=0 failed=0 test line
    echo "== script tests"
    for test in tests/scripts/*_test.sh; do
        line=$(bash "$test" 2>&1 | tee "$LOGS/${test##*/}.log" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -n 1)
        if [[ -z $line ]]; then
            failed=$((failed + 1))
            tail -n 20 "$LOGS/${test##*/}.log"
            continue
        fi
        passed=$((passed + ${line%% passed*}))
        line=${line##*passed, }
        failed=$((failed + ${line%% failed}))
    done
    [[ $failed -eq 0 ]] || grep -h '^FAIL' "$LOGS"/*_test.sh.log
    record "script tests" "$passed" "$failed" $((SECONDS - started))
}

# A short bounded run of every fuzz target; its closing line counts them.
fuzz_short() {
    local started=$SECONDS log=$LOGS/fuzz-short.log
    echo "== fuzzers (short run)"
    scripts/fuzz-short.sh >"$log" 2>&1
    local line
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)
    if [[ -z $line ]]; then
        tail -n 40 "$log"
        record "fuzzers (short run)" 0 1 $((SECONDS - started)) "no summary"
        return
    fi
    local passed failed
    passed=$(sed -E 's/^([0-9]+) passed.*/\1/' <<<"$line")
    failed=$(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$line")
    [[ $failed -eq 0 ]] || tail -n 40 "$log"
    record "fuzzers (short run)" "$passed" "$failed" $((SECONDS - started))
}

# Sourced (for trying out a single step), it only defines the steps.
if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    main
fi
