"""Stories for the demo: the patch at work, told step by step.

A story is a function in a module under tests/wine/stories, marked with
@story. It gets a Demo: a fresh machine (demo.machine), the built programs
(demo.tools), and steps that print as they go: demo.say(text),
demo.show_registrations(heading) and demo.run_patch(arguments, answers),
which prints every message box and the answer given to it.
"""

import importlib
import pkgutil
from pathlib import Path

from .kestova import describe_registrations, run_patch

_STORIES = []


class Story:
    def __init__(self, function):
        self.function = function
        self.name = function.__name__
        self.title = (function.__doc__ or function.__name__).strip().split("\n")[0]


def story(function):
    _STORIES.append(Story(function))
    return function


def all_stories():
    if not _STORIES:
        package = Path(__file__).resolve().parent.parent / "stories"
        for module in sorted(info.name for info in pkgutil.iter_modules([str(package)])):
            importlib.import_module("stories." + module)
    return list(_STORIES)


class Demo:
    def __init__(self, machine, tools, out=print):
        self.machine = machine
        self.tools = tools
        self.out = out
        self.problems = []

    def say(self, text):
        self.out("")
        for line in text.strip().split("\n"):
            self.out(line)

    def show_registrations(self, heading):
        self.out("")
        self.out(heading + ":")
        for line in describe_registrations(self.machine):
            self.out(line)

    def run_patch(self, arguments="", answers=(), **options):
        """Runs the patch, answering its boxes from ANSWERS (a list of Box);
        a box that differs from them is reported as a problem."""
        run = run_patch(self, arguments, answers, **options)
        self.out("")
        for line in run.describe():
            self.out(line)
        if not run.passed:
            self.problems.append("the run of %r did not go as scripted" % run.command_line)
        if run.exit_code != 0:
            self.problems.append("the run of %r ended with exit code %r" % (run.command_line, run.exit_code))
        return run
