"""Programs the patch starts run as chains (a first process that starts the
real work from a temporary copy and ends at once), and inputs the patch did
not write: the patch never acts while any process of the chain still works,
keeps every property of the shortcut it rewrites, and runs from a folder
whose name the ANSI code page cannot hold."""

from harness.kestova import (ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE, PATCH_CAPTION, SHARED_PRODUCT_CODE,
                             command_line, install_patch, product_folder, run_patch)
from harness.player import Box
from harness.scenario import scenario
from harness.swap import (KNOWN_SETUP_STAMPS, WAIT_FOR_UNINSTALL, add_arp_cache_entries, ask_disc, expect_code_free,
                          expect_title_alone, expect_title_installed, expect_unchanged, game_folder,
                          helper, insert_game_disc, install_first_title, read_shortcut,
                          remove_through_add_remove_programs, title_snapshot, uninstall_shortcut)
from scenarios.interruptions import Background, wait_until
from scenarios.whole_swap import expect_redirected_folder, expect_shortcut_names

STILL_RUNNING = ("The uninstall is still running.\n\nPlease wait till the uninstall is complete, then click on "
                 "Retry.\nClick on Cancel to stop waiting.")
# The engine of the chained setup registers the title this many seconds
# after its bootstrapper has ended: beyond the patch's 30 s grace after a
# setup's end (the run used 45 s; less keeps the wall time down).
ENGINE_DELAY_SECONDS = 35
# The copy of the chained uninstaller takes this long (ms) to remove the
# title, well beyond the stage's 2 s look after the user's click.
COPY_REMOVAL_MS = 7000


def swap_kestova_3_in(t, program=None, boxes=(), before_run=None, **disc):
    """Kestova 2 installed, the patch (PROGRAM, or the usual copy) installs
    Kestova 3 from drive E: (BOXES: what the patch shows after the disc
    question; BEFORE_RUN: called just before the patch starts, False stops
    the scenario). Returns Kestova 2's snapshot, or None when the run went
    wrong."""
    install_first_title(t, "Kestova 2")
    root = insert_game_disc(t.machine, t.tools, "E", "Kestova 3", stamp=KNOWN_SETUP_STAMPS[1], **disc)
    add_arp_cache_entries(t.machine)
    before = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, "Kestova 2")
    if before_run is not None and not before_run():
        return None
    run = run_patch(t, "", [ask_disc("Kestova 3", root)] + list(boxes), program=program, timeout=150)
    t.expect_run(run, exit_code=0)
    after = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, "Kestova 2")
    expect_unchanged(t, before, after, "Kestova 2 under the shared code")
    late_texts = {"InstallDate": "20261210"} if disc.get("late_write") else None
    expect_title_installed(t, ALTERNATE_PRODUCT_CODE, "Kestova 3", root, late_texts)
    expect_redirected_folder(t, ALTERNATE_PRODUCT_CODE)
    expect_shortcut_names(t, "Kestova 3", ALTERNATE_PRODUCT_CODE)
    expect_code_free(t, PARKING_PRODUCT_CODE)
    return after if not t.failures else None


def remove_kestova_3_while_its_copy_works(t, before, settings):
    """Removes Kestova 3 (under the alternate code) through Add/Remove
    Programs; its real uninstaller, set up by SETTINGS (maintenance.ini),
    runs as a chain. The user clicks OK at once; the patch asks again while
    the copy runs, and the player answers Retry once the copy has ended (if
    it lost track of the short-lived first process, it answers earlier and
    the box comes again: hence the optional repeats). Kestova 2 is then
    alone and as BEFORE."""
    t.machine.write_file(product_folder(ALTERNATE_PRODUCT_CODE) + r"\maintenance.ini", settings)
    script = [Box(PATCH_CAPTION, WAIT_FOR_UNINSTALL, "OK"),
              Box(PATCH_CAPTION, STILL_RUNNING, "Retry", after_children=True)]
    script += [Box(PATCH_CAPTION, STILL_RUNNING, "Retry", optional=True) for _ in range(6)]
    run = remove_through_add_remove_programs(t.machine, ALTERNATE_PRODUCT_CODE, script, timeout=90)
    t.expect_run(run, exit_code=0)
    expect_title_alone(t, "Kestova 2", before)


@scenario
def a_setup_whose_bootstrapper_ends_at_once_is_waited_for_until_its_engine_registers(t):
    """The disc's setup starts its engine from a temporary copy and ends; the engine registers 35 s later"""
    swap_kestova_3_in(t, chain=True, delay=ENGINE_DELAY_SECONDS)


@scenario
def an_uninstaller_run_from_a_temporary_copy_is_waited_for_when_ok_comes_at_once(t):
    """The real uninstaller copies itself to a temporary folder and ends; OK at once: the patch waits for the copy"""
    before = swap_kestova_3_in(t)
    if before is None:
        return
    remove_kestova_3_while_its_copy_works(t, before, "chain=yes\r\ndelay=%d\r\n" % COPY_REMOVAL_MS)


@scenario
def the_retargeted_shortcut_keeps_its_working_folder_icon_hotkey_and_show_command(t):
    """After the swap the new title's uninstall shortcut names the alternate code and keeps all else"""
    if swap_kestova_3_in(t) is None:
        return
    link = read_shortcut(t.machine, uninstall_shortcut("Kestova 3")) or {}
    # What the title's setup wrote (helpers/disc_setup.cpp).
    t.expect_equal(link.get("working_folder"), product_folder(SHARED_PRODUCT_CODE), "shortcut's working folder")
    t.expect_equal(link.get("icon_location"), game_folder("Kestova 3") + r"\Kestova 3.exe", "shortcut's icon file")
    t.expect_equal(link.get("icon_index"), 0, "shortcut's icon index")
    t.expect_equal(link.get("hotkey"), 0x0655, "shortcut's hot key (Ctrl+Alt+U)")
    t.expect_equal(link.get("show_command"), 7, "shortcut's show command (SW_SHOWMINNOACTIVE)")


@scenario
def the_patch_runs_from_a_folder_outside_the_ansi_code_page(t):
    """Started from C:\\users\\Ωmega\\Downloads, the patch still puts its copy into the new title's folder"""
    program = install_patch(t.machine, t.tools, folder="C:\\users\\\u03a9mega\\Downloads")
    swap_kestova_3_in(t, program=program)



# Another program of the titles (helpers/disc_setup.cpp with action=hold):
# it holds the setup's mutex until the patch asks for it to be closed.
CONFIGURATION_FOLDER = r"C:\Program Files\Quenmoor\Configuration"
CONFIGURATION_CLOSED = CONFIGURATION_FOLDER + r"\closed.txt"
CONFIGURATION_READY = CONFIGURATION_FOLDER + r"\ready.txt"
MUTEX_TAKEN = ("Another program of the titles is running (a configuration program or a game), so the patch could "
               "not tell when the disc's setup is ready.\n\nClose it, then click on Retry.\nClick on Cancel to stop: "
               "the installed title is kept as it was.")


def start_configuration_program(t):
    """Starts the program that holds the setup's mutex; returns once it
    holds it (False when it never did)."""
    t.machine.copy_file(helper(t.tools, "disc_setup.exe"), CONFIGURATION_FOLDER + r"\config.exe")
    t.machine.write_file(CONFIGURATION_FOLDER + r"\disc.ini",
                         ("action=hold\ngate=%s\nready=%s\n" % (CONFIGURATION_CLOSED, CONFIGURATION_READY)).encode())
    Background(lambda: t.machine.run(command_line(CONFIGURATION_FOLDER + r"\config.exe"), [], timeout=300))
    return t.expect(wait_until(lambda: t.machine.exists(CONFIGURATION_READY), timeout=60),
                    "the configuration program never took the setup's mutex")


@scenario
def a_setup_signal_held_by_another_program_is_reported_and_retried_once_it_is_closed(t):
    """A configuration program holds the setup's mutex: the patch asks to close it, Retry installs Kestova 3 as usual"""
    swap_kestova_3_in(t, boxes=[Box(PATCH_CAPTION, MUTEX_TAKEN, "Retry", after_file=CONFIGURATION_CLOSED)],
                      before_run=lambda: start_configuration_program(t))


@scenario
def a_setup_signal_held_by_another_program_and_cancel_keep_the_installed_title(t):
    """A configuration program holds the setup's mutex: Cancel puts Kestova 2 back and starts no setup"""
    install_first_title(t, "Kestova 2")
    root = insert_game_disc(t.machine, t.tools, "E", "Kestova 3", stamp=KNOWN_SETUP_STAMPS[1])
    before = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, "Kestova 2")
    if not start_configuration_program(t):
        return
    run = run_patch(t, "", [ask_disc("Kestova 3", root), Box(PATCH_CAPTION, MUTEX_TAKEN, "Cancel")], timeout=90)
    t.expect_run(run, exit_code=0)
    t.expect_equal(len(run.boxes), 2, "boxes shown (no other after Cancel)")
    expect_title_alone(t, "Kestova 2", before)


@scenario
def what_the_setup_writes_8_s_after_its_signal_lands_in_its_own_title(t):
    """The setup writes a value into its entry 8 s after its signal: the patch waits, Kestova 2 stays untouched"""
    # Kestova 2's snapshot before and after, and Kestova 3's entry with the
    # late value under the alternate code, are checked by the swap itself.
    swap_kestova_3_in(t, late_write=8)


@scenario
def an_uninstaller_copy_started_outside_the_job_is_waited_for(t):
    """The real uninstaller starts its copy with breakaway from the job; OK at once: the patch still waits for the copy"""
    before = swap_kestova_3_in(t)
    if before is None:
        return
    remove_kestova_3_while_its_copy_works(t, before, "chain=yes\r\nbreakaway=yes\r\ndelay=%d\r\n" % COPY_REMOVAL_MS)
