#!/usr/bin/env python3
"""The crash matrix under Wine (see harness/crash.py): the crash-test build
of the patch stopped after every change a stage makes, on one kind of
machine (KESTOVA_WINE_ARCH: win64, the default, or win32).

  crash_matrix.py [--columns kill,power] [--states NAME,...] [--sample]
                  [--after N[,N...]] [--jobs 2] [--build-dir DIR] [--work-dir DIR]
                  [--results FILE] [--verbose]

Without --sample every cell runs: for each start state and column, N = 0
(stopped before its first change) up to the stage's last change less one
(the dry run of the crash-test build counts the changes). With --sample only
this kind of machine's share of the test command's sample, in the kill
column: each stage stopped once right after each change from its first
folder move (its first SHFileOperationA) to its end, spread over the start
states and kinds of machine of crash.SAMPLE_SLOTS. The start states are made
once and kept in the work folder for the next runs, as long as the programs
they hold have not changed.

Prints one line per cell and a summary, and ends with "N passed, N failed"
(cells; a start state or dry run that cannot be made counts as a failure).
"""

import argparse
import hashlib
import json
import queue
import statistics
import sys
import threading
import time
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness import crash  # noqa: E402
from harness.prefix import WINE_ARCH, WineUnavailable, wine_version  # noqa: E402
from harness.scenario import Runner, Test, Tools  # noqa: E402
from harness.swap import helper  # noqa: E402


def parse_arguments():
    parser = argparse.ArgumentParser(description="The crash matrix of the patch under Wine.")
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--work-dir")
    parser.add_argument("--columns", default="kill,power")
    parser.add_argument("--states", default=",".join(state.name for state in crash.STATES))
    parser.add_argument("--sample", action="store_true")
    parser.add_argument("--after", help="only these N (comma-separated)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--results", help="a file for one JSON line per cell")
    parser.add_argument("--verbose", action="store_true")
    return parser.parse_args()


def programs_stamp(tools):
    """What a saved state depends on: the programs copied into it."""
    digest = hashlib.sha1()
    for path in (tools.crash_patch, helper(tools, "disc_setup.exe"), helper(tools, "maintenance.exe")):
        digest.update(path.read_bytes())
    return "%s %s %s" % (digest.hexdigest(), wine_version(), WINE_ARCH)


def state_chains(states):
    """The chains of start states to make for STATES: each begins with a
    state made from scratch, and each later one is made from the one
    before it on the same machine."""
    needed = set()
    for state in states:
        while state is not None and state.name not in needed:
            needed.add(state.name)
            state = crash.STATES_BY_NAME.get(state.parent)
    chains = []
    for root in crash.STATES:
        if root.parent is None and root.name in needed:
            chain = [root]
            for state in crash.STATES:
                if state.parent == chain[-1].name and state.name in needed:
                    chain.append(state)
            chains.append(chain)
    return chains


def make_chain(runner, chain, work_dir, stamp, out):
    """Makes and saves the start states of CHAIN, or loads them when they
    are saved already for these programs; {name: SavedState or None}."""
    saved = {state.name: crash.SavedState(state, work_dir / "states" / state.name) for state in chain}
    if all(each.ready and (each.directory / "stamp").exists() and (each.directory / "stamp").read_text() == stamp
           for each in saved.values()):
        return {name: each.load() for name, each in saved.items()}
    made = {state.name: None for state in chain}
    with runner.machine() as machine:
        meta = None
        for state in chain:
            started = time.monotonic()
            t = Test(machine, runner.tools)
            try:
                meta = state.make(t, meta)
            except Exception:
                meta = None
                t.failures.append(traceback.format_exc())
            if meta is None:
                out("FAIL  start state %s could not be made:" % state.name)
                for line in t.notes + t.failures:
                    out("      " + line)
                return made
            saved[state.name].save(machine, runner.tools, meta)
            (saved[state.name].directory / "stamp").write_text(stamp)
            made[state.name] = saved[state.name]
            out("      start state %s made in %.0f s" % (state.name, time.monotonic() - started))
    return made


def main():
    args = parse_arguments()
    columns = [column for column in args.columns.split(",") if column]
    if any(column not in crash.COLUMNS for column in columns):
        sys.exit("columns: kill, power")
    states = [crash.STATES_BY_NAME[name] for name in args.states.split(",") if name]
    if args.sample:
        states = [state for state in crash.sample_states(WINE_ARCH) if state in states]
    work_dir = Path(args.work_dir or "build/crash-matrix/" + WINE_ARCH).resolve()
    tools = Tools(args.build_dir)
    if not tools.crash_patch.exists():
        sys.exit("not built: %s (cmake --build with the windows preset)" % tools.crash_patch)
    runner = Runner(tools, work_dir)
    lock = threading.Lock()
    results_file = open(args.results, "a") if args.results else None

    def out(line):
        with lock:
            print(line, flush=True)

    started = time.monotonic()
    runner.prepare()
    stamp = programs_stamp(tools)
    failed_setup = 0

    # The start states, a chain on each worker at once.
    saved_states = {}
    pending = queue.Queue()
    for chain in state_chains(states):
        pending.put(chain)

    def make_chains():
        while True:
            try:
                chain = pending.get_nowait()
            except queue.Empty:
                return
            saved_states.update(make_chain(runner, chain, work_dir, stamp, out))

    threads = [threading.Thread(target=make_chains) for _ in range(max(1, args.jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    workers = [crash.Worker(runner) for _ in range(max(1, args.jobs))]
    try:
        # The dry runs: how many changes each stage makes.
        dry_runs = {}
        pending = queue.Queue()
        for state in states:
            if saved_states.get(state.name) is None:
                failed_setup += 1
            else:
                pending.put(saved_states[state.name])

        def dry_run(worker):
            while True:
                try:
                    saved = pending.get_nowait()
                except queue.Empty:
                    return
                dry_started = time.monotonic()
                try:
                    changes, t = worker.dry_run(saved)
                except Exception:
                    changes, t = [], Test(worker.machine, tools)
                    t.failures.append(traceback.format_exc())
                dry_runs[saved.state.name] = (changes, t, time.monotonic() - dry_started)

        run_on_workers(workers, dry_run)
        plans = []
        for state in states:
            if state.name not in dry_runs:
                continue
            saved = saved_states[state.name]
            changes, t, seconds = dry_runs[state.name]
            if t.failures or not changes:
                failed_setup += 1
                out("FAIL  dry run of %s:" % state.name)
                for line in t.notes + t.failures:
                    out("      " + line)
                continue
            saved.changes = changes
            first = crash.first_folder_move(changes)
            out("      %s: %d changes, the first folder move is change %d (dry run %.0f s)" %
                (state.name, len(changes), first, seconds))
            if args.verbose:
                out("      " + " ".join("%d:%s" % change for change in changes))
            numbers = crash.sample_numbers(state.name, changes, WINE_ARCH) if args.sample else range(len(changes))
            if args.after:
                wanted = {int(n) for n in args.after.split(",")}
                numbers = [n for n in numbers if n in wanted]
            for column in (["kill"] if args.sample else columns):
                plans.extend((saved, column, n) for n in numbers)

        # The cells, on every worker at once.
        cells = queue.Queue()
        for plan in plans:
            cells.put(plan)
        results = []

        def work(worker):
            while True:
                try:
                    saved, column, after = cells.get_nowait()
                except queue.Empty:
                    return
                try:
                    result = worker.run_cell(saved, column, after)
                except Exception as error:
                    result = {"state": saved.state.name, "column": column, "after": after, "stop": None,
                              "whole": False, "problems": [cell_not_run(error)], "notes": [], "seconds": None}
                result["arch"] = WINE_ARCH
                with lock:
                    results.append(result)
                    if results_file:
                        results_file.write(json.dumps(result) + "\n")
                        results_file.flush()
                verdict = "PASS" if result["whole"] else "FAIL"
                out("%s  %s %s %s after=%d stop=%s (%s s)" % (verdict, WINE_ARCH, result["state"], column, after,
                                                           result["stop"], result["seconds"]))
                if not result["whole"] or args.verbose:
                    out("      phases: %r" % result.get("phases"))
                    for line in result["notes"]:
                        out("      " + line)
                    for problem in result["problems"]:
                        out("    - " + problem)

        run_on_workers(workers, work)
    finally:
        for worker in workers:
            worker.close()
        if results_file:
            results_file.close()

    elapsed = time.monotonic() - started
    summarize(results, elapsed, out)
    passed = sum(1 for result in results if result["whole"])
    failed = len(results) - passed + failed_setup
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


def cell_not_run(error):
    """The problem of a cell that could not be run: what went wrong on its
    first line (the line a summary shows), then all of it (what the
    machine's processes were doing, the traceback)."""
    text = str(error).strip()
    first = text.splitlines()[0] if text else ""
    return "the cell could not be run: %s: %s\n%s" % (type(error).__name__, first, traceback.format_exc())


def run_on_workers(workers, function):
    """FUNCTION(worker) on every worker at once, in threads of their own."""
    threads = [threading.Thread(target=function, args=(worker,)) for worker in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def summarize(results, elapsed, out):
    out("")
    out("crash matrix under Wine (%s), %d cells in %.0f s on %s" % (WINE_ARCH, len(results), elapsed,
                                                                    wine_version()))
    for column in crash.COLUMNS:
        for state in crash.STATES:
            cells = [r for r in results if r["column"] == column and r["state"] == state.name]
            if not cells:
                continue
            seconds = [r["seconds"] for r in cells if r["seconds"] is not None]
            out("  %-6s %-28s %4d cells, %4d whole, %.1f s per cell (median %.1f)" % (
                column, state.name, len(cells), sum(1 for r in cells if r["whole"]),
                sum(seconds) / max(1, len(seconds)), statistics.median(seconds) if seconds else 0))


if __name__ == "__main__":
    try:
        sys.exit(main())
    except WineUnavailable as error:
        sys.exit("crash_matrix.py: %s" % error)
