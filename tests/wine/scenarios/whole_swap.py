"""The whole swap: with one title installed, the patch installs the other
from its disc, so that each stands whole under a product code of its own;
removing the new title later through Add/Remove Programs leaves the first
one as it was."""

from harness.kestova import (ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE, PATCH_CAPTION, SHARED_PRODUCT_CODE,
                             expect_log_tells, patch_log_lines, product_folder, run_patch)
from harness.scenario import scenario
from harness.swap import (KNOWN_SETUP_STAMPS, OTHER_TITLE, add_arp_cache_entries, arp_cache_entries, ask_disc,
                          code_in, entry_write_time, expect_code_free, expect_title_gone, expect_title_installed,
                          expect_unchanged, folder_contents, helper, insert_game_disc, install_first_title,
                          read_shortcut, remove_through_add_remove_programs, remove_with_own_uninstaller,
                          started_processes, title_snapshot, uninstall_shortcut, wait_for_uninstall_box,
                          write_disc_settings)

# The installer's maintenance program takes this long (milliseconds) to
# remove a title: the user clicks only once it is done.
SLOW_REMOVAL_MS = 1500


def expect_box(t, box, caption, button_ids):
    t.expect_equal(box["caption"], caption, "caption of %r" % box["text"])
    t.expect_equal([button["id"] for button in box["buttons"]], button_ids, "buttons of %r" % box["text"])
    t.expect_equal(box["system_modal"], False, "%r is not system-modal" % box["text"])


def expect_redirected_folder(t, code):
    """The product folder holds the installer's program as "setup_is.exe",
    a copy of the patch as "setup.exe", and the log."""
    folder = folder_contents(t.machine, product_folder(code)) or {}
    t.expect_equal(sorted(folder), ["setup.exe", "setup.ilg", "setup_is.exe"], "files of the folder under " + code)
    t.expect(folder.get("setup_is.exe") == helper(t.tools, "maintenance.exe").read_bytes(),
             "setup_is.exe under %s is not the installer's maintenance program" % code)
    t.expect(folder.get("setup.exe") == t.tools.patch.read_bytes(),
             "setup.exe under %s is not a copy of kestova-patch.exe" % code)


def expect_shortcut_names(t, title, code):
    """The title's uninstall shortcut names CODE and is otherwise what its
    setup wrote."""
    link = read_shortcut(t.machine, uninstall_shortcut(title))
    if not t.expect(link is not None, "%s: no uninstall shortcut" % title):
        return
    t.expect_equal(code_in(link["arguments"]), code, "%s: product code in the uninstall shortcut's arguments" % title)
    written = product_folder(SHARED_PRODUCT_CODE)
    t.expect_equal(link["arguments"].replace(code, SHARED_PRODUCT_CODE),
                   'Ctor.dll,LaunchSetup "%s\\setup.exe" -runfromtemp -l0x0009 -removeonly' % written,
                   "%s: the shortcut's arguments apart from the product code" % title)
    t.expect_equal((link["target"] or "").lower(), r"c:\windows\system32\rundll32.exe", "%s: shortcut target" % title)
    t.expect_equal(link["description"], "Uninstall " + title, "%s: shortcut description" % title)


def swap(t, installed):
    """Installs the other title beside INSTALLED through the patch and
    checks the result. Returns the first title's snapshot, or None when the
    run went wrong."""
    new = OTHER_TITLE[installed]
    install_first_title(t, installed)
    new_root = insert_game_disc(t.machine, t.tools, "E", new, stamp=KNOWN_SETUP_STAMPS[1])
    add_arp_cache_entries(t.machine)
    before = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, installed)

    logged = len(patch_log_lines(t.machine))
    run = run_patch(t, "", [ask_disc(new, new_root)], timeout=90)
    t.expect_run(run, exit_code=0)
    if run.boxes:
        expect_box(t, run.boxes[0], PATCH_CAPTION, [6, 7])
    expect_log_tells(t, patch_log_lines(t.machine)[logged:], [
        "begins (install)",
        'Found "%s" under %s' % (installed, SHARED_PRODUCT_CODE),
        "Moving the uninstall entry %s to %s" % (SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE),
        "Entry moved",
        "Box: Found %s in drive" % new,
        "Answer: Yes",
        "Starting ",
        "Every program it started has ended",
        "Moving the uninstall entry %s to %s" % (SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE),
        "Entry moved",
        "Moving the uninstall entry %s to %s" % (PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE),
        "Entry moved",
        "Redirecting the uninstaller",
        "Uninstaller redirected",
        "Run ends",
    ], "the swap")

    after = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, installed)
    expect_unchanged(t, before, after, installed + " under the shared code")
    expect_title_installed(t, ALTERNATE_PRODUCT_CODE, new, new_root)
    expect_redirected_folder(t, ALTERNATE_PRODUCT_CODE)
    expect_shortcut_names(t, new, ALTERNATE_PRODUCT_CODE)
    expect_code_free(t, PARKING_PRODUCT_CODE)
    t.expect_equal(arp_cache_entries(t.machine), [], "Add/Remove Programs cache entries left")
    return after if not t.failures else None


def remove_new_title(t, installed, before):
    """Removes the title under the alternate code through Add/Remove
    Programs and checks that INSTALLED stands as BEFORE."""
    new = OTHER_TITLE[installed]
    t.machine.write_file(product_folder(ALTERNATE_PRODUCT_CODE) + r"\maintenance.ini", "delay=%d" % SLOW_REMOVAL_MS)
    logged = len(patch_log_lines(t.machine))
    run = remove_through_add_remove_programs(t.machine, ALTERNATE_PRODUCT_CODE, [wait_for_uninstall_box()])
    t.expect_run(run, exit_code=0)
    expect_log_tells(t, patch_log_lines(t.machine)[logged:], [
        "begins (uninstall)",
        "Moving the uninstall entry %s to %s" % (SHARED_PRODUCT_CODE, PARKING_PRODUCT_CODE),
        "Moving the uninstall entry %s to %s" % (ALTERNATE_PRODUCT_CODE, SHARED_PRODUCT_CODE),
        "Starting ",
        "Box: Please wait",
        "Moving the uninstall entry %s to %s" % (PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE),
        "Run ends",
    ], "the removal")
    if run.boxes:
        expect_box(t, run.boxes[0], PATCH_CAPTION, [1])
    t.expect_equal(len(started_processes(run)), 1, "programs the uninstall stage started (the real uninstaller)")

    after = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, installed)
    expect_unchanged(t, before, after, installed + " under the shared code")
    expect_code_free(t, ALTERNATE_PRODUCT_CODE)
    expect_code_free(t, PARKING_PRODUCT_CODE)
    expect_title_gone(t, new)


@scenario
def swap_installs_kestova_3_beside_kestova_2_and_removes_it(t):
    """Kestova 2 installed: the patch installs Kestova 3 under its own code; removing it keeps Kestova 2"""
    before = swap(t, "Kestova 2")
    if before is not None:
        remove_new_title(t, "Kestova 2", before)


@scenario
def swap_installs_kestova_2_beside_kestova_3_and_removes_it(t):
    """Kestova 3 installed: the patch installs Kestova 2 under its own code; removing it keeps Kestova 3"""
    before = swap(t, "Kestova 3")
    if before is not None:
        remove_new_title(t, "Kestova 3", before)


def remove_first_title_on_its_own(t, installed):
    """Removes INSTALLED (under the shared code) with its own uninstaller,
    which knows nothing of the patch."""
    run = remove_with_own_uninstaller(t.machine, SHARED_PRODUCT_CODE)
    t.expect_equal(run.exit_code, 0, "exit code of %s's own uninstaller" % installed)
    expect_code_free(t, SHARED_PRODUCT_CODE)
    expect_title_gone(t, installed)


@scenario
def removing_the_last_title_through_the_patch_leaves_nothing(t):
    """Kestova 2 removed on its own first: removing Kestova 3 through the patch then leaves no registration"""
    if swap(t, "Kestova 2") is None:
        return
    remove_first_title_on_its_own(t, "Kestova 2")
    run = remove_through_add_remove_programs(t.machine, ALTERNATE_PRODUCT_CODE, [wait_for_uninstall_box()])
    t.expect_run(run, exit_code=0)
    for code in (SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE):
        expect_code_free(t, code)
    expect_title_gone(t, "Kestova 3")


@scenario
def reinstalling_beside_a_title_under_the_alternate_code(t):
    """Kestova 3 alone under the alternate code: the patch runs Kestova 2's setup and moves nothing"""
    if swap(t, "Kestova 2") is None:
        return
    remove_first_title_on_its_own(t, "Kestova 2")
    before = title_snapshot(t.machine, t.tools, ALTERNATE_PRODUCT_CODE, "Kestova 3")
    written = entry_write_time(t.machine, t.tools, ALTERNATE_PRODUCT_CODE)
    first_root = "D:\\"
    write_disc_settings(t.machine, first_root, "Kestova 2")

    run = run_patch(t, "", [ask_disc("Kestova 2", first_root)], timeout=90)
    t.expect_run(run, exit_code=0)

    expect_title_installed(t, SHARED_PRODUCT_CODE, "Kestova 2", first_root)
    folder = folder_contents(t.machine, product_folder(SHARED_PRODUCT_CODE)) or {}
    t.expect_equal(sorted(folder), ["setup.exe", "setup.ilg"], "files under the shared code (not redirected)")
    link = read_shortcut(t.machine, uninstall_shortcut("Kestova 2")) or {}
    t.expect_equal(code_in(link.get("arguments")), SHARED_PRODUCT_CODE, "Kestova 2's uninstall shortcut (kept)")
    after = title_snapshot(t.machine, t.tools, ALTERNATE_PRODUCT_CODE, "Kestova 3")
    expect_unchanged(t, before, after, "Kestova 3 under the alternate code")
    t.expect_equal(entry_write_time(t.machine, t.tools, ALTERNATE_PRODUCT_CODE), written,
                   "last write of Kestova 3's entry (never moved)")
    expect_code_free(t, PARKING_PRODUCT_CODE)
    if not t.failures:
        remove_new_title(t, "Kestova 2", title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, "Kestova 2"))
