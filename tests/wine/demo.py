#!/usr/bin/env python3
"""The patch at work on throwaway Wine machines: each story (tests/wine/
stories) sets up a machine, runs the patch, answering its message boxes as a
user would, and prints every box and the registrations before and after.

  demo.py [--build-dir DIR] [--list] [STORY...]

Exits with 1 when a run did not go as its story says.
"""

import argparse
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness.kestova import PATCH_LOG, patch_log_lines  # noqa: E402
from harness.prefix import WineUnavailable  # noqa: E402
from harness.scenario import Runner, Tools  # noqa: E402
from harness.story import Demo, all_stories  # noqa: E402


def parse_arguments():
    parser = argparse.ArgumentParser(description="The patch at work on throwaway Wine machines.")
    parser.add_argument("stories", nargs="*")
    parser.add_argument("--build-dir", default="build/e2e-win")
    parser.add_argument("--list", action="store_true")
    return parser.parse_args()


def select(names):
    stories = all_stories()
    by_name = {item.name: item for item in stories}
    unknown = [name for name in names if name not in by_name]
    if unknown:
        sys.exit("unknown story: " + ", ".join(unknown) + " (see --list)")
    return [by_name[name] for name in names] if names else stories


def tell(runner, item):
    print("=" * 100)
    print(item.title)
    print("=" * 100)
    with runner.machine() as machine:
        demo = Demo(machine, runner.tools)
        item.function(demo)
        show_log(machine)
    print("")
    for problem in demo.problems:
        print("PROBLEM: " + problem)
    return not demo.problems


def show_log(machine):
    """The patch's log after the story: what a user would send to someone
    helping them."""
    lines = patch_log_lines(machine)
    print("")
    print("The patch's log (%s), without its time stamps:" % PATCH_LOG)
    for line in lines or ["(no log)"]:
        print("  " + line)


def main():
    args = parse_arguments()
    if args.list:
        for item in all_stories():
            print("%-30s %s" % (item.name, item.title))
        return 0
    stories = select(args.stories)
    tools = Tools(args.build_dir)
    missing = tools.missing(needs_patch=True)
    if missing:
        sys.exit("not built: " + ", ".join(missing))
    runner = Runner(tools, tempfile.mkdtemp(prefix="kestova-demo-"))
    try:
        print("Making a fresh Windows machine under Wine (about half a minute)...")
        runner.prepare()
        results = [tell(runner, item) for item in stories]
    finally:
        runner.remove_work_dir()
    print("=" * 100)
    print("%d of %d stories went as told." % (sum(results), len(results)))
    return 0 if all(results) else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except WineUnavailable as error:
        sys.exit("%s: %s" % (Path(sys.argv[0]).name, error))
