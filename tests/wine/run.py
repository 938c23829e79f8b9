#!/usr/bin/env python3
"""Runs the end-to-end scenarios of the patch under Wine.

  run.py list                      the scenarios, one per line
  run.py run [NAME...]             runs the scenarios (all without NAME)
  run.py template                  only makes the template prefix
  run.py exec -- PROGRAM [ARG...]  runs a Windows program (a Unix path) on
                                   a fresh machine and returns its exit code

Options: --build-dir DIR (the windows build: kestova-patch.exe and
tests/wine/helpers), --helpers-dir DIR, --work-dir DIR (template and
machines; a temporary folder, removed afterwards, when not given),
--keep (keep the machines), --verbose.
"""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness.prefix import WineUnavailable  # noqa: E402
from harness.scenario import Runner, Tools, all_scenarios  # noqa: E402


def parse_arguments():
    parser = argparse.ArgumentParser(description="End-to-end scenarios of the patch under Wine.")
    parser.add_argument("command", choices=["list", "run", "template", "exec"])
    parser.add_argument("names", nargs="*")
    parser.add_argument("--build-dir", default="build/e2e-win")
    parser.add_argument("--helpers-dir")
    parser.add_argument("--work-dir")
    parser.add_argument("--keep", action="store_true")
    parser.add_argument("--verbose", action="store_true")
    return parser.parse_intermixed_args()


def select(names):
    scenarios = all_scenarios()
    if not names:
        return scenarios
    by_name = {item.name: item for item in scenarios}
    unknown = [name for name in names if name not in by_name]
    if unknown:
        sys.exit("unknown scenario: " + ", ".join(unknown))
    return [by_name[name] for name in names]


def run_scenarios(runner, names):
    passed, failed = runner.run(select(names))
    print("wine scenarios: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


def exec_program(runner, arguments):
    """Runs a Windows program on a fresh machine, passing its output through."""
    if not arguments:
        sys.exit("exec: no program given")
    with runner.machine() as machine:
        completed = subprocess.run(["wine", *arguments], env=machine.env)
    return completed.returncode


def main():
    args = parse_arguments()
    if args.command == "list":
        for item in all_scenarios():
            print(item.name)
        return 0
    temporary = args.work_dir is None
    work_dir = Path(args.work_dir or tempfile.mkdtemp(prefix="kestova-wine-"))
    runner = Runner(Tools(args.build_dir, args.helpers_dir), work_dir, keep=args.keep, verbose=args.verbose)
    try:
        if args.command == "template":
            runner.prepare()
            return 0
        if args.command == "exec":
            return exec_program(runner, args.names)
        return run_scenarios(runner, args.names)
    finally:
        if temporary and not args.keep:
            runner.remove_work_dir()


if __name__ == "__main__":
    try:
        sys.exit(main())
    except WineUnavailable as error:
        sys.exit("%s: %s" % (Path(sys.argv[0]).name, error))
