"""The swap put right whatever state it meets: uninstall entries whose texts
name the product folders through "%ProgramFiles%", an empty folder left long
ago under the alternate code, and a first move of the swap that the system
refuses once (a file of the new title's folder still open); each ends with
both titles whole."""

import subprocess
import threading
import time

from harness.kestova import (ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE, PATCH_CAPTION, SHARED_PRODUCT_CODE,
                             product_folder, run_patch, uninstall_key)
from harness.machine import REG_EXPAND_SZ, RegValue
from harness.player import Box
from harness.scenario import scenario
from harness.swap import (KNOWN_SETUP_STAMPS, ask_disc, expect_code_free, export_key, folder_contents, helper,
                          insert_game_disc, install_first_title, start_menu_folder, text_value, value_map, warning)

EXPANDABLE_ROOT = r"%ProgramFiles%\InstallShield Installation Information"


def expandable_texts(code):
    return {"UninstallString": '"%s\\%s\\setup.exe" -runfromtemp -l0x0009 -removeonly' % (EXPANDABLE_ROOT, code),
            "LogFile": "%s\\%s\\setup.ilg" % (EXPANDABLE_ROOT, code)}


def expect_whole(t, code, title, redirected, expandable=False):
    """TITLE stands under CODE: its entry (texts naming CODE, still
    expandable when EXPANDABLE) and its product folder, with its own
    uninstaller or, when REDIRECTED, a copy of the patch in front of it."""
    entry = export_key(t.machine, t.tools, uninstall_key(code))
    if not t.expect(entry is not None, "%s: no uninstall entry under %s" % (title, code)):
        return
    t.expect_equal(text_value(entry, "DisplayName"), title, "the title under " + code)
    for name in ("UninstallString", "LogFile"):
        text = text_value(entry, name) or ""
        t.expect(code in text, "%s of %s does not name %s: %r" % (name, title, code, text))
        if expandable:
            t.expect_equal(value_map(entry)[name][0], REG_EXPAND_SZ, "type of %s of %s" % (name, title))
            t.expect_equal(text, expandable_texts(code)[name], "%s of %s" % (name, title))
    folder = folder_contents(t.machine, product_folder(code)) or {}
    t.expect("setup.ilg" in folder, "%s: no product folder under %s: %r" % (title, code, sorted(folder)))
    maintenance = helper(t.tools, "maintenance.exe").read_bytes()
    if redirected:
        t.expect(folder.get("setup.exe") == t.tools.patch.read_bytes(), "%s: setup.exe is not the patch" % title)
        t.expect(folder.get("setup_is.exe") == maintenance, "%s: setup_is.exe is not its uninstaller" % title)
    else:
        t.expect(folder.get("setup.exe") == maintenance, "%s: setup.exe is not its own uninstaller" % title)


def expect_both_whole(t, expandable=False):
    expect_whole(t, SHARED_PRODUCT_CODE, "Kestova 2", False, expandable)
    expect_whole(t, ALTERNATE_PRODUCT_CODE, "Kestova 3", True, expandable)
    expect_code_free(t, PARKING_PRODUCT_CODE)


def insert_kestova_3(t, extra_settings=""):
    root = insert_game_disc(t.machine, t.tools, "E", "Kestova 3", stamp=KNOWN_SETUP_STAMPS[1], linger=3)
    if extra_settings:
        t.machine.write_file(root + "disc.ini", t.machine.read_file(root + "disc.ini") + extra_settings.encode())
    return root


@scenario
def texts_through_program_files_swap_whole(t):
    """Both titles' texts name their folders through %ProgramFiles% (REG_EXPAND_SZ): the swap moves each folder"""
    install_first_title(t, "Kestova 2")
    t.machine.set_registry({uninstall_key(SHARED_PRODUCT_CODE): {
        name: RegValue(REG_EXPAND_SZ, (text + "\0").encode("utf-16-le"))
        for name, text in expandable_texts(SHARED_PRODUCT_CODE).items()}})
    root = insert_kestova_3(t, "texts=expand\n")
    run = run_patch(t, "", [ask_disc("Kestova 3", root)], timeout=120)
    t.expect_run(run, exit_code=0)
    expect_both_whole(t, expandable=True)


@scenario
def an_empty_folder_under_the_alternate_code_blocks_nothing(t):
    """An empty product folder left long ago under the alternate code: it goes, and the swap ends whole"""
    install_first_title(t, "Kestova 2")
    t.machine.mkdir(product_folder(ALTERNATE_PRODUCT_CODE))
    root = insert_kestova_3(t)
    run = run_patch(t, "", [ask_disc("Kestova 3", root)], timeout=120)
    t.expect_run(run, exit_code=0)
    expect_both_whole(t)


def freeze_when_registered(t, folder, done):
    """Makes FOLDER immutable (no rename) once the disc's setup has
    registered the new title in it and written its shortcuts, that is,
    before the patch's pause after the setup's signal ends."""
    path = t.machine.path(folder)
    menu = t.machine.path(start_menu_folder("Kestova 3"))
    deadline = time.monotonic() + 300
    while time.monotonic() < deadline and not done.is_set():
        if (path / "setup.ilg").exists() and menu.is_dir() and t.machine.path(
                product_folder(PARKING_PRODUCT_CODE)).is_dir():
            subprocess.run(["chattr", "+i", str(path)], check=True)
            return
        time.sleep(0.05)


@scenario
def a_first_move_refused_once_is_put_right_by_the_next_run(t):
    """The new title's folder cannot be moved once: one box, the parked title waits, the next run ends whole"""
    install_first_title(t, "Kestova 2")
    root = insert_kestova_3(t)
    folder = product_folder(SHARED_PRODUCT_CODE)
    done = threading.Event()
    freezer = threading.Thread(target=freeze_when_registered, args=(t, folder, done))
    freezer.start()
    try:
        run = run_patch(t, "", [
            ask_disc("Kestova 3", root),
            warning("Could not move the product folder *%s to %s.\nThe title stays registered under %s." %
                    (SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, SHARED_PRODUCT_CODE)),
            warning("Kestova 2 is still registered under %s: it could not be moved back safely.\n"
                    "Run the patch again to put it back." % PARKING_PRODUCT_CODE),
        ], timeout=180)
    finally:
        done.set()
        freezer.join()
        subprocess.run(["chattr", "-i", str(t.machine.path(folder))], check=False)
    t.expect_run(run, exit_code=0)
    run_once = export_key(t.machine, t.tools, r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\RunOnce")
    t.expect(run_once is not None and text_value(run_once, "Kestova Patch") is not None,
             "the restart arrangement went while Kestova 2 is parked")

    time.sleep(3)  # the disc's setup lingers a little after its signal
    again = run_patch(t, "", [Box(PATCH_CAPTION, "An earlier run of the patch was interrupted.*")], timeout=120)
    t.expect_run(again, exit_code=0)
    expect_both_whole(t)
