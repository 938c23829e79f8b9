#!/usr/bin/env python3
"""Pictures of the patch's message boxes for the Windows user's guide.

  screenshots.py --list                 the boxes it captures, one name a line
  screenshots.py --out DIR [--build-dir DIR] [--work-dir DIR]

It plays the stories a user meets on throwaway Wine machines (the harness of
run.py) and saves each box as DIR/NAME.png, cropped to the box, with an
8-bit palette. Every box it captures is scripted to be answered only once a
marker file exists: the box stays up while it is found on the X display and
captured, and the marker then lets the player answer it. Exits with 1 and
names the boxes that were not captured.

Wine runs unmanaged windows here (the harness's template sets that), so a
box is an X window of its own at its place on the screen, with the caption
bar that Wine draws itself, and nothing else lies on it.
"""

import argparse
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from harness.kestova import (ALTERNATE_PRODUCT_CODE, NOT_INSTALLED, PATCH_CAPTION, PATCH_FILE_NAME,  # noqa: E402
                             SHARED_PRODUCT_CODE, install_patch, product_folder, run_patch)
from harness.player import Box  # noqa: E402
from harness.prefix import WineUnavailable  # noqa: E402
from harness.scenario import Runner, Tools  # noqa: E402
from harness.swap import (KNOWN_SETUP_STAMPS, TEMPORARY_COPY, WAIT_FOR_UNINSTALL, directx_question,  # noqa: E402
                          disc_question, insert_game_disc, install_from_disc, remove_through_add_remove_programs,
                          without_directx_9)
from scenarios.interruptions import (ALREADY_RUNNING, EARLIER_AT_WORK, PUT_RIGHT, RUN_ONCE_KEY,  # noqa: E402
                                     RUN_ONCE_VALUE, Background, display_name, kill, wait_until)
from scenarios.program_chains import MUTEX_TAKEN, STILL_RUNNING, start_configuration_program  # noqa: E402

# The pictures, in the order the stories capture them, with what each shows.
BOXES = {
    "fatal-error": "an error that stops the patch (no title installed)",
    "disc-question": "the other title's disc found: install from it?",
    "another-program-running": "the setup's signal already taken by another program (Retry/Cancel)",
    "earlier-run-at-work": "a setup that an earlier run started is still at work",
    "put-right": "what an interrupted run left has been put right",
    "uninstall-wait": "the uninstall stage waits for the title's uninstaller",
    "already-running": "a second copy of the patch while the first waits",
    "uninstall-still-running": "OK clicked while the uninstaller still runs (Retry/Cancel)",
    "directx-question": "DirectX older than 9.0: install DirectX 9?",
}

# How long a box may take to come up, and a run to end (seconds); the
# emulated 32-bit Wine of a busy host needs tens of seconds for what takes
# one elsewhere.
BOX_TIMEOUT = 240
RUN_TIMEOUT = 300


class Camera:
    """Finds the message boxes on the machine's X display and saves them."""

    def __init__(self, machine, out_dir, marker_dir, log=print):
        self.machine = machine
        self.display = machine.env["DISPLAY"]
        self.out_dir = Path(out_dir)
        self.marker_dir = Path(marker_dir)
        self.log = log
        self.captured = []
        self.seen = set()

    def marker(self, name):
        """The Windows path of the file that releases the box NAME."""
        return self.machine.windows_path_of(self.marker_dir / (name + ".captured"))

    def release(self, name):
        (self.marker_dir / (name + ".captured")).write_text(name)

    def _x(self, *args):
        return subprocess.run([*args, "-display", self.display], capture_output=True, text=True,
                              timeout=30).stdout

    def windows(self):
        """The viewable top-level X windows: {"ID/PID": (name, x, y, width,
        height)}, PID being the owner's Linux process."""
        found = {}
        for line in self._x("xwininfo", "-root", "-children").splitlines():
            # 0xe00001 "Caption": ("program.exe" "program.exe")  245x114+389+327  +389+327
            match = re.match(r'\s*(0x[0-9a-f]+) (?:"(.*?)"|\(has no name\)): \(.*\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+'
                             r'\s+\+(-?\d+)\+(-?\d+)\s*$', line)
            if not match:
                continue
            window, name, width, height, x, y = match.groups()
            if width == "1" or "IsViewable" not in self._x("xwininfo", "-id", window, "-stats"):
                continue
            # X gives a closed program's window ids to the next program: the
            # Linux process that owns the window tells two boxes apart.
            pid = re.search(r"= (\d+)", self._x("xprop", "-id", window, "_NET_WM_PID"))
            key = "%s/%s" % (window, pid.group(1) if pid else "?")
            found[key] = (name or "", int(x), int(y), int(width), int(height))
        return found

    def _new_box(self, caption):
        """The id of a viewable box with CAPTION not seen before, once one
        comes up; None when none came in time."""
        deadline = time.monotonic() + BOX_TIMEOUT
        while time.monotonic() < deadline:
            for window, (title, _, _, width, height) in self.windows().items():
                if window not in self.seen and title == caption and width >= 80 and height >= 40:
                    # Wine keeps the X window of a closed box for a while: a
                    # later box is always a window not seen before.
                    self.seen.add(window)
                    return window
            time.sleep(0.5)
        return None

    def pass_over(self, name, caption):
        """Waits for a box that is not to be captured (it comes before
        one that is, with the same caption), then releases it."""
        if self._new_box(caption) is None:
            self.log("  %s: no box with the caption %r came up" % (name, caption))
        self.release(name)

    def capture(self, name, caption, release=True):
        """Waits for a box with CAPTION ("" for none) that has not been seen
        before, saves it as NAME.png once it has looked the same on two
        looks in a row (it is fully drawn), then releases it (with RELEASE
        false the caller does). Returns whether it was captured; a box that
        did not come is released all the same, so that the story goes on."""
        window = self._new_box(caption)
        if window is None:
            self.log("  %s: no box with the caption %r came up" % (name, caption))
            self.release(name)
            return False
        previous = image = None
        for _ in range(20):
            time.sleep(0.7)
            geometry = self.windows().get(window)
            if geometry is None:
                break
            image = self._grab(geometry[1:])
            if image is not None and image == previous:
                break
            previous = image
        if image is None or image != previous:
            self.log("  %s: the box went away or never looked the same twice" % name)
            self.release(name)
            return False
        (self.out_dir / (name + ".png")).write_bytes(image)
        self.captured.append(name)
        self.log("  %s: captured (%d bytes)" % (name, len(image)))
        if release:
            self.release(name)
        return True

    def _grab(self, geometry):
        """The screen's rectangle (x, y, width, height) as an 8-bit palette
        PNG without time stamps, or None. The root window is read, not the
        box's own: a box that closes meanwhile cannot hang the grab."""
        x, y, width, height = geometry
        try:
            completed = subprocess.run(["import", "-display", self.display, "-window", "root",
                                        "-crop", "%dx%d+%d+%d" % (width, height, x, y), "+repage", "-strip",
                                        "-define", "png:exclude-chunks=date,time", "PNG8:-"],
                                       capture_output=True, timeout=30)
        except subprocess.TimeoutExpired:
            return None
        return completed.stdout if completed.returncode == 0 and completed.stdout else None


class Story:
    """The machine, the tools and the camera of one story, with its runs in
    the background (a box stays up until the camera has it)."""

    def __init__(self, machine, tools, camera, log=print):
        self.machine = machine
        self.tools = tools
        self.camera = camera
        self.log = log
        self.problems = []

    def patch_in_background(self, script, **options):
        options.setdefault("timeout", RUN_TIMEOUT)
        t = _Test(self.machine, self.tools)
        return Background(lambda: run_patch(t, "", script, **options))

    def finish(self, background, what):
        run = background.join(RUN_TIMEOUT + 120)
        if run is None or not run.passed:
            self.problems.append("%s did not go as scripted" % what)
            for line in (run.describe() if run else ["(still running)"]):
                self.log("    " + line)
        return run


class _Test:
    """What run_patch and the scenarios' set-up steps need of a test."""

    def __init__(self, machine, tools):
        self.machine = machine
        self.tools = tools
        self.failures = []

    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
        return bool(condition)


def swap_and_remove(story):
    """Kestova 2 installed, then Kestova 3 installed beside it while a
    configuration program holds the setup's signal; the patch killed once
    the setup registered, its next runs; the removal of Kestova 3."""
    camera, machine, tools = story.camera, story.machine, story.tools

    story.log("- the patch on a machine with neither title")
    first = story.patch_in_background([Box("", NOT_INSTALLED, "OK", after_file=camera.marker("fatal-error"))])
    camera.capture("fatal-error", "")
    story.finish(first, "the run without a title")

    story.log("- Kestova 2 from its disc in F:, the Kestova 3 disc in D:, a configuration program open")
    first_disc = insert_game_disc(machine, tools, "F", "Kestova 2", linger=0)
    install_from_disc(machine, first_disc)
    root = insert_game_disc(machine, tools, "D", "Kestova 3", stamp=KNOWN_SETUP_STAMPS[1], linger=90)
    if not start_configuration_program(_Test(machine, tools)):
        story.problems.append("the configuration program never took the setup's signal")
        return
    swap = story.patch_in_background([
        Box(PATCH_CAPTION, disc_question("Kestova 3", root), "Yes", after_file=camera.marker("disc-question")),
        Box(PATCH_CAPTION, MUTEX_TAKEN, "Retry", after_file=camera.marker("another-program-running")),
    ])
    camera.capture("disc-question", PATCH_CAPTION)
    camera.capture("another-program-running", PATCH_CAPTION)

    story.log("- the patch ended from outside once the setup registered Kestova 3")
    if not wait_until(lambda: display_name(machine, SHARED_PRODUCT_CODE) == "Kestova 3", timeout=180):
        story.problems.append("the disc's setup never registered Kestova 3")
        return
    kill(machine, PATCH_FILE_NAME)
    killed = swap.join(RUN_TIMEOUT + 120)
    # Its boxes were the two captured (the player fails a run on any other).
    shown = killed.box_texts() if killed else []
    if shown != [disc_question("Kestova 3", root), MUTEX_TAKEN]:
        story.problems.append("the swap showed other boxes than the two captured: %r" % shown)
    # The killed run's entry for the next logon would run at the next start
    # of the machine's Wine session (should every program of it end
    # meanwhile) and take the runs below for itself.
    machine.wine("reg", "delete", RUN_ONCE_KEY, "/v", RUN_ONCE_VALUE, "/f", "/reg:32", check=False)
    at_work = story.patch_in_background([Box("", EARLIER_AT_WORK, "OK",
                                             after_file=camera.marker("earlier-run-at-work"))])
    camera.capture("earlier-run-at-work", "")
    story.finish(at_work, "the run while the setup works")
    if not wait_until(lambda: not machine.program_runs("setup.exe"), timeout=240):
        story.problems.append("the disc's setup never ended")
        return
    put_right = story.patch_in_background([Box(PATCH_CAPTION, PUT_RIGHT, "OK", after_file=camera.marker("put-right"))])
    camera.capture("put-right", PATCH_CAPTION)
    story.finish(put_right, "the run that finishes the swap")

    story.log("- Kestova 3 removed through Add/Remove Programs, a second copy started meanwhile")
    # A slow uninstaller (a minute): it is still at work when the user
    # clicks OK at once.
    machine.write_file(product_folder(ALTERNATE_PRODUCT_CODE) + r"\maintenance.ini", "delay=60000")
    script = [Box(PATCH_CAPTION, WAIT_FOR_UNINSTALL, "OK", after_file=camera.marker("uninstall-wait")),
              Box(PATCH_CAPTION, STILL_RUNNING, "Retry", after_children=True,
                  after_file=camera.marker("uninstall-still-running"))]
    script += [Box(PATCH_CAPTION, STILL_RUNNING, "Retry", optional=True, after_children=True) for _ in range(4)]
    removal = Background(lambda: remove_through_add_remove_programs(machine, ALTERNATE_PRODUCT_CODE, script,
                                                                    timeout=RUN_TIMEOUT))
    camera.capture("uninstall-wait", PATCH_CAPTION)
    # The box that comes back while the uninstaller still runs stays up
    # while the second copy runs: the first copy then waits for the user.
    camera.capture("uninstall-still-running", PATCH_CAPTION, release=False)
    second = story.patch_in_background([Box("", ALREADY_RUNNING, "OK", after_file=camera.marker("already-running"))],
                                       program=install_patch(machine, tools))
    camera.capture("already-running", "")
    story.finish(second, "the second copy")
    camera.release("uninstall-still-running")
    story.finish(removal, "the removal of Kestova 3 (%s)" % TEMPORARY_COPY)

    story.log("- DirectX 8 only, the Kestova 3 disc still in D:")
    without_directx_9(machine)
    directx = story.patch_in_background([
        Box(PATCH_CAPTION, disc_question("Kestova 3", root), "Yes", after_file=camera.marker("disc-again")),
        Box(PATCH_CAPTION, directx_question("Kestova 3"), "No", after_file=camera.marker("directx-question")),
    ])
    # The disc question, with the same caption, comes first.
    camera.pass_over("disc-again", PATCH_CAPTION)
    camera.capture("directx-question", PATCH_CAPTION)
    story.finish(directx, "the run with DirectX 8")


def parse_arguments():
    parser = argparse.ArgumentParser(description="Pictures of the patch's message boxes.")
    parser.add_argument("--list", action="store_true", help="print the names of the boxes and stop")
    parser.add_argument("--out", help="the folder for NAME.png")
    parser.add_argument("--build-dir", default="build/windows")
    parser.add_argument("--work-dir")
    return parser.parse_args()


def main():
    args = parse_arguments()
    if args.list:
        for name in BOXES:
            print(name)
        return 0
    if not args.out:
        sys.exit("screenshots.py: --out DIR is needed")
    for tool in ("import", "xwininfo", "xprop"):
        if shutil.which(tool) is None:
            sys.exit("screenshots.py: %s is missing (scripts/install-deps.sh installs it)" % tool)
    tools = Tools(args.build_dir)
    missing = tools.missing(needs_patch=True)
    if missing:
        sys.exit("screenshots.py: not built: " + ", ".join(missing))
    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    temporary = args.work_dir is None
    work_dir = Path(args.work_dir or tempfile.mkdtemp(prefix="kestova-shots-"))
    runner = Runner(tools, work_dir)
    problems = []
    captured = []
    try:
        print("making the template machine")
        runner.prepare()
        with runner.machine() as machine:
            markers = machine.scratch_file("markers")
            markers.mkdir()
            camera = Camera(machine, out_dir, markers)
            story = Story(machine, tools, camera)
            try:
                swap_and_remove(story)
            finally:
                captured = camera.captured
                problems = story.problems
    finally:
        if temporary:
            runner.remove_work_dir()
    for problem in problems:
        print("problem: " + problem)
    missing = [name for name in BOXES if name not in captured]
    for name in missing:
        print("NOT CAPTURED: %s (%s)" % (name, BOXES[name]))
    print("%d of %d boxes captured" % (len(BOXES) - len(missing), len(BOXES)))
    return 1 if missing or problems else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except WineUnavailable as error:
        sys.exit("%s: %s" % (Path(sys.argv[0]).name, error))
