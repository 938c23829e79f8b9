"""Scenarios: their registry, the checks they make and the runner.

A scenario is a function in a module under tests/wine/scenarios, marked with
@scenario. It gets a Test: a fresh machine (t.machine), the built programs
(t.tools) and checks (t.expect, t.expect_equal, t.expect_run). Each check
that fails is recorded and the scenario goes on, so one run reports every
difference; an exception ends the scenario as failed.
"""

import importlib
import pkgutil
import shutil
import time
import traceback
from pathlib import Path

from .display import ensure_display
from .kestova import PATCH_LOG, patch_log_lines
from .machine import Machine
from .prefix import Template

_SCENARIOS = []


# How much of the patch's log a failed scenario shows.
LOG_TAIL_LINES = 40


def note_log_tail(test, machine):
    """Shows the end of the patch's log with a failed scenario's result: it
    tells what the runs did, in order."""
    try:
        lines = patch_log_lines(machine)
    except OSError as error:
        test.note("the patch's log could not be read: %s" % error)
        return
    if not lines:
        test.note("the patch wrote no log")
        return
    test.note("the end of the patch's log (%s):" % PATCH_LOG)
    for line in lines[-LOG_TAIL_LINES:]:
        test.note("  " + line)


class Scenario:
    def __init__(self, function, needs_patch):
        self.function = function
        self.name = function.__name__
        self.description = (function.__doc__ or "").strip().split("\n")[0]
        self.needs_patch = needs_patch


def scenario(function=None, *, needs_patch=True):
    """Registers a scenario. Scenarios that test the harness itself say
    needs_patch=False, so they run before the patch is built."""

    def register(f):
        _SCENARIOS.append(Scenario(f, needs_patch))
        return f

    return register(function) if function is not None else register


def all_scenarios():
    """Every scenario, in the order of the modules' names and of their
    definitions."""
    if not _SCENARIOS:
        package = Path(__file__).resolve().parent.parent / "scenarios"
        for module in sorted(info.name for info in pkgutil.iter_modules([str(package)])):
            importlib.import_module("scenarios." + module)
    return list(_SCENARIOS)


class Tools:
    """The built Windows programs: the patch and the harness's helpers."""

    def __init__(self, build_dir, helpers_dir=None):
        self.build_dir = Path(build_dir).resolve()
        helpers = Path(helpers_dir).resolve() if helpers_dir else self.build_dir / "tests" / "wine" / "helpers"
        self.patch = self.build_dir / "kestova-patch.exe"
        # The crash-test build of the same sources (harness/crash.py).
        self.crash_patch = self.build_dir / "kestova-patch-crashtest.exe"
        self.player = helpers / "player.exe"
        self.probe = helpers / "probe.exe"
        self.boxes = helpers / "boxes.exe"

    def missing(self, needs_patch):
        wanted = [self.player, self.probe, self.boxes] + ([self.patch] if needs_patch else [])
        return [str(path) for path in wanted if not path.exists()]


class Test:
    """What a scenario works with: its machine, the tools and the checks."""

    def __init__(self, machine, tools):
        self.machine = machine
        self.tools = tools
        self.failures = []
        self.notes = []

    def note(self, *lines):
        """Lines shown with the scenario's result when it fails (or with
        --verbose), such as the runs' message boxes."""
        self.notes.extend(lines)

    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
        return bool(condition)

    def expect_equal(self, actual, expected, what):
        return self.expect(actual == expected, "%s: expected %r, got %r" % (what, expected, actual))

    def expect_run(self, run, passed=True, exit_code=0):
        """Checks the player's verdict (every box as the script said, in
        time; or, with passed=False, that the player failed the run) and the
        program's exit code (None: not checked), and keeps the run's record
        as a note."""
        self.note(*run.describe())
        self.expect(run.started, "the program did not start: %s" % run.command_line)
        if passed:
            self.expect(not run.timed_out, "the run timed out: %s" % run.command_line)
            self.expect(run.passed, "the boxes were not as scripted: %s" % run.command_line)
        else:
            self.expect(not run.passed, "the player passed a run that should fail: %s" % run.command_line)
        if exit_code is not None:
            self.expect_equal(run.exit_code, exit_code, "exit code of " + run.command_line)


class Runner:
    """Runs scenarios, each on a fresh machine copied from one template."""

    def __init__(self, tools, work_dir, keep=False, verbose=False, out=print):
        self.tools = tools
        self.work_dir = Path(work_dir)
        self.keep = keep
        self.verbose = verbose
        self.out = out
        self._display = None
        self._template = None

    def prepare(self):
        if self._template is None:
            self._display = ensure_display()
            started = time.monotonic()
            self._template = Template(self.work_dir).ensure(self._display)
            if self.verbose:
                self.out("template prefix ready in %.1f s" % (time.monotonic() - started))
        return self._template

    def machine(self):
        self.prepare()
        machines = self.work_dir / "machines"
        machines.mkdir(parents=True, exist_ok=True)
        return Machine(self._template, self.tools, self._display, machines, keep=self.keep)

    def run_one(self, item):
        started = time.monotonic()
        missing = self.tools.missing(item.needs_patch)
        if missing:
            failures, notes = ["not built: " + ", ".join(missing)], []
        else:
            failures, notes = self._execute(item)
        seconds = time.monotonic() - started
        verdict = "PASS" if not failures else "FAIL"
        self.out("%s  %s  (%.1f s)  %s" % (verdict, item.name, seconds, item.description))
        if failures or self.verbose:
            for line in notes:
                self.out("      " + line)
            for failure in failures:
                self.out("    - " + failure)
        return not failures

    def _execute(self, item):
        try:
            with self.machine() as machine:
                test = Test(machine, self.tools)
                try:
                    item.function(test)
                except Exception:
                    test.failures.append("exception:\n" + traceback.format_exc().rstrip())
                if test.failures:
                    note_log_tail(test, machine)
                if self.keep:
                    test.note("machine kept in " + str(machine.root))
                return test.failures, test.notes
        except Exception:
            return ["the machine could not be set up:\n" + traceback.format_exc().rstrip()], []

    def run(self, items):
        passed = failed = 0
        for item in items:
            if self.run_one(item):
                passed += 1
            else:
                failed += 1
        return passed, failed

    def remove_work_dir(self):
        shutil.rmtree(self.work_dir, ignore_errors=True)
