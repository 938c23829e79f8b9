"""The crash matrix on the real platform: the crash-test build of the patch
(kestova-patch-crashtest.exe, source/platform/win32/crash_test.cpp) stopped
right after each change a stage makes to the machine, then what a user does
next, then the whole-state check of the Wine scenarios.

A start state (one title installed and the other title's disc, or both
titles installed for the removal of the one under the alternate code) is
made once per kind of machine with the harness's own steps and saved: the
prefix's registry files, everything on drive C: outside the Windows folder
(its Temp folder included) and the discs, with the server down, and the
registry keys that a cell can change as a .reg file. Each cell restores it
into its worker's machine (a prefix of its own with its own wineserver),
which is far cheaper than installing again.

The stage's changes are counted by a dry run of the crash-test build (mode
count) from the restored state. Cell N of a column then:
  - kill: the machine is put back while it runs (folders synchronised, the
    keys imported); the crash-test build ends its own process with
    TerminateProcess right after change N (at the entry of change N + 1);
    the programs it started go on and end, as the user lets them (one left
    suspended never would: a restart ends it);
  - power: the machine is put back from the saved files with its server
    down; at the same moment the process stops and the harness ends every
    process of the machine with SIGKILL, its wineserver first: registry
    changes the server holds in memory only are lost, files written are
    kept, as after a power cut. RegFlushKey does nothing under Wine (the
    server saves the registry about every 30 s and when it shuts down), so
    the crash-test build writes the keys the titles' installers and the
    patch change to a .reg file at every flush, and after the cut the
    harness imports that file when the server has not saved since: the
    registry is then as a flushed Windows registry would be.
Then the logon runs the patch's RunOnce entry where there is one (taken
first, as Windows does), the user runs the patch again with answers (once
more when that run only put right what the interrupted one left, as its
box says), and for a removal removes the title again through Add/Remove
Programs while it is still listed. The check: every title whole byte for
byte where it should be, nothing under the parking code, the redirection
and the shortcut right, and no record of started programs, RunOnce value
or lasting copy of the patch left.
"""

import json
import os
import shutil
import subprocess
import threading
import time
from pathlib import Path

from .kestova import (ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE, PATCH_CAPTION, PATCH_FOLDER, PUBLISHER_KEY,
                      SHARED_PRODUCT_CODE, ARP_CACHE_KEY, NOT_INSTALLED, command_line, product_folder, uninstall_key)
from .player import Box
from .prefix import NATIVE_LOADER, WINE_ARCH
from .scenario import Test
from .swap import (KNOWN_SETUP_STAMPS, OTHER_TITLE, TEMPORARY_COPY, ask_disc, disc_not_found, exported_keys,
                   expect_code_free, expect_title_gone, expect_title_installed, expect_unchanged, export_key,
                   folder_contents, helper, insert_game_disc, install_first_title, read_shortcut,
                   remove_with_own_uninstaller, text_value, title_key,
                   title_snapshot, uninstall_shortcut, value_map, wait_for_uninstall_box, code_in)

SETTINGS_FILE_NAME = "kestova-crash-test.ini"
KILLED_EXIT_CODE = 77
PATCH_PATH = PATCH_FOLDER + r"\kestova-patch.exe"

RUN_ONCE_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\RunOnce"
RUN_ONCE_VALUE = "Kestova Patch"
LASTING_COPY = r"C:\ProgramData\Kestova Patch\kestova-patch.exe"
STARTED_PROGRAMS_KEY = r"HKLM\SOFTWARE\Kestova Patch"
PUT_RIGHT = "An earlier run of the patch was interrupted. This run has put right what it left:*"
BOTH_INSTALLED = "Both titles are already installed*"

# The disc's setup lingers this long after its signal: the patch only sees
# a mutex that is still there.
SETUP_LINGER_SECONDS = 1
# A killed run waits this long at most for the programs it started to end
# (the setup lingers a second, the uninstaller takes no longer).
KILLED_RUN_TIMEOUT = 30
RUN_TIMEOUT = 90
# The player looks for boxes this often in the matrix's runs (its default
# costs a good part of an emulated core): no run of a cell has a chain
# whose middle process could end unseen between two looks.
PLAYER_POLL_MS = 200

# What the titles' installers and the patch change in the registry (HKLM,
# 32-bit view), written out at every flush of the power-cut column.
def _under_hklm(key):
    return key[len("HKLM\\"):]


FLUSH_KEYS = [_under_hklm(uninstall_key(code)) for code in
              (SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE)]
FLUSH_KEYS += [_under_hklm(ARP_CACHE_KEY + "\\" + code) for code in (SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE)]
FLUSH_KEYS += [_under_hklm(STARTED_PROGRAMS_KEY), _under_hklm(PUBLISHER_KEY)]
FLUSH_VALUES = [(_under_hklm(RUN_ONCE_KEY), RUN_ONCE_VALUE)]

COLUMNS = ("kill", "power")

# The test command's sample. Each stage (the install stage, which makes the
# same changes from either title's start state; the removal with a title
# remaining; the removal of the last title) is stopped once right after each
# of its changes from its first folder move to its end: cell N of a stage
# runs in slot N % len(slots) of the stage's slots, a start state on a kind
# of machine.
SAMPLE_SLOTS = {
    "install": [("install_3_beside_2", "win64"), ("install_2_beside_3", "win32")],
    "uninstall_with_remaining": [("uninstall_with_remaining", "win64"), ("uninstall_with_remaining", "win32")],
    "uninstall_without_remaining": [("uninstall_without_remaining", "win64"),
                                    ("uninstall_without_remaining", "win32")],
}


def sample_stage(state_name):
    """The sample's name of the stage a start state begins."""
    return "install" if state_name.startswith("install") else state_name


def first_folder_move(changes):
    """The number of the stage's first folder move (its first shell file
    operation: parking the title under the shared code, or moving the title
    that is removed), from a dry run's numbered CHANGES."""
    for number, name in changes:
        if name == "SHFileOperationA":
            return number
    return 1


def sample_numbers(state_name, changes, arch):
    """The N of the sample's cells of a start state on the kind of machine
    ARCH, from the numbered CHANGES of its stage's dry run."""
    slots = SAMPLE_SLOTS[sample_stage(state_name)]
    return [n for n in range(first_folder_move(changes), len(changes)) if slots[n % len(slots)] == (state_name, arch)]


def sample_states(arch):
    """The start states that have cells of the sample on ARCH."""
    wanted = {name for slots in SAMPLE_SLOTS.values() for name, kind in slots if kind == arch}
    return [state for state in STATES if state.name in wanted]


class CellError(RuntimeError):
    """The cell could not be run as planned (not a verdict on the patch)."""


# -- Start states ----------------------------------------------------------------------------------------------


class StartState:
    """One start state of the matrix: STAGE "install" (INSTALLED installed,
    the other title's disc in E:) or "uninstall" (both titles swapped in by
    the patch, or with REMAINING False the title under the shared code
    removed since; the title under the alternate code is being removed)."""

    def __init__(self, name, stage, installed, remaining=True, parent=None, description=""):
        self.name = name
        self.stage = stage
        self.installed = installed
        self.new = OTHER_TITLE[installed]
        self.remaining = remaining
        # The state this one is made from by one more step, on its machine.
        self.parent = parent
        self.description = description

    # Making it, once per kind of machine.

    def make(self, t, parent_meta=None):
        """Makes the state on T's machine: a fresh one, or one in the parent
        state (PARENT_META). Returns what the cells need to know of it
        (JSON-able), or None when it went wrong."""
        machine = t.machine
        if self.parent is None:
            without_menu_builder(machine)
            install_first_title(t, self.installed, "D")
            root = insert_game_disc(machine, t.tools, "E", self.new, stamp=KNOWN_SETUP_STAMPS[1],
                                    linger=SETUP_LINGER_SECONDS)
            machine.copy_file(t.tools.crash_patch, PATCH_PATH)
            meta = {"new_root": root}
        elif self.remaining:
            # Both titles: the patch (its crash-test build, not armed) installs
            # the new one from its disc.
            meta = {"new_root": parent_meta["new_root"]}
            run = machine.run(command_line(PATCH_PATH), [ask_disc(self.new, meta["new_root"])], timeout=RUN_TIMEOUT,
                              poll=PLAYER_POLL_MS)
            t.expect_run(run, exit_code=0)
        else:
            # The title under the shared code removed by its own uninstaller.
            meta = {"new_root": parent_meta["new_root"]}
            remove_with_own_uninstaller(machine, SHARED_PRODUCT_CODE)
        if self.remaining:
            meta["before"] = title_snapshot(machine, t.tools, SHARED_PRODUCT_CODE, self.installed)
        self.expect_start(t, meta)
        return meta if not t.failures else None

    def expect_start(self, t, meta):
        """Checks that the machine stands as this state says."""
        if not self.remaining:
            expect_title_gone(t, self.installed)
        # Before a removal the new title stands redirected; before an install
        # it is not there yet.
        self._expect_registrations(t, meta, new_title_stands=self.stage == "uninstall")

    def _expect_registrations(self, t, meta, new_title_stands):
        """The title under the shared code as it was (or the code free), the
        new title redirected under the alternate code or gone, nothing
        parked and no leftovers of the patch."""
        if self.remaining:
            now = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, self.installed)
            expect_unchanged(t, meta["before"], now, self.installed + " under the shared code")
        else:
            expect_code_free(t, SHARED_PRODUCT_CODE)
        if new_title_stands:
            expect_new_title_redirected(t, self.new, meta["new_root"])
        else:
            expect_code_free(t, ALTERNATE_PRODUCT_CODE)
            expect_title_gone(t, self.new)
        expect_code_free(t, PARKING_PRODUCT_CODE)
        expect_no_leftovers(t)

    # The stage, as the user starts it.

    def stage_program(self, machine):
        """The program the stage runs as (a Windows path), made ready."""
        if self.stage == "install":
            return PATCH_PATH
        machine.write_file(TEMPORARY_COPY, machine.read_file(product_folder(ALTERNATE_PRODUCT_CODE) + r"\setup.exe"))
        return TEMPORARY_COPY

    def stage_script(self, meta, optional=False):
        if self.stage == "install":
            box = ask_disc(self.new, meta["new_root"])
        else:
            box = wait_for_uninstall_box()
        box.optional = optional
        return [box]

    # What the user does after the interruption.

    def finish(self, t, meta):
        """The user's runs after the logon; returns the runs."""
        machine = t.machine
        runs = []
        if self.stage == "install":
            script = [Box(PATCH_CAPTION, PUT_RIGHT, "OK", optional=True),
                      Box(PATCH_CAPTION, ask_disc(self.new, meta["new_root"]).text, "Yes", optional=True),
                      Box("", BOTH_INSTALLED, "OK", optional=True)]
        else:
            script = [Box(PATCH_CAPTION, PUT_RIGHT, "OK", optional=True),
                      Box("", BOTH_INSTALLED, "OK", optional=True),
                      Box("", NOT_INSTALLED, "OK", optional=True)]
            # With a title left under the shared code the patch parks it and
            # asks for the other title's disc; alone, it looks for a disc.
            for title, root in (("Kestova 3", "E:\\"), ("Kestova 2", "D:\\")):
                script += [Box(PATCH_CAPTION, ask_disc(title, root).text, "No", optional=True),
                           Box("", disc_not_found(title), "OK", optional=True)]
        for _ in range(2):
            run = machine.run(command_line(PATCH_PATH), script, timeout=RUN_TIMEOUT, poll=PLAYER_POLL_MS)
            runs.append(run)
            # The box of a run that put right what an interrupted run left
            # tells the user to start the patch again for what they meant.
            if PUT_RIGHT[:-1] not in "".join(run.box_texts()):
                break
        if self.stage == "uninstall" and export_key(machine, t.tools, uninstall_key(ALTERNATE_PRODUCT_CODE)):
            # Still listed in Add/Remove Programs: the user removes it again,
            # which needs the program the entry names.
            uninstaller = product_folder(ALTERNATE_PRODUCT_CODE) + r"\setup.exe"
            if t.expect(machine.exists(uninstaller), "%s is listed under the alternate code but %s is gone" %
                        (self.new, uninstaller)):
                program = self.stage_program(machine)
                runs.append(machine.run(command_line(program), [wait_for_uninstall_box()], timeout=RUN_TIMEOUT,
                                        poll=PLAYER_POLL_MS))
        return runs

    def expect_whole(self, t, meta):
        """The whole-state check at the end of a cell."""
        machine, tools = t.machine, t.tools
        keys = [uninstall_key(code) for code in (SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE)]
        keys += [title_key(title) for title in ("Kestova 2", "Kestova 3")] + [STARTED_PROGRAMS_KEY, RUN_ONCE_KEY]
        with exported_keys(machine, tools, keys):
            # After an install the new title stands redirected; after a
            # removal it is gone.
            self._expect_registrations(t, meta, new_title_stands=self.stage == "install")


def expect_new_title_redirected(t, title, root):
    """TITLE whole under the alternate code, its removal redirected through
    the patch and its uninstall shortcut naming the alternate code."""
    expect_title_installed(t, ALTERNATE_PRODUCT_CODE, title, root)
    folder = folder_contents(t.machine, product_folder(ALTERNATE_PRODUCT_CODE)) or {}
    t.expect_equal(sorted(folder), ["setup.exe", "setup.ilg", "setup_is.exe"],
                   "files of the folder under " + ALTERNATE_PRODUCT_CODE)
    t.expect(folder.get("setup_is.exe") == helper(t.tools, "maintenance.exe").read_bytes(),
             "setup_is.exe under the alternate code is not the installer's maintenance program")
    t.expect(folder.get("setup.exe") == t.tools.crash_patch.read_bytes(),
             "setup.exe under the alternate code is not a copy of the patch")
    link = read_shortcut(t.machine, uninstall_shortcut(title))
    if t.expect(link is not None, "%s: no uninstall shortcut" % title):
        t.expect_equal(code_in(link["arguments"]), ALTERNATE_PRODUCT_CODE,
                       "%s: product code in the uninstall shortcut's arguments" % title)


def expect_no_leftovers(t):
    """No record of started programs, RunOnce value or lasting copy."""
    t.expect(export_key(t.machine, t.tools, STARTED_PROGRAMS_KEY) is None,
             "the record of started programs is left behind")
    run_once = export_key(t.machine, t.tools, RUN_ONCE_KEY)
    t.expect(run_once is None or RUN_ONCE_VALUE not in value_map(run_once), "the RunOnce value is left behind")
    t.expect(not t.machine.exists(LASTING_COPY), "the lasting copy of the patch is left behind")


STATES = [
    StartState("install_3_beside_2", "install", "Kestova 2",
               description="Kestova 2 installed, the patch installs Kestova 3 from its disc"),
    StartState("install_2_beside_3", "install", "Kestova 3",
               description="Kestova 3 installed, the patch installs Kestova 2 from its disc"),
    StartState("uninstall_with_remaining", "uninstall", "Kestova 2", parent="install_3_beside_2",
               description="both installed, Kestova 3 (alternate code) removed through Add/Remove Programs"),
    StartState("uninstall_without_remaining", "uninstall", "Kestova 2", remaining=False,
               parent="uninstall_with_remaining",
               description="Kestova 3 alone under the alternate code, removed through Add/Remove Programs"),
]
STATES_BY_NAME = {state.name: state for state in STATES}


# -- Saved states ------------------------------------------------------------------------------------------------

REGISTRY_FILES = ("system.reg", "user.reg", "userdef.reg")


def _saved_folders(prefix):
    """The folders of a prefix that a state is made of, relative to it:
    everything on drive C: outside the Windows folder, and its Temp folder."""
    drive_c = Path(prefix) / "drive_c"
    folders = []
    for entry in sorted(drive_c.iterdir()):
        if entry.name.lower() != "windows":
            folders.append("drive_c/" + entry.name)
    temp = [entry.name for entry in (drive_c / "windows").iterdir() if entry.name.lower() == "temp"]
    return folders + ["drive_c/windows/" + name for name in temp]


class SavedState:
    """A start state saved in DIRECTORY: its registry files, its folders,
    the keys of it that a cell can change as a .reg file, its discs and
    meta.json."""

    def __init__(self, state, directory):
        self.state = state
        self.directory = Path(directory)
        self.meta = None
        # The stage's changes, numbered from 1, as its dry run made them.
        self.changes = []

    @property
    def ready(self):
        return (self.directory / "meta.json").exists()

    def load(self):
        self.meta = json.loads((self.directory / "meta.json").read_text(), object_hook=_from_json)
        return self

    def save(self, machine, tools, meta):
        """Saves MACHINE as this state (its server is stopped for that and
        started again)."""
        shutil.rmtree(self.directory, ignore_errors=True)
        prefix = self.directory / "prefix"
        prefix.mkdir(parents=True)
        (self.directory / "keys.reg").write_bytes(changeable_keys_as_reg(machine, tools))
        machine.stop_server()
        for name in REGISTRY_FILES:
            shutil.copyfile(machine.prefix / name, prefix / name)
        for folder in _saved_folders(machine.prefix):
            shutil.copytree(machine.prefix / folder, prefix / folder, symlinks=True)
        for letter in "de":
            shutil.copytree(machine.root / ("disc-" + letter), self.directory / ("disc-" + letter))
        (self.directory / "meta.json").write_text(json.dumps(meta, default=_to_json))
        self.meta = meta
        machine.start_server()

    def restore(self, machine):
        """Puts MACHINE, its server down, back into this state: registry
        files, folders and discs."""
        self._restore_folders(machine)
        for name in REGISTRY_FILES:
            # A fresh modification time: the power-cut column compares it
            # with the time of the last flush.
            shutil.copyfile(self.directory / "prefix" / name, machine.prefix / name)

    def restore_running(self, machine):
        """Puts MACHINE back into this state while it runs, with no program
        of the patch's stage left on it: the folders, and the registry keys
        that the titles' installers and the patch change (imported in one
        start of reg.exe). The machine keeps its session, which a restart
        would have to start anew."""
        self._restore_folders(machine)
        reg_file = machine.scratch_file("start-state.reg")
        shutil.copyfile(self.directory / "keys.reg", reg_file)
        machine.wine("reg", "import", machine.windows_path_of(reg_file), "/reg:32")

    def _restore_folders(self, machine):
        prefix = self.directory / "prefix"
        for folder in set(_saved_folders(machine.prefix)) - set(_saved_folders(prefix)):
            shutil.rmtree(machine.prefix / folder, ignore_errors=True)
        for folder in _saved_folders(prefix):
            _sync_folder(prefix / folder, machine.prefix / folder)
        for letter in "de":
            device = machine.prefix / "dosdevices" / (letter + ":")
            if device.is_symlink() and os.readlink(device) == str(self.directory / ("disc-" + letter)):
                continue
            if device.is_symlink() or device.exists():
                device.unlink()
            device.symlink_to(self.directory / ("disc-" + letter))


def _sync_folder(source, target):
    """Makes TARGET a copy of SOURCE, copying only the files that differ
    (by size and modification time) and removing what SOURCE lacks."""
    if target.is_symlink() or (target.exists() and not target.is_dir()):
        target.unlink()
    target.mkdir(parents=True, exist_ok=True)
    wanted = {entry.name: entry for entry in os.scandir(source)}
    for entry in os.scandir(target):
        if entry.name not in wanted or entry.is_symlink() != wanted[entry.name].is_symlink() or \
                entry.is_dir(follow_symlinks=False) != wanted[entry.name].is_dir(follow_symlinks=False):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path)
            else:
                os.unlink(entry.path)
    for name, entry in wanted.items():
        destination = target / name
        if entry.is_symlink():
            if not destination.is_symlink():
                os.symlink(os.readlink(entry.path), destination)
        elif entry.is_dir():
            _sync_folder(Path(entry.path), destination)
        else:
            kept = entry.stat()
            try:
                found = destination.stat()
                if found.st_size == kept.st_size and found.st_mtime_ns == kept.st_mtime_ns:
                    continue
            except FileNotFoundError:
                pass
            shutil.copy2(entry.path, destination)


def changeable_keys_as_reg(machine, tools):
    """The registry keys a cell can change (those a flush writes out), as
    a .reg file (UTF-16) that deletes each and creates it again as it is
    now, value by value with its type and stored bytes."""
    keys = ["HKLM\\" + key for key in FLUSH_KEYS] + ["HKLM\\" + key for key, _ in FLUSH_VALUES]
    with exported_keys(machine, tools, keys):
        lines = ["Windows Registry Editor Version 5.00", ""]
        for key in FLUSH_KEYS:
            lines += ["[-HKEY_LOCAL_MACHINE\\%s]" % key, ""]
            _reg_lines(lines, "HKEY_LOCAL_MACHINE\\" + key, export_key(machine, tools, "HKLM\\" + key))
        for key, name in FLUSH_VALUES:
            tree = export_key(machine, tools, "HKLM\\" + key)
            value = (tree and value_map(tree).get(name))
            lines.append("[HKEY_LOCAL_MACHINE\\%s]" % key)
            lines.append(_reg_value(name, *value) if value else '"%s"=-' % name)
            lines.append("")
    return "\r\n".join(lines + [""]).encode("utf-16")


def _reg_lines(lines, path, tree):
    if tree is None:
        return
    lines.append("[%s]" % path)
    for name, value_type, data in tree["values"]:
        lines.append(_reg_value(name, value_type, bytes.fromhex(data)))
    lines.append("")
    for name, subkey in tree["subkeys"].items():
        _reg_lines(lines, path + "\\" + name, subkey)


def _reg_value(name, value_type, data):
    quoted = "@" if name == "" else '"%s"' % name.replace("\\", "\\\\").replace('"', '\\"')
    return "%s=hex(%x):%s" % (quoted, value_type, ",".join("%02x" % byte for byte in data))


def _to_json(value):
    """Bytes (file contents in snapshots) as JSON."""
    if isinstance(value, bytes):
        return {"bytes": value.hex()}
    raise TypeError("cannot save %r" % type(value))


def _from_json(value):
    return bytes.fromhex(value["bytes"]) if set(value) == {"bytes"} else value


# -- Driving the crash-test build ----------------------------------------------------------------------------------


def write_settings(machine, program, mode, after, report, flush_dump):
    """The settings file beside PROGRAM (a Windows path) that arms the
    crash-test build for its next start."""
    lines = ["mode=" + mode, "after=%d" % after, "report=" + machine.windows_path_of(report),
             "flush-dump=" + machine.windows_path_of(flush_dump)]
    lines += ["flush-key=" + key for key in FLUSH_KEYS]
    lines += ["flush-value=%s|%s" % item for item in FLUSH_VALUES]
    machine.write_file(_settings_path(program), "\r\n".join(lines) + "\r\n")


def remove_settings(machine, program):
    path = machine.path(_settings_path(program))
    if path.exists():
        path.unlink()


def _settings_path(program):
    return program.rsplit("\\", 1)[0] + "\\" + SETTINGS_FILE_NAME


def read_report(report):
    """[(kind, number, name)] from the crash-test build's report."""
    entries = []
    if report.exists():
        for line in report.read_text(errors="replace").splitlines():
            parts = line.split()
            if len(parts) >= 2 and parts[1].isdigit():
                entries.append((parts[0], int(parts[1]), parts[2] if len(parts) > 2 else ""))
    return entries


class Background:
    """A call in a thread of its own."""

    def __init__(self, call):
        self.result = None
        self.error = None
        self._thread = threading.Thread(target=self._body, args=(call,), daemon=True)
        self._thread.start()

    def _body(self, call):
        try:
            self.result = call()
        except Exception as error:  # reported by join
            self.error = error

    @property
    def running(self):
        return self._thread.is_alive()

    def join(self, timeout=None):
        self._thread.join(timeout)
        if self.error is not None:
            raise self.error
        return self.result


# -- Cells ---------------------------------------------------------------------------------------------------------


def without_menu_builder(machine):
    """Takes Wine's menu builder off the machine. Wine's shell link object
    starts it after every shortcut it saves, as a process of the program
    that saved it: the disc's setup stand-in then has short-lived children
    in its job, and how many changes of the job's processes the patch
    records depends on when its polls fall. Windows starts no such
    program, and without it every run of a stage makes the same changes.
    (The machine's system files are hard links shared with the template:
    unlinking one leaves the template's.)"""
    for folder in ("system32", "syswow64"):
        builder = machine.prefix / "drive_c" / "windows" / folder / "winemenubuilder.exe"
        if builder.exists():
            builder.unlink()


class Worker:
    """One machine (a prefix and wineserver of its own) that runs cells one
    after the other."""

    def __init__(self, runner):
        self.runner = runner
        self.machine = runner.machine()
        self.machine.stop_server()
        self.server_up = False
        self.state = None
        self.keeper = None
        without_menu_builder(self.machine)
        self.tools = runner.tools

    def close(self):
        self.machine.close()
        self._forget_keeper()

    # The machine's session. When its last program other than Wine's own
    # services ends, Wine ends the session, and the next program starts a
    # new one, whose wineboot runs the RunOnce entries at once, before the
    # harness could take the patch's. A program that waits for ever keeps
    # the session while the machine runs, as a logged-on user's would.

    def start(self):
        self.machine.start_server()
        self.server_up = True
        self.keeper = subprocess.Popen([NATIVE_LOADER or "wine", "cmd.exe", "/c", "pause"], env=self.machine.env,
                                       stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)

    def shut_down(self):
        self.machine.stop_server()
        self.server_up = False
        self._forget_keeper()

    def cut_power(self):
        self.machine.cut_power()
        self.server_up = False
        self._forget_keeper()

    def _check_session_kept(self):
        """Fails the cell, saying why, when the program that keeps the
        machine's session has ended: the next program would start a new
        session, whose wineboot runs the RunOnce entries with nobody to
        answer their boxes, and would wait for it."""
        if self.keeper is not None and self.keeper.poll() is not None:
            raise CellError("the program keeping the machine's session ended (exit code %s) during the run"
                            % self.keeper.returncode)

    def _forget_keeper(self):
        if self.keeper is not None:
            try:
                self.keeper.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.keeper.kill()
                self.keeper.wait()
            self.keeper = None

    def restore(self, saved, running=True):
        """Puts the machine into SAVED's state and leaves it running; with
        RUNNING False from the saved registry files (the server down), so
        that the registry on disc is the state's too."""
        # Another state's discs may stand in the drives: the running session
        # keeps what it learnt of them, so a change of state restarts it.
        if running and self.server_up and self.state is saved:
            saved.restore_running(self.machine)
            return
        if self.server_up:
            self.shut_down()
        saved.restore(self.machine)
        self.start()
        self.state = saved

    def dry_run(self, saved):
        """Runs SAVED's stage whole with the crash-test build counting its
        changes, then checks that it ended whole. Returns (changes, test)."""
        state = saved.state
        self.restore(saved)
        machine = self.machine
        report = machine.scratch_file("dry-run.txt")
        if report.exists():
            report.unlink()
        program = state.stage_program(machine)
        write_settings(machine, program, "count", 0, report, machine.scratch_file("unused.reg"))
        t = Test(machine, self.tools)
        run = machine.run(command_line(program), state.stage_script(saved.meta), timeout=RUN_TIMEOUT, wait_all=True,
                          poll=PLAYER_POLL_MS)
        remove_settings(machine, program)
        t.expect_run(run, exit_code=0)
        changes = [(number, name) for kind, number, name in read_report(report) if kind == "change"]
        t.expect(changes and [n for n, _ in changes] == list(range(1, len(changes) + 1)),
                 "the dry run's changes are not numbered 1 to N: %r" % changes[:5])
        state.expect_whole(t, saved.meta)
        return changes, t

    def run_cell(self, saved, column, after):
        """One cell; returns a dict with the verdict, the problems, the
        notes and the seconds it took."""
        state = saved.state
        started = time.monotonic()
        phases = {}

        def phase(name, since=[started]):
            now = time.monotonic()
            phases[name] = round(now - since[0], 2)
            since[0] = now

        machine = self.machine
        # A power cut loses what the server has not saved: the registry on
        # disc must be the start state's too.
        self.restore(saved, running=column == "kill")
        phase("restore")
        t = Test(machine, self.tools)
        report = machine.scratch_file("crash-report.txt")
        flush_dump = machine.scratch_file("flush.reg")
        for path in (report, flush_dump):
            if path.exists():
                path.unlink()
        program = state.stage_program(machine)
        write_settings(machine, program, column, after, report, flush_dump)
        script = state.stage_script(saved.meta, optional=True)
        stop = None
        suspended = False
        if column == "kill":
            # The user lets the programs the killed run started finish, except
            # one it left suspended (stopped between its start and its
            # resumption), which would never run: the restart ends that one.
            suspended = _left_suspended(saved.changes, after + 1)
            run = machine.run(command_line(program), script, timeout=KILLED_RUN_TIMEOUT, wait_all=not suspended,
                              poll=PLAYER_POLL_MS)
            stop = _stop_entry(report)
            # Windows deletes a RunOnce value before it starts its command at
            # the logon. Wine's session start would start it at once, with
            # nobody to answer its box: the harness takes the value while the
            # machine still runs and starts the command itself. The programs
            # the killed run started have ended and the registry needs no
            # saving, so the machine is restarted only to end a program left
            # suspended.
            self._check_session_kept()
            logon = take_run_once(machine, self.tools)
            if suspended:
                self.shut_down()
        else:
            background = Background(lambda: machine.run(command_line(program), script, timeout=RUN_TIMEOUT,
                                                        wait_all=True, poll=PLAYER_POLL_MS))
            deadline = time.monotonic() + RUN_TIMEOUT
            while stop is None and time.monotonic() < deadline and background.running:
                time.sleep(0.05)
                stop = _stop_entry(report)
            self.cut_power()
            run = background.join(60)
            stop = stop or _stop_entry(report)
        remove_settings(machine, program)
        phase("interrupted run")
        if stop is None:
            raise CellError("the crash-test build never stopped after change %d (%s)" %
                            (after, "; ".join(run.describe()) if run else "no run"))
        t.note("stopped at the entry of change %d (%s)" % (stop[1], stop[2]))
        if column == "kill":
            t.expect_equal(run.exit_code, KILLED_EXIT_CODE, "exit code of the killed run")
            # The player ends what still runs at its timeout, which is not
            # what a user does: such a cell says so, with what ran.
            t.expect(not run.timed_out, "the programs the killed run started did not end within %d s: %s" %
                     (KILLED_RUN_TIMEOUT, "; ".join(run.describe())))
        t.expect(not run.unexpected_boxes, "the interrupted run showed a box nobody expected: %r" %
                 [box["text"] for box in run.unexpected_boxes])
        flushed = False
        if column == "power":
            # What is on disc now: the registry as the server last saved it,
            # or, when a flush came after that, as the flush left it.
            logon = take_run_once_from_saved_registry(machine.prefix)
            flushed = _flush_is_newer(machine, flush_dump)
            if flushed:
                logon = take_run_once_from_flush_dump(flush_dump)
                t.note("the registry put back as the last flush left it")
        if not self.server_up:
            self.start()
        if flushed:
            machine.wine("reg", "import", machine.windows_path_of(flush_dump), "/reg:32")
        runs = []
        if logon is not None:
            t.note("the logon runs the RunOnce command " + logon)
            runs.append(machine.run(logon, [Box(PATCH_CAPTION, PUT_RIGHT, "OK", optional=True)], timeout=RUN_TIMEOUT,
                                    poll=PLAYER_POLL_MS))
        phase("restart and logon")
        runs += state.finish(t, saved.meta)
        phase("runs after")
        for each in runs:
            t.note(*each.describe())
            t.expect(each.started and not each.timed_out and each.passed,
                     "a run after the interruption did not go as the user expects: %s" % each.command_line)
        state.expect_whole(t, saved.meta)
        phase("check")
        return {"state": state.name, "column": column, "after": after, "stop": stop[2] if stop else None,
                "whole": not t.failures, "problems": t.failures, "notes": t.notes,
                "seconds": round(time.monotonic() - started, 2), "phases": phases}



def take_run_once(machine, tools):
    """The command of the patch's RunOnce value, deleted from the running
    machine; None when there is none."""
    run_once = export_key(machine, tools, RUN_ONCE_KEY)
    if run_once is None or RUN_ONCE_VALUE not in value_map(run_once):
        return None
    machine.wine("reg", "delete", RUN_ONCE_KEY, "/v", RUN_ONCE_VALUE, "/f", "/reg:32", check=False)
    return text_value(run_once, RUN_ONCE_VALUE)


def _run_once_section():
    """The RunOnce key of the 32-bit view as a section header of a prefix's
    system.reg (names relative to HKLM, each backslash written twice)."""
    view = ["Software", "Wow6432Node"] if WINE_ARCH == "win64" else ["Software"]
    return "[" + "\\\\".join(view + ["Microsoft", "Windows", "CurrentVersion", "RunOnce"]) + "]"


def take_run_once_from_saved_registry(prefix):
    """The patch's RunOnce command as the machine's system.reg holds it
    (the machine down), removed from the file; None when there is none."""
    path = Path(prefix) / "system.reg"
    lines = path.read_text(encoding="utf-8", errors="surrogateescape").split("\n")
    section = _run_once_section().lower()
    in_section = False
    wanted = '"%s"=' % RUN_ONCE_VALUE
    for index, line in enumerate(lines):
        if line.startswith("["):
            in_section = line.lower().startswith(section)
        elif in_section and line.startswith(wanted):
            command = _unescape_reg_string(line[len(wanted):])
            del lines[index]
            path.write_text("\n".join(lines), encoding="utf-8", errors="surrogateescape")
            return command
    return None


def _unescape_reg_string(text):
    """The text of a string value as Wine's registry files write it:
    "..." with backslash escapes."""
    if not text.startswith('"'):
        return None
    out, i = [], 1
    escapes = {"n": "\n", "r": "\r", "t": "\t", "0": "\0", "\\": "\\", '"': '"'}
    while i < len(text) and text[i] != '"':
        if text[i] == "\\" and i + 1 < len(text):
            if text[i + 1] == "x":
                digits = ""
                while i + 2 + len(digits) < len(text) and len(digits) < 4 and \
                        text[i + 2 + len(digits)] in "0123456789abcdefABCDEF":
                    digits += text[i + 2 + len(digits)]
                out.append(chr(int(digits, 16)))
                i += 2 + len(digits)
                continue
            out.append(escapes.get(text[i + 1], text[i + 1]))
            i += 2
            continue
        out.append(text[i])
        i += 1
    return "".join(out)


def take_run_once_from_flush_dump(flush_dump):
    """The patch's RunOnce command as the last flush left it, turned into a
    deletion in the dump (the harness runs it itself, as the logon would);
    None when there was none."""
    text = flush_dump.read_bytes().decode("utf-16")
    wanted = '"%s"=hex(1):' % RUN_ONCE_VALUE
    lines = text.split("\r\n")
    for index, line in enumerate(lines):
        if line.startswith(wanted):
            data = bytes.fromhex(line[len(wanted):].replace(",", ""))
            lines[index] = '"%s"=-' % RUN_ONCE_VALUE
            flush_dump.write_bytes("\r\n".join(lines).encode("utf-16"))
            return data.decode("utf-16-le").rstrip("\0")
    return None


def _left_suspended(changes, stop):
    """Whether a stop at the entry of change STOP leaves a program started
    suspended and never resumed (the numbered CHANGES of a dry run)."""
    created = [number for number, name in changes if name == "CreateProcessA" and number < stop]
    if not created:
        return False
    return not any(name == "ResumeThread" and created[-1] < number < stop for number, name in changes)


def _stop_entry(report):
    for entry in read_report(report):
        if entry[0] == "stop":
            return entry
    return None


def _flush_is_newer(machine, flush_dump):
    """Whether the last flush came after the wineserver's last save of the
    registry (the file it wrote is newer than system.reg)."""
    if not flush_dump.exists():
        return False
    return flush_dump.stat().st_mtime_ns > (machine.prefix / "system.reg").stat().st_mtime_ns
