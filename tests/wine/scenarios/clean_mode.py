"""Clean mode: the word "clean" on the command line removes every
registration of both titles and the publisher's key, and nothing else."""

from harness.kestova import (ARP_CACHE_KEY, CLEANED_OKAY, INSTALL_INFO_ROOT, NOT_INSTALLED, PARKING_PRODUCT_CODE,
                             PRODUCT_CODES, PUBLISHER_KEY, UNINSTALL_KEY, add_publisher_key, command_line,
                             expect_log_tells, expect_no_registration, expect_registration, install_patch,
                             patch_log_lines, product_folder, register_title, run_patch)
from harness.player import Box
from harness.scenario import Test, note_log_tail, scenario

CLEANED = Box("", CLEANED_OKAY, "OK")

# Things that clean mode must leave alone: another product's registration,
# the Add/Remove Programs cache and a key that only starts like the
# publisher's.
OTHER_CODE = "{11111111-2222-3333-4444-555555555555}"
LOOKALIKE_PUBLISHER_KEY = PUBLISHER_KEY + " Tools"


def set_up_everything(t):
    """Both titles and a parked one, the publisher's key, and the
    neighbours that must survive."""
    titles = ("Kestova 2", "Kestova 3", "Kestova 2")
    for code, title in zip(PRODUCT_CODES, titles):
        register_title(t.machine, code, title)
    t.machine.write_file(product_folder(PRODUCT_CODES[0]) + r"\Sub Folder\data.bin", b"\0" * 64)
    add_publisher_key(t.machine)
    register_title(t.machine, OTHER_CODE, "Another Game")
    t.machine.set_registry({
        ARP_CACHE_KEY + "\\" + PRODUCT_CODES[0]: {"SlowInfoCache": b"\x01\x02"},
        LOOKALIKE_PUBLISHER_KEY: {"Owner": "someone else"},
    })


def expect_everything_removed(t):
    for code in PRODUCT_CODES:
        expect_no_registration(t, code)
    t.expect(not t.machine.key_exists(PUBLISHER_KEY), "the publisher's key should be gone")


def expect_neighbours_kept(t):
    expect_registration(t, OTHER_CODE, "Another Game")
    t.expect(t.machine.exists(INSTALL_INFO_ROOT), "the folder of all product folders stays")
    t.expect(t.machine.key_exists(UNINSTALL_KEY), "the uninstall key itself stays")
    t.expect(t.machine.key_exists(ARP_CACHE_KEY + "\\" + PRODUCT_CODES[0]), "the cache entry stays")
    t.expect(t.machine.key_exists(LOOKALIKE_PUBLISHER_KEY), "a key that only starts like the publisher's stays")


def expect_cleaned_box(t, run):
    """Clean mode's one box: "CLEANED OKAY", empty caption, OK only, and
    (MB_ICONINFORMATION, not MB_SYSTEMMODAL) not system-modal."""
    if not t.expect_equal(run.box_texts(), [CLEANED_OKAY], "boxes shown"):
        return
    box = run.boxes[0]
    t.expect_equal([button["id"] for button in box["buttons"]], [1], "buttons of the report")
    t.expect_equal(box["system_modal"], False, "the report is not system-modal")


@scenario
def clean_mode_removes_every_registration(t):
    """ "clean" deletes all three codes' product folders and uninstall entries and the publisher's key"""
    set_up_everything(t)
    run = run_patch(t, "clean", [CLEANED])
    t.expect_run(run, exit_code=0)
    expect_cleaned_box(t, run)
    expect_everything_removed(t)
    expect_neighbours_kept(t)


@scenario
def clean_mode_on_an_empty_machine(t):
    """Clean mode with nothing to remove still reports "CLEANED OKAY" """
    run = run_patch(t, "clean", [CLEANED])
    t.expect_run(run, exit_code=0)
    expect_cleaned_box(t, run)
    expect_everything_removed(t)


@scenario
def clean_mode_logs_what_it_found_and_keeps_the_log(t):
    """Clean mode writes its run into the log and keeps it; a failed scenario would show the log's end"""
    set_up_everything(t)
    run = run_patch(t, "clean", [CLEANED])
    t.expect_run(run, exit_code=0)
    expect_log_tells(t, patch_log_lines(t.machine), [
        "begins (clean)",
        'Found "Kestova 2" under ' + PRODUCT_CODES[0],
        'Found "Kestova 3" under ' + PRODUCT_CODES[1],
        'Found "Kestova 2" under ' + PRODUCT_CODES[2],
        "Deleting every registration of both titles",
        "Box: " + CLEANED_OKAY,
        "Answer: OK",
        "Run ends",
    ], "clean mode")
    shown = Test(t.machine, t.tools)
    note_log_tail(shown, t.machine)
    t.expect(any(note.strip() == "Run ends" for note in shown.notes),
             "the notes of a failed scenario do not show the log's end: %r" % shown.notes)


@scenario
def clean_mode_command_line_variants(t):
    """/clean, -clean now and cleanup clean too, as does "clean" for a copy whose path holds ".tmp" """
    program = install_patch(t.machine, t.tools)
    temporary_copy = install_patch(t.machine, t.tools, folder=r"C:\x.tmp")
    for line in (command_line(program, "/clean"), command_line(program, "-clean now"),
                 command_line(program, "cleanup"), command_line(temporary_copy, "clean")):
        register_title(t.machine, PARKING_PRODUCT_CODE, "Kestova 3")
        add_publisher_key(t.machine)
        run = t.machine.run(line, [CLEANED])
        t.expect_run(run, exit_code=0)
        expect_no_registration(t, PARKING_PRODUCT_CODE)
        t.expect(not t.machine.key_exists(PUBLISHER_KEY), "the publisher's key should be gone after " + line)


# The runs below must not clean. The machine holds what clean mode would
# delete (the product folders of all three codes and the publisher's key)
# but no uninstall entry of the titles, so the install stage that runs
# instead stops at once with its "not installed" message, before it changes
# anything. The message is optional: a build whose install stage is not
# wired up yet shows nothing.
NOT_CLEANED = [Box("", NOT_INSTALLED, "OK", optional=True)]


def set_up_unregistered_leftovers(t):
    for code in PRODUCT_CODES:
        t.machine.write_file(product_folder(code) + r"\setup.exe", b"MZ")
    add_publisher_key(t.machine)


def expect_nothing_removed(t, line):
    for code in PRODUCT_CODES:
        t.expect(t.machine.exists(product_folder(code) + r"\setup.exe"),
                 "the product folder of %s was changed by %s" % (code, line))
    t.expect(t.machine.key_exists(PUBLISHER_KEY + r"\Kestova 3\Settings"), "the publisher's key was changed by " + line)


@scenario
def clean_in_capitals_does_not_clean(t):
    """The command lines CLEAN and Clean do not select clean mode"""
    set_up_unregistered_leftovers(t)
    program = install_patch(t.machine, t.tools)
    for arguments in ("CLEAN", "Clean"):
        line = command_line(program, arguments)
        run = t.machine.run(line, NOT_CLEANED)
        t.expect_run(run, exit_code=0)
        t.expect(CLEANED_OKAY not in run.box_texts(), "clean mode ran for " + line)
        expect_nothing_removed(t, line)


@scenario
def clean_in_the_program_path_does_not_clean(t):
    """A copy in a folder named with "clean", started without arguments, does not clean"""
    set_up_unregistered_leftovers(t)
    quoted = install_patch(t.machine, t.tools, folder=r"C:\clean up")
    unquoted = install_patch(t.machine, t.tools, folder=r"C:\cleaner")
    for line in (command_line(quoted), unquoted):
        run = t.machine.run(line, NOT_CLEANED)
        t.expect_run(run, exit_code=0)
        t.expect(CLEANED_OKAY not in run.box_texts(), "clean mode ran for " + line)
        expect_nothing_removed(t, line)
