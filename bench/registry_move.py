#!/usr/bin/env python3
"""Moving an uninstall entry: the patch's subtree copy plus delete against
RegCopyTreeA plus RegDeleteTreeA, against SHCopyKeyA plus SHDeleteKeyA and
against RegRenameKey (the move in one step, measured as a reference only:
the patch moves entries by copy and delete on every system), on the same
generated trees in one run of registry_move.exe under Wine (see
bench/programs/registry_move.cpp). Prints the median time of each method
per size, the ratios to RegCopyTreeA, and how each grows with the size.
"""

import argparse
import math
import sys
import time

from common import (BENCH_FOLDER, Bench, check_timed_run, describe_host, heading, load_average, median,
                    parse_result, run_timed)
from harness.kestova import command_line

# NAME=FANOUT,DEPTH,VALUES[,REPETITIONS]: from one key of 20 values (a real
# uninstall entry) to thousands of keys and values; small moves take a
# fraction of a millisecond and are repeated more, so that their medians
# stand. The last two split the cost: values alone, keys alone.
TREE_SIZES = ["entry=0,0,20,21", "11keys=10,1,10,21", "111keys=10,2,10,15", "1111keys=10,3,5,9",
              "3616keys=15,3,3,7"]
SPLIT_SIZES = ["values-only=0,0,2000,15", "keys-only=10,3,0,9"]
METHODS = ["patch", "RegCopyTree", "SHCopyKey", "rename"]
COPIES = ["patch", "RegCopyTree", "SHCopyKey"]
# The rename's goal: at least this many times faster than RegCopyTreeA for
# the uninstall entry.
RENAME_SPEEDUP_GOAL = 10.0
TREE_NAMES = [size.split("=")[0] for size in TREE_SIZES]
FIT_MIN_ITEMS = 1000
CALL_VALUES = 2000
SETTLE_SECONDS = 5


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default="build/bench-win")
    parser.add_argument("--work-dir", default="build/bench-wine/work")
    parser.add_argument("--repetitions", type=int, default=7, help="for sizes that do not say")
    parser.add_argument("--sizes", nargs="*", default=TREE_SIZES + SPLIT_SIZES)
    args = parser.parse_args()
    bench = Bench(args.build_dir, args.work_dir)

    heading("Moving an uninstall entry (under Wine)")
    print("machine: " + describe_host())
    print("repetitions per size and method as listed below, methods in turn; load average %s" % load_average())
    with bench.machine() as machine:
        settle(bench, machine)
        program = BENCH_FOLDER + r"\registry_move.exe"
        machine.copy_file(bench.program("registry_move"), program)
        result_path = BENCH_FOLDER + r"\registry-result.txt"
        arguments = [result_path, str(args.repetitions)] + args.sizes + ["calls=%d" % CALL_VALUES]
        line = command_line(program, " ".join(arguments))
        timed = run_timed(bench, machine, line, timeout=1800, name="registry")
        problems = check_timed_run(timed, [])
        result = {}
        if machine.exists(result_path):
            result = parse_result(machine.read_file(result_path).decode("utf-8", "replace"))
    if result.get("done") != "1" or "error" in result:
        problems.append("registry_move.exe did not finish: %s" % result.get("error", "no result"))
    if problems:
        print("INVALID: " + "; ".join(problems))
        return 1

    sizes = {}
    order = []
    for line in _as_list(result.get("size")):
        name, keys, values, data = line.split(",")
        sizes[name] = (int(keys), int(values), int(data))
        order.append(name)
    times = {}
    unverified = 0
    for line in _as_list(result.get("run")):
        size, method, _, copy_ms, delete_ms, verified = line.split(",")
        if verified != "1":
            unverified += 1
            print("  %s %s: the copy did not match the source or the source stayed" % (size, method))
            continue
        times.setdefault((size, method), []).append((float(copy_ms), float(delete_ms)))

    rename_available = result.get("rename") == "available"
    methods = METHODS if rename_available else COPIES
    print()
    if rename_available:
        error, kept = result.get("rename_onto_existing", "?,0").split(",")
        print("RegRenameKey: found in advapi32; onto an existing key it answers %s%s, %s" % (
            error, " (ERROR_ACCESS_DENIED)" if error == "5" else "",
            "both keys kept as they were" if kept == "1" else "NOT both keys kept"))
        if kept != "1" or error == "0":
            unverified += 1
    else:
        print("RegRenameKey: not found in advapi32, the rename is left out")
    print()
    print("median ms per move (copy + delete; the rename in one call); ratio = method / RegCopyTree "
          "(below 1: faster)")
    header = "%-11s %5s %7s " % ("size", "keys", "values")
    header += " ".join("%-22s" % method for method in methods)
    header += " patch, SHCopyKey" + (", rename" if rename_available else "") + " / RegCopyTree"
    print(header)
    totals = {}
    for name in order:
        keys, values, _ = sizes[name]
        cells = []
        for method in methods:
            runs = times.get((name, method), [])
            copy = median([c for c, _ in runs])
            delete = median([d for _, d in runs])
            total = median([c + d for c, d in runs])
            totals[(name, method)] = (copy, delete, total)
            if method == "rename":
                cells.append("%8.3f" % total)
            else:
                cells.append("%8.2f (%.2f+%.2f)" % (total, copy, delete))
        reference = totals[(name, "RegCopyTree")][2]
        ratios = ", ".join("%.3f" % (totals[(name, method)][2] / reference) for method in methods
                           if method != "RegCopyTree")
        print("%-11s %5d %7d %s %s" % (name, keys, values, " ".join("%-22s" % cell for cell in cells), ratios))

    print()
    trees = [name for name in order if name in TREE_NAMES]
    large = [name for name in trees if sum(sizes[name][:2]) >= FIT_MIN_ITEMS]
    print("growth: microseconds per key+value for %s; time = c * items^k fitted on log-log over %s"
          % (", ".join(trees), ", ".join(large)))
    print("(below %d items the fixed cost of a move, opening and creating the top keys, dominates)" % FIT_MIN_ITEMS)
    for method in methods:
        per_item = ", ".join("%.1f" % (1000.0 * totals[(name, method)][2] / sum(sizes[name][:2])) for name in trees)
        points = [(sum(sizes[name][:2]), totals[(name, method)][2]) for name in large]
        print("  %-12s %s;  k = %.2f" % (method, per_item, fit_exponent(points)))

    print_value_calls(_as_list(result.get("call")))

    slower = [name for name in order if totals[(name, "patch")][2] > totals[(name, "RegCopyTree")][2]]
    print()
    if slower:
        print("target (the patch's copy no slower than RegCopyTreeA at any size): NOT met at %s" % ", ".join(slower))
    else:
        print("target (the patch's copy no slower than RegCopyTreeA at any size): met")
    if rename_available and order:
        entry = order[0]
        speedup = totals[(entry, "RegCopyTree")][2] / totals[(entry, "rename")][2]
        print("target (the rename at least %.0f times faster than RegCopyTreeA for %s): %s, %.1f times" % (
            RENAME_SPEEDUP_GOAL, entry, "met" if speedup >= RENAME_SPEEDUP_GOAL else "NOT met", speedup))
        fewer = ["%s %.0f" % (name, totals[(name, "RegCopyTree")][2] / totals[(name, "rename")][2])
                 for name in order]
        print("RegCopyTreeA / rename at every size: " + ", ".join(fewer))
    return 1 if unverified else 0


def fit_exponent(points):
    """The slope of log(time) against log(items): 1 is linear growth."""
    if len(points) < 2:
        return float("nan")
    xs = [math.log(n) for n, _ in points]
    ys = [math.log(t) for _, t in points]
    mean_x, mean_y = sum(xs) / len(xs), sum(ys) / len(ys)
    return (sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys)) /
            sum((x - mean_x) ** 2 for x in xs))


def settle(bench, machine):
    """A fresh machine starts Wine's services with its first program, which
    keeps the processors busy for a few seconds: that happens before the
    timing, not during it."""
    run_timed(bench, machine, command_line(str(machine.windows_path_of(bench.program("do_nothing")))),
              name="warm-up")
    time.sleep(SETTLE_SECONDS)


def print_value_calls(lines):
    """Where a value's copy spends its time (see time_value_calls in
    programs/registry_move.cpp)."""
    per_call = {}
    for line in lines:
        kind, _, count, total_ms = line.rsplit(",", 3)
        per_call.setdefault(kind, []).append(1000.0 * float(total_ms) / int(count))
    if not per_call:
        return
    print()
    print("where a value's copy spends its time: microseconds per call over one key of %d values (median)"
          % CALL_VALUES)
    cost = {kind: median(values) for kind, values in per_call.items()}
    for kind in ("sizing RegEnumValueW", "new[] and delete[]", "reading RegEnumValueW", "RegSetValueExW"):
        print("  %-24s %7.2f" % (kind, cost.get(kind, float("nan"))))
    patch = sum(cost.get(kind, 0) for kind in
                ("sizing RegEnumValueW", "new[] and delete[]", "reading RegEnumValueW", "RegSetValueExW"))
    reference = cost.get("reading RegEnumValueW", 0) + cost.get("RegSetValueExW", 0)
    print("  per value: the patch's copy (sizing call, allocation, reading call, write) %.2f us;" % patch)
    print("  RegCopyTreeA (buffers sized once per key, reading call, write) %.2f us: ratio %.2f"
          % (reference, patch / reference if reference else float("nan")))


def _as_list(value):
    if value is None:
        return []
    return value if isinstance(value, list) else [value]


if __name__ == "__main__":
    sys.exit(main())
