#!/usr/bin/env python3
"""The time of a whole install stage under Wine, against a do-nothing Windows
program started the same way.

Each run is a fresh Wine machine with "Kestova 2" installed and the
"Kestova 3" disc in D:, whose setup.exe (setup_stub.exe with a known disc
build's link stamp) registers the new title, signals at once and ends
LINGER_MS later (it holds the mutex until it ends; the patch looks for it
every 50 ms, and a setup that ended sooner would take its signal with it).
On that machine the benchmark first starts setup_stub.exe in watch mode
(outside the setup's chain, which the patch waits for), then
stage_timer.exe starts do_nothing.exe, then the patch, which runs its
install stage from start to end: detection, parking, the disc question
(answered Yes within a millisecond), the DirectX check, the setup, the wait
for its mutex and then for the end of its chain, the 5 s pause that the
patch keeps after that, the three moves, the shortcut, the redirection and
the cache purge.

The 5 s pause is part of the product and cannot be left out, so it is
subtracted; so is the setup stand-in's run time: from its start to its
signal (its own process start-up and registration, measured by itself),
and from its signal to its end as the watcher sees it (the moment its
process ends, which is what the patch waits for; it includes Wine's
ending of the process after the stand-in's last note). Both belong to the
disc's setup and not to the patch. What remains is the patch's own time,
which still includes its start and end as a process: the do-nothing
program shows what that costs. The watcher also sees the patch's first
visible step after the pause (the product folder renamed), which splits
the stage into its phases.
"""

import argparse
import sys

from common import (Bench, Watcher, check_timed_run, describe_host, filetime_to_unix_ns, heading, load_average,
                    median, prepare_install_stage, run_timed, setup_result, spread)
from harness.kestova import ALTERNATE_PRODUCT_CODE, SHARED_PRODUCT_CODE, command_line, registration

QUESTION = "Found Kestova 3 in drive D:\\.\n\nInstall Kestova 3?"
PAUSE_MS = 5000
# How long the setup stand-in goes on after its signal: long enough for the
# patch's mutex polling to see the signal on a slow host.
LINGER_MS = 500
# The patch's own time (the stage less the pause and the setup's run time).
OWN_TIME_TARGET_MS = 500


def measure(bench):
    with bench.machine() as machine:
        patch = prepare_install_stage(bench, machine, delay_ms=0, linger_ms=LINGER_MS)
        watcher = Watcher(bench, machine)
        problems = watcher.start()
        if problems:
            return {"problems": problems}
        nothing = run_timed(bench, machine, command_line(str(machine.windows_path_of(bench.program("do_nothing")))),
                            name="do-nothing")
        stage = run_timed(bench, machine, command_line(patch), ["Yes"], timeout=90, name="stage")
        watch = watcher.finish()
        setup = setup_result(machine)
        problems = check_timed_run(nothing, []) + check_timed_run(stage, [QUESTION]) + Watcher.problems(watch)
        if (setup.get("installed") != "1" or setup.get("mutex_error") != "0" or "process_created" not in setup
                or "ending" not in setup):
            problems.append("the setup stand-in did not install, signal and end: %r" % setup)
        titles = (registration(machine, ALTERNATE_PRODUCT_CODE)["title"],
                  registration(machine, SHARED_PRODUCT_CODE)["title"])
        if titles != ("Kestova 3", "Kestova 2"):
            problems.append("registrations after the stage: alternate %r, shared %r" % titles)
        if problems:
            return {"problems": problems}
        total = float(stage["total_ms"])

        def at(value):  # ms since the stage started
            return (filetime_to_unix_ns(value) - filetime_to_unix_ns(stage["started"])) / 1e6

        asked = stage["box_list"][0]["seen_ms"]
        setup_started, signalled = at(setup["process_created"]), at(setup["mutex_created"])
        last_note, ended = at(setup["ending"]), at(watch["setup_ended"])
        moved = at(watch["folder_moved"])
        setup_ms = (signalled - setup_started) + (ended - signalled)
        return {
            "nothing_ms": float(nothing["total_ms"]),
            "total_ms": total,
            "without_pause_ms": total - PAUSE_MS,
            "to_signal_ms": signalled - setup_started,
            "after_signal_ms": ended - signalled,
            "to_last_note_ms": last_note - signalled,
            "setup_ms": setup_ms,
            "own_ms": total - PAUSE_MS - setup_ms,
            # The stage's phases, which add up to the stage less the pause.
            "to_question_ms": asked,
            "to_setup_ms": setup_started - asked,
            "noticed_ms": moved - ended - PAUSE_MS,
            "after_pause_ms": total - moved,
        }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default="build/bench-win")
    parser.add_argument("--work-dir", default="build/bench-wine/work")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    bench = Bench(args.build_dir, args.work_dir)

    heading("A whole install stage (under Wine)")
    print("machine: " + describe_host())
    print("%d runs, each on a fresh machine: do_nothing.exe, then the patch; load average %s"
          % (args.runs, load_average()))
    runs, invalid = [], 0
    for number in range(args.runs):
        figures = measure(bench)
        if "problems" in figures:
            invalid += 1
            print("  run %d INVALID: %s" % (number + 1, "; ".join(figures["problems"])))
            continue
        runs.append(figures)
        print("  run %d do-nothing %6.1f ms; stage %7.1f ms, less the 5 s pause %6.1f ms, less the setup's %6.1f ms"
              " (%5.1f to its signal, %5.1f after it) = %6.1f ms"
              % (number + 1, figures["nothing_ms"], figures["total_ms"], figures["without_pause_ms"],
                 figures["setup_ms"], figures["to_signal_ms"], figures["after_signal_ms"], figures["own_ms"]))
    if not runs:
        return 1

    def column(key):
        return [run[key] for run in runs]

    print()
    print("median (min .. max), ms")
    print("  do-nothing program, start to end            %s" % spread(column("nothing_ms")))
    print("  install stage, start to end                 %s" % spread(column("total_ms")))
    print("  install stage less the 5 s pause            %s" % spread(column("without_pause_ms")))
    print("  the setup stand-in, its start to its signal %s" % spread(column("to_signal_ms")))
    print("  the setup stand-in, its signal to its end   %s" % spread(column("after_signal_ms")))
    print("    of which to its last note                 %s" % spread(column("to_last_note_ms")))
    print("  the patch's own time (both taken off)       %s" % spread(column("own_ms")))
    print("  where the stage less the pause goes:")
    print("    start, detection, parking, disc scan, until the question  %s" % spread(column("to_question_ms")))
    print("    after the answer: DirectX check, until the setup starts   %s" % spread(column("to_setup_ms")))
    print("    the setup stand-in, its start to its signal               %s" % spread(column("to_signal_ms")))
    print("    the setup stand-in, its signal to its end                 %s" % spread(column("after_signal_ms")))
    print("    noticing the end (seen through the first move)            %s" % spread(column("noticed_ms")))
    print("    after the pause: moves, shortcut, redirection, purge, end %s" % spread(column("after_pause_ms")))
    own, nothing = median(column("own_ms")), median(column("nothing_ms"))
    print("  patch's own time / do-nothing: %.1f x; beyond starting and ending a process: %.0f ms"
          % (own / nothing, own - nothing))
    print("target (the patch's own time under %d ms): %s" % (
        OWN_TIME_TARGET_MS, "met" if own < OWN_TIME_TARGET_MS else "NOT met"))
    return 1 if invalid else 0


if __name__ == "__main__":
    sys.exit(main())
