"""When the other title's setup is not run (the disc declined, a disc that
needs no patch, DirectX too old) or never signals, the installed title comes
back under the shared code byte for byte and nothing else is registered."""

from harness.kestova import (ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE, PATCH_CAPTION, PATCH_FOLDER,
                             SHARED_PRODUCT_CODE, run_patch)
from harness.player import Box
from harness.scenario import scenario
from harness.swap import (GAVE_UP_WAITING, NO_PATCH_NEEDED, OTHER_SETUP_STAMP, OTHER_TITLE, add_arp_cache_entries,
                          arp_cache_entries, ask_disc, directx_question, disc_not_found, entry_write_time,
                          expect_code_free, expect_title_gone, expect_unchanged, helper, insert_game_disc,
                          install_first_title, started_processes, title_snapshot, warning, without_directx_9)


class Attempt:
    """A machine with INSTALLED installed and the other title's disc in
    drive E:, and what is needed to check that a failed run changed
    nothing."""

    def __init__(self, t, installed, **disc):
        self.t = t
        self.installed = installed
        self.new = OTHER_TITLE[installed]
        install_first_title(t, installed)
        self.root = insert_game_disc(t.machine, t.tools, "E", self.new, **disc)
        add_arp_cache_entries(t.machine)
        self.before = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, installed)
        self.written = entry_write_time(t.machine, t.tools, SHARED_PRODUCT_CODE)

    def run(self, script, **options):
        run = run_patch(self.t, "", script, **options)
        self.t.expect_run(run, exit_code=0)
        return run

    def expect_nothing_changed(self):
        t = self.t
        after = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, self.installed)
        expect_unchanged(t, self.before, after, self.installed + " under the shared code")
        t.expect((entry_write_time(t.machine, t.tools, SHARED_PRODUCT_CODE) or 0) > self.written,
                 "the installed title was never parked (its uninstall entry was not moved)")
        expect_code_free(t, ALTERNATE_PRODUCT_CODE)
        expect_code_free(t, PARKING_PRODUCT_CODE)
        expect_title_gone(t, self.new)
        t.expect_equal(arp_cache_entries(t.machine), [SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE],
                       "Add/Remove Programs cache entries (untouched)")


@scenario
def declining_the_disc_keeps_the_installed_title(t):
    """The user declines the disc: "Could not find", and Kestova 2 is back as it was"""
    attempt = Attempt(t, "Kestova 2")
    run = attempt.run([ask_disc("Kestova 3", attempt.root, "No"), warning(disc_not_found("Kestova 3"))])
    t.expect_equal(len(started_processes(run)), 0, "programs started")
    attempt.expect_nothing_changed()


@scenario
def a_disc_that_needs_no_patch_keeps_the_installed_title(t):
    """A setup of another build: "doesn't require the patch", and Kestova 3 is back as it was"""
    attempt = Attempt(t, "Kestova 3", stamp=OTHER_SETUP_STAMP)
    run = attempt.run([ask_disc("Kestova 2", attempt.root), warning(NO_PATCH_NEEDED)])
    t.expect_equal(len(started_processes(run)), 0, "programs started (the setup must not run)")
    attempt.expect_nothing_changed()


@scenario
def a_setup_that_never_signals_keeps_the_installed_title(t):
    """The setup ends without its mutex: the patch gives up after its grace period and Kestova 2 is back"""
    attempt = Attempt(t, "Kestova 2", action="cancel")
    attempt.run([ask_disc("Kestova 3", attempt.root), warning(GAVE_UP_WAITING)], timeout=150)
    attempt.expect_nothing_changed()


@scenario
def directx_too_old_keeps_the_installed_title(t):
    """DirectX 8 only: the patch offers DirectX, starts its setup on Yes, and Kestova 3 is back as it was"""
    attempt = Attempt(t, "Kestova 3")
    without_directx_9(t.machine)
    # The DirectX setup that the patch offers for Kestova 2 lies below the
    # folder it was started from; the one for Windows XP is missing, so that
    # only a start of the right one shows.
    t.machine.copy_file(helper(t.tools, "maintenance.exe"), PATCH_FOLDER + r"\directx81b\dxsetup.exe")
    # Started outside a product folder it has nothing to remove and would
    # end at once, possibly before the player's look at the process list;
    # a delay keeps it there long enough to be counted.
    t.machine.write_file(PATCH_FOLDER + r"\directx81b\maintenance.ini", "delay=2000")
    run = attempt.run([ask_disc("Kestova 2", attempt.root), Box(PATCH_CAPTION, directx_question("Kestova 2"), "Yes")],
                      cwd=PATCH_FOLDER)
    t.expect_equal(len(started_processes(run)), 1, "programs started (the DirectX setup only)")
    attempt.expect_nothing_changed()
