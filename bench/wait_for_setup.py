#!/usr/bin/env python3
"""Waiting for the disc's setup: the patch's CPU time while it waits for the
setup's mutex, and how soon it notices the mutex, side by side with the
original design (OpenMutexA in a loop with Sleep(0) between attempts).

Each run is a fresh Wine machine with "Kestova 2" installed and the
"Kestova 3" disc in D:, whose setup.exe is setup_stub.exe with a known disc
build's link stamp. The stand-in registers the new title, waits DELAY ms
(the wait window), creates the mutex and then watches its product folder.

  patch     the real kestova-patch.exe runs its whole install stage; the
            disc question is answered Yes at once (stage_timer.exe).
  baseline  wait_baseline.exe starts the same setup the same way and waits
            as the original design did; it notes when it got the mutex.

CPU: read from Linux (/proc/PID/task/*/schedstat, all threads) every 10 ms
for the waiting program and for the wineserver, which carries out every
OpenMutexA; the figure is the CPU used between the two wall-clock instants
the stand-in notes around its delay (interpolated between samples), divided
by that span: the share of one core.

Noticing: both waiters pause 5 s after they have the mutex and then rename
the new title's product folder, which the stand-in watches every 1 ms. So
folder moved - mutex created - 5 s is how long the waiter took to notice
(counted from just before the stand-in's CreateMutexA call, an upper bound),
plus the overshoot of its 5 s sleep and the watch's delay. The baseline
also notes the instant it got the mutex: its observed figure minus that
gives the overshoot, and the patch's figure is given both raw and less the
median overshoot.
"""

import argparse
import sys

from common import (ALTERNATE_PRODUCT_CODE, BENCH_FOLDER, SHARED_PRODUCT_CODE, Bench, CpuSampler,
                    check_timed_run, describe_host, filetime_to_unix_ns, heading, load_average, median,
                    parse_result, prepare_install_stage, run_timed, setup_result, spread)
from harness.kestova import command_line, registration

QUESTION = "Found Kestova 3 in drive D:\\.\n\nInstall Kestova 3?"
PAUSE_MS = 5000
CPU_TARGET = 1.0  # % of one core
NOTICE_TARGET_MS = 100.0


def measure(bench, variant, delay_ms):
    """One run; returns a dict of figures, or {"problems": [...]}."""
    with bench.machine() as machine:
        patch = prepare_install_stage(bench, machine, delay_ms)
        if variant == "patch":
            line, answers, waiter = command_line(patch), ["Yes"], "kestova-patch.exe"
            expected_boxes = [QUESTION]
        else:
            program = BENCH_FOLDER + r"\wait_baseline.exe"
            machine.copy_file(bench.program("wait_baseline"), program)
            line = command_line(program, "D:\\ %s\\baseline-result.txt" % BENCH_FOLDER)
            answers, waiter, expected_boxes = [], "wait_baseline.exe", []
        sampler = CpuSampler(machine.prefix, [waiter, "wineserver"])
        sampler.start()
        try:
            timed = run_timed(bench, machine, line, answers, timeout=90, name=variant)
        finally:
            sampler.stop()
        setup = setup_result(machine)
        problems = check_timed_run(timed, expected_boxes)
        if setup.get("installed") != "1" or setup.get("mutex_error") != "0":
            problems.append("the setup stand-in did not install and signal: %r" % setup)
        if setup.get("folder_moved", "0") == "0":
            problems.append("the product folder was never moved")
        figures = {}
        if variant == "patch":
            new_title = registration(machine, ALTERNATE_PRODUCT_CODE)["title"]
            old_title = registration(machine, SHARED_PRODUCT_CODE)["title"]
            if (new_title, old_title) != ("Kestova 3", "Kestova 2"):
                problems.append("registrations after the stage: alternate %r, shared %r" % (new_title, old_title))
        else:
            baseline = {}
            result_path = BENCH_FOLDER + r"\baseline-result.txt"
            if machine.exists(result_path):
                baseline = parse_result(machine.read_file(result_path).decode("utf-8", "replace"))
            if baseline.get("folder_renamed") != "1" or "noticed" not in baseline:
                problems.append("the baseline did not finish: %r" % baseline)
            else:
                figures["self_ms"] = (filetime_to_unix_ns(baseline["noticed"]) -
                                      filetime_to_unix_ns(setup["before_mutex"])) / 1e6
                figures["attempts"] = int(baseline["attempts"])
        if problems:
            return {"problems": problems}

        start = filetime_to_unix_ns(setup["registered"])
        end = filetime_to_unix_ns(setup["before_mutex"])
        window_ms = (end - start) / 1e6
        for name, key in ((waiter, "cpu"), ("wineserver", "server_cpu")):
            used = sampler.cpu_between(name, start, end)
            if used is None:
                return {"problems": ["no CPU samples of %s across the wait window" % name]}
            figures[key + "_ms"] = used / 1e6
            figures[key + "_pct"] = 100.0 * used / (end - start)
        figures["window_ms"] = window_ms
        figures["observed_ms"] = (filetime_to_unix_ns(setup["folder_moved"]) -
                                  filetime_to_unix_ns(setup["before_mutex"])) / 1e6 - PAUSE_MS
        return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default="build/bench-win")
    parser.add_argument("--work-dir", default="build/bench-wine/work")
    parser.add_argument("--runs", type=int, default=5, help="runs of each waiter")
    parser.add_argument("--delay-ms", type=int, default=3000, help="how long the setup takes to signal")
    args = parser.parse_args()
    bench = Bench(args.build_dir, args.work_dir)

    heading("Waiting for the disc's setup (under Wine)")
    print("machine: " + describe_host())
    print("setup signals %d ms after it starts; %d runs of each waiter, alternating; load average %s"
          % (args.delay_ms, args.runs, load_average()))
    results = {"patch": [], "baseline": []}
    invalid = 0
    for run in range(args.runs):
        for variant in ("patch", "baseline"):
            figures = measure(bench, variant, args.delay_ms)
            if "problems" in figures:
                invalid += 1
                print("  run %d %-8s INVALID: %s" % (run + 1, variant, "; ".join(figures["problems"])))
                continue
            results[variant].append(figures)
            extra = ""
            if variant == "baseline":
                extra = ", its own note %.2f ms (%d attempts)" % (figures["self_ms"],
                                                                                 figures["attempts"])
            print("  run %d %-8s CPU %6.1f ms in %6.0f ms = %6.2f%% of a core, wineserver %6.2f%%; "
                  "noticed (observed) %6.1f ms%s"
                  % (run + 1, variant, figures["cpu_ms"], figures["window_ms"], figures["cpu_pct"],
                     figures["server_cpu_pct"], figures["observed_ms"], extra))

    patch, baseline = results["patch"], results["baseline"]
    if not patch or not baseline:
        print("no valid runs of %s" % ("the patch" if not patch else "the baseline"))
        return 1
    overshoot = [f["observed_ms"] - f["self_ms"] for f in baseline]
    correction = median(overshoot)
    corrected = [f["observed_ms"] - correction for f in patch]
    print()
    print("                          patch                      original design (baseline)")
    print("CPU while waiting, %%    %-26s %s" % (spread([f["cpu_pct"] for f in patch], "", 2),
                                                 spread([f["cpu_pct"] for f in baseline], "", 1)))
    print("wineserver CPU, %%       %-26s %s" % (spread([f["server_cpu_pct"] for f in patch], "", 2),
                                                 spread([f["server_cpu_pct"] for f in baseline], "", 1)))
    print("noticed after, ms       %-26s %s" % (spread([f["observed_ms"] for f in patch], "", 1),
                                                 spread([f["self_ms"] for f in baseline], "", 2)))
    print("(patch: observed through its first visible step; baseline: its own note. The same observation of")
    print(" the baseline overshoots its own note by %s ms; less that median, the patch noticed after %s ms.)"
          % (spread(overshoot, "", 1), spread(corrected, "", 1)))
    cpu_ratio = median([f["cpu_pct"] for f in baseline]) / max(median([f["cpu_pct"] for f in patch]), 1e-9)
    print("baseline / patch CPU: %.0f x" % cpu_ratio)
    worst_cpu = max(f["cpu_pct"] for f in patch)
    worst_notice = max(f["observed_ms"] for f in patch)
    print("targets: CPU under %.0f%% of a core: %s (worst run %.2f%%); noticed within %.0f ms: %s "
          "(worst run %.1f ms observed, uncorrected)"
          % (CPU_TARGET, "met" if worst_cpu < CPU_TARGET else "NOT met", worst_cpu, NOTICE_TARGET_MS,
             "met" if worst_notice < NOTICE_TARGET_MS else "NOT met", worst_notice))
    return 1 if invalid else 0


if __name__ == "__main__":
    sys.exit(main())
