"""Interruptions: the patch killed half way through a swap or a removal, a
second copy started while the first waits for the disc's setup, and the
machine restarted while that setup runs. Whatever happened, the next run
(or the run the system starts at the next logon) leaves both titles whole."""

import threading
import time

from harness.kestova import (ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE, PATCH_CAPTION, PATCH_FILE_NAME,
                             SHARED_PRODUCT_CODE, install_patch, product_folder, run_patch, uninstall_key)
from harness.player import Box
from harness.scenario import scenario
from harness.swap import (KNOWN_SETUP_STAMPS, TEMPORARY_COPY, WAIT_FOR_UNINSTALL, ask_disc, expect_code_free,
                          expect_title_alone, expect_title_installed, expect_unchanged, insert_game_disc,
                          install_first_title, remove_through_add_remove_programs, title_snapshot,
                          wait_for_uninstall_box, warning)
from scenarios.whole_swap import expect_redirected_folder, expect_shortcut_names, swap

PUT_RIGHT = "An earlier run of the patch was interrupted. This run has put right what it left:*"
ALREADY_RUNNING = "Kestova Patch is already running.\nWait until it has finished."
EARLIER_AT_WORK = ("A setup or uninstaller that an earlier run of Kestova Patch started is still at work.\n"
                   "Let it finish (or close it), then run the patch again.\nNothing was changed.")
RUN_ONCE_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\RunOnce"
RUN_ONCE_VALUE = "Kestova Patch"
LASTING_COPY = r"C:\ProgramData\Kestova Patch\kestova-patch.exe"
STARTED_PROGRAMS_KEY = r"HKLM\SOFTWARE\Kestova Patch"


class Background:
    """A run of the player in a thread of its own, for a run that is
    interrupted from outside."""

    def __init__(self, start):
        self.run = None
        self._thread = threading.Thread(target=self._body, args=(start,), daemon=True)
        self._thread.start()

    def _body(self, start):
        self.run = start()

    def join(self, timeout=180):
        self._thread.join(timeout)
        return self.run


def wait_until(condition, timeout=60, interval=0.3):
    """Polls CONDITION until it holds; False when it never did."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return False


def display_name(machine, code):
    key = uninstall_key(code)
    return machine.value_text(key, "DisplayName") if machine.key_exists(key) else None


def recorded_processes(machine):
    """How many processes the patch's record of the programs it started
    holds (12 bytes each), or None without a record."""
    key = machine.read_key(STARTED_PROGRAMS_KEY)
    value = key["values"].get("Started programs") if key else None
    return value["size"] // 12 if value else None


def setup_processes(machine):
    """How many processes of a setup.exe run (the bootstrapper on the disc,
    its engine in a temporary folder)."""
    return sum(1 for process in machine.processes() if process["exe"].lower() == "setup.exe")


def kill(machine, image_name):
    """Ends the program as Task Manager's "End task" does: at once, no
    handler running."""
    machine.wine("taskkill", "/F", "/IM", image_name, check=False, timeout=60)


def kill_started_by_player(machine, image_name):
    """Ends, as kill() does, only the process of that program file that the
    harness's player started (the patch), not others of the same name (an
    uninstaller's copy is "setup.exe" too). False when there was none."""
    processes = machine.processes()
    players = {process["pid"] for process in processes if process["exe"].lower() == "player.exe"}
    targets = [process["pid"] for process in processes
               if process["exe"].lower() == image_name.lower() and process["parent"] in players]
    for pid in targets:
        machine.wine("taskkill", "/F", "/PID", str(pid), check=False, timeout=60)
    return bool(targets)


def start_swap(t, installed, new, linger=20, **disc):
    """Kestova INSTALLED installed, the other title's disc in E: (DISC: more
    settings of its setup), and the patch started in the background."""
    install_first_title(t, installed)
    root = insert_game_disc(t.machine, t.tools, "E", new, stamp=KNOWN_SETUP_STAMPS[1], linger=linger, **disc)
    before = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, installed)
    program = install_patch(t.machine, t.tools)
    first = Background(lambda: run_patch(t, "", [ask_disc(new, root)], program=program, timeout=90))
    return root, before, first


def expect_both_whole(t, installed, before, new, root):
    after = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, installed)
    expect_unchanged(t, before, after, installed + " under the shared code")
    expect_title_installed(t, ALTERNATE_PRODUCT_CODE, new, root)
    expect_redirected_folder(t, ALTERNATE_PRODUCT_CODE)
    expect_shortcut_names(t, new, ALTERNATE_PRODUCT_CODE)
    expect_code_free(t, PARKING_PRODUCT_CODE)


@scenario
def a_kill_after_the_setup_registered_is_finished_by_the_next_run(t):
    """The patch killed once Kestova 3's setup registered it: a run while it lingers only says so, then one finishes"""
    linger = 8
    root, before, first = start_swap(t, "Kestova 2", "Kestova 3", linger=linger)
    registered = wait_until(lambda: display_name(t.machine, SHARED_PRODUCT_CODE) == "Kestova 3")
    if not t.expect(registered, "the disc's setup never registered Kestova 3 under the shared code"):
        return
    kill(t.machine, PATCH_FILE_NAME)
    first.join()
    t.expect(t.machine.key_exists(uninstall_key(PARKING_PRODUCT_CODE)),
             "the killed run should have left Kestova 2 parked")
    expect_nothing_done_while_at_work(t, "Kestova 3")
    # The setup ends once it has lingered.
    ended = wait_until(lambda: not t.machine.program_runs("setup.exe"), timeout=linger + 60)
    if not t.expect(ended, "the disc's setup never ended"):
        return

    run = run_patch(t, "", [Box(PATCH_CAPTION, PUT_RIGHT, "OK")], timeout=90)
    t.expect_run(run, exit_code=0)
    expect_both_whole(t, "Kestova 2", before, "Kestova 3", root)
    t.expect(t.machine.value_text(RUN_ONCE_KEY, RUN_ONCE_VALUE) is None, "the RunOnce entry is left behind")


# The title under the shared code is not looked at (the program still at
# work may change it meanwhile).
ANY_TITLE = object()


def expect_nothing_done_while_at_work(t, under_shared_code):
    """A run while the setup the killed run started still works only says
    so: Kestova 2 stays parked, UNDER_SHARED_CODE (a title, None, or
    ANY_TITLE) stays."""
    run = run_patch(t, "", [warning(EARLIER_AT_WORK)], timeout=60)
    t.expect_run(run, exit_code=0)
    t.expect_equal(display_name(t.machine, PARKING_PRODUCT_CODE), "Kestova 2", "the parked title after a run while "
                   "the setup works")
    if under_shared_code is not ANY_TITLE:
        t.expect_equal(display_name(t.machine, SHARED_PRODUCT_CODE), under_shared_code,
                       "the title under the shared code after a run while the setup works")


@scenario
def a_kill_while_a_chained_setup_engine_works_is_waited_for_then_finished(t):
    """The patch killed while a chained setup's engine works: a run only says so; once the engine ended, one finishes"""
    linger = 5
    root, before, first = start_swap(t, "Kestova 2", "Kestova 3", linger=linger, chain=True, delay=15)
    parked = wait_until(lambda: t.machine.key_exists(uninstall_key(PARKING_PRODUCT_CODE)))
    if not t.expect(parked, "the patch never parked Kestova 2"):
        return
    # Killed once the bootstrapper has ended and the patch has recorded its
    # engine: the record then holds both (it keeps ended members) and one
    # setup.exe runs. (A record of one process is the bootstrapper alone,
    # before the patch has seen the engine: a fast machine is past that
    # before the harness has looked.)
    engine_alone = wait_until(lambda: (recorded_processes(t.machine) or 0) >= 2 and
                              setup_processes(t.machine) == 1, timeout=60)
    if not t.expect(engine_alone, "the patch never recorded the setup's engine alone"):
        return
    kill(t.machine, PATCH_FILE_NAME)
    first.join()
    if not t.expect(display_name(t.machine, SHARED_PRODUCT_CODE) is None,
                    "the engine registered before the patch was killed"):
        return
    expect_nothing_done_while_at_work(t, None)

    registered = wait_until(lambda: display_name(t.machine, SHARED_PRODUCT_CODE) == "Kestova 3", timeout=60)
    if not t.expect(registered, "the engine never registered Kestova 3 under the shared code"):
        return
    ended = wait_until(lambda: not t.machine.program_runs("setup.exe"), timeout=linger + 60)
    if not t.expect(ended, "the setup's engine never ended"):
        return
    run = run_patch(t, "", [Box(PATCH_CAPTION, PUT_RIGHT, "OK")], timeout=90)
    t.expect_run(run, exit_code=0)
    expect_both_whole(t, "Kestova 2", before, "Kestova 3", root)


@scenario
def a_second_copy_while_the_first_waits_changes_nothing(t):
    """A second copy started while the first waits for the setup says so; the first then finishes the swap"""
    root, before, first = start_swap(t, "Kestova 3", "Kestova 2")
    parked = wait_until(lambda: t.machine.key_exists(uninstall_key(PARKING_PRODUCT_CODE)))
    if not t.expect(parked, "the first copy never parked Kestova 3"):
        return
    second = run_patch(t, "", [warning(ALREADY_RUNNING)], program=install_patch(t.machine, t.tools), timeout=60)
    t.expect_run(second, exit_code=0)
    t.expect_run(first.join(), exit_code=0)
    expect_both_whole(t, "Kestova 3", before, "Kestova 2", root)


@scenario
def a_kill_during_the_uninstall_box_is_put_right_by_the_next_run(t):
    """The uninstall stage killed while its box waits, after the uninstaller removed Kestova 3: Kestova 2 comes back"""
    before = swap(t, "Kestova 2")
    if before is None:
        return
    # A slow uninstaller: the user is still going through it when the
    # patch, waiting in its box, is killed; the uninstaller goes on.
    t.machine.write_file(product_folder(ALTERNATE_PRODUCT_CODE) + r"\maintenance.ini", "delay=8000")
    removal = Background(
        lambda: remove_through_add_remove_programs(t.machine, ALTERNATE_PRODUCT_CODE, [wait_for_uninstall_box()]))
    waiting = wait_until(lambda: t.machine.key_exists(uninstall_key(PARKING_PRODUCT_CODE)) and
                         display_name(t.machine, SHARED_PRODUCT_CODE) == "Kestova 3")
    if not t.expect(waiting, "the uninstall stage never put Kestova 3 under the shared code"):
        return
    kill(t.machine, TEMPORARY_COPY.rsplit("\\", 1)[1])
    removal.join()
    removed = wait_until(lambda: not t.machine.key_exists(uninstall_key(SHARED_PRODUCT_CODE)))
    if not t.expect(removed, "the real uninstaller never removed Kestova 3"):
        return

    run = run_patch(t, "", [Box(PATCH_CAPTION, PUT_RIGHT, "OK")], timeout=90)
    t.expect_run(run, exit_code=0)
    expect_title_alone(t, "Kestova 2", before)


@scenario
def a_restart_while_the_setup_runs_is_finished_at_the_next_logon(t):
    """Every program ended while the setup runs, then the logon's RunOnce entry runs: both titles whole"""
    root, before, first = start_swap(t, "Kestova 2", "Kestova 3", linger=60)
    registered = wait_until(lambda: display_name(t.machine, SHARED_PRODUCT_CODE) == "Kestova 3")
    if not t.expect(registered, "the disc's setup never registered Kestova 3 under the shared code"):
        return
    command = t.machine.value_text(RUN_ONCE_KEY, RUN_ONCE_VALUE)
    t.expect_equal(command, '"%s" /resume-after-restart' % LASTING_COPY, "the RunOnce entry while the setup runs")
    t.expect(t.machine.read_file(LASTING_COPY) == t.tools.patch.read_bytes(),
             "the RunOnce entry's program is not a copy of the patch")

    # The next logon runs the entry as Windows' shell does, and as Wine's
    # wineboot does when the next session starts (for the 32-bit view too):
    # the entry is deleted, then its command line started. Wine runs it
    # before any other program of the new session can start, so the box of
    # the resumed run could not be answered there: the harness deletes the
    # entry while the machine still runs and starts the command itself.
    t.machine.wine("reg", "delete", RUN_ONCE_KEY, "/v", RUN_ONCE_VALUE, "/f", "/reg:32", check=False)
    # The machine goes down: every program of it ends at once.
    t.machine._restart_server()
    first.join()
    run = t.machine.run(command, [Box(PATCH_CAPTION, PUT_RIGHT, "OK")], timeout=120)
    t.expect_run(run, exit_code=0)
    expect_both_whole(t, "Kestova 2", before, "Kestova 3", root)
    t.expect(t.machine.value_text(RUN_ONCE_KEY, RUN_ONCE_VALUE) is None, "the resumed run arranged another start")

    # The next ordinary run finds everything whole and deletes the copy.
    again = run_patch(t, "", [warning("Both titles are already installed*")], timeout=60)
    t.expect_run(again, exit_code=0)
    t.expect(not t.machine.exists(LASTING_COPY), "the lasting copy of the patch is left behind")


# A file that never appears: a box scripted to wait for it stays up until
# its program is ended from outside.
NEVER = r"C:\never-answered"


def restart_and_run_at_logon(t, timeout=120):
    """The machine restarts and the next logon runs the RunOnce entry, as
    the restart scenario above plays it: the entry is deleted while the
    machine still runs (Wine would run it at the server's start, before any
    program of the harness could answer its box), every program ends, and
    the entry's command line is started. Returns the Run, or None without
    an entry."""
    command = t.machine.value_text(RUN_ONCE_KEY, RUN_ONCE_VALUE)
    if not t.expect(command is not None, "no RunOnce entry for the next logon"):
        return None
    t.expect_equal(command, '"%s" /resume-after-restart' % LASTING_COPY, "the RunOnce entry")
    t.machine.wine("reg", "delete", RUN_ONCE_KEY, "/v", RUN_ONCE_VALUE, "/f", "/reg:32", check=False)
    t.machine._restart_server()
    return t.machine.run(command, [Box(PATCH_CAPTION, PUT_RIGHT, "OK")], timeout=timeout)


@scenario
def a_kill_while_a_chained_uninstaller_works_is_waited_for_then_put_right(t):
    """The uninstall stage killed while its uninstaller's copy works: a run only says so; once it ended, one puts all right"""
    before = swap(t, "Kestova 2")
    if before is None:
        return
    t.machine.write_file(product_folder(ALTERNATE_PRODUCT_CODE) + r"\maintenance.ini", "chain=yes\r\ndelay=15000\r\n")
    removal = Background(lambda: remove_through_add_remove_programs(
        t.machine, ALTERNATE_PRODUCT_CODE, [Box(PATCH_CAPTION, WAIT_FOR_UNINSTALL, "OK", after_file=NEVER)],
        timeout=120))
    # While the box is up its loop records the copy the first process
    # started (the first process has ended by then).
    both = wait_until(lambda: recorded_processes(t.machine) == 2, timeout=60)
    if not t.expect(both, "the patch never recorded the uninstaller's copy while its box was up"):
        return
    # The patch runs as "setup.exe" from its temporary copy, and so does the
    # uninstaller's copy: only the patch is ended.
    t.expect(kill_started_by_player(t.machine, TEMPORARY_COPY.rsplit("\\", 1)[1]), "the patch was not running")
    removal.join()
    # The copy may have removed Kestova 3 by now, or not yet.
    expect_nothing_done_while_at_work(t, ANY_TITLE)

    ended = wait_until(lambda: not t.machine.program_runs("setup.exe"), timeout=90)
    if not t.expect(ended, "the uninstaller's copy never ended"):
        return
    run = run_patch(t, "", [Box(PATCH_CAPTION, PUT_RIGHT, "OK")], timeout=90)
    t.expect_run(run, exit_code=0)
    expect_title_alone(t, "Kestova 2", before)


@scenario
def a_restart_while_the_uninstall_box_waits_is_put_right_at_the_next_logon(t):
    """The uninstaller has removed Kestova 3, the machine restarts while the box waits: the logon's run puts Kestova 2 back"""
    before = swap(t, "Kestova 2")
    if before is None:
        return
    removal = Background(lambda: remove_through_add_remove_programs(
        t.machine, ALTERNATE_PRODUCT_CODE, [Box(PATCH_CAPTION, WAIT_FOR_UNINSTALL, "OK", after_file=NEVER)],
        timeout=120))
    removed = wait_until(lambda: display_name(t.machine, PARKING_PRODUCT_CODE) == "Kestova 2" and
                         display_name(t.machine, SHARED_PRODUCT_CODE) is None and
                         not t.machine.program_runs("setup_is.exe"), timeout=90)
    if not t.expect(removed, "the uninstaller never removed Kestova 3 while Kestova 2 was parked"):
        return
    run = restart_and_run_at_logon(t)
    removal.join()
    if run is None:
        return
    t.expect_run(run, exit_code=0)
    expect_title_alone(t, "Kestova 2", before)
    t.expect(t.machine.value_text(RUN_ONCE_KEY, RUN_ONCE_VALUE) is None, "the resumed run arranged another start")
