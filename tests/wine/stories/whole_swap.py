"""The whole swap: Kestova 3 installed beside Kestova 2 through the patch,
and removed again later through Add/Remove Programs."""

from harness.kestova import ALTERNATE_PRODUCT_CODE, SHARED_PRODUCT_CODE, product_folder
from harness.story import story
from harness.swap import (ask_disc, code_in, insert_game_disc, install_from_disc, read_shortcut,
                          remove_through_add_remove_programs, uninstall_shortcut, wait_for_uninstall_box)


def show_run(demo, run, what):
    demo.out("")
    for line in run.describe():
        demo.out(line)
    if not run.passed or run.exit_code != 0:
        demo.problems.append("%s did not go as told (exit code %r)" % (what, run.exit_code))


def show_shortcuts(demo, titles):
    demo.out("")
    demo.out("Uninstall shortcuts in the Start menu:")
    for title in titles:
        link = read_shortcut(demo.machine, uninstall_shortcut(title))
        if link is None:
            demo.out("  Uninstall %s.lnk: none" % title)
        else:
            demo.out("  Uninstall %s.lnk names %s" % (title, code_in(link["arguments"])))


def show_redirection(demo):
    folder = product_folder(ALTERNATE_PRODUCT_CODE)
    if not demo.machine.exists(folder + r"\setup.exe"):
        return
    copy = demo.machine.read_file(folder + r"\setup.exe") == demo.tools.patch.read_bytes()
    demo.out("  (under the alternate code, setup.exe is %s and setup_is.exe the installer's own program)" %
             ("a copy of the patch" if copy else "NOT a copy of the patch"))


@story
def whole_swap(demo):
    """The whole swap: Kestova 3 installed beside Kestova 2, then removed again"""
    machine = demo.machine
    demo.say("A machine on which the user installed Kestova 2 from its disc (drive D:, label \"KS2\").\n"
             "Both titles' setups register under the same product code, the shared one.")
    first = insert_game_disc(machine, demo.tools, "D", "Kestova 2", linger=0)
    show_run(demo, install_from_disc(machine, first), "Kestova 2's setup")
    demo.show_registrations("Registrations with Kestova 2 installed")

    demo.say("The Kestova 3 disc goes into drive E: (label \"Kestova 3\") and the user starts the patch.\n"
             "It parks Kestova 2 under the parking code, runs the disc's setup, which installs Kestova 3\n"
             "under the shared code and signals through its mutex, moves Kestova 3 to the alternate code,\n"
             "points its uninstall shortcut there, puts Kestova 2 back and redirects Kestova 3's uninstaller.")
    root = insert_game_disc(machine, demo.tools, "E", "Kestova 3", linger=10)
    demo.run_patch("", [ask_disc("Kestova 3", root)], timeout=90)
    demo.show_registrations("Registrations after the swap")
    show_redirection(demo)
    show_shortcuts(demo, ("Kestova 2", "Kestova 3"))

    demo.say("Later the user removes Kestova 3 in Add/Remove Programs. The installer's engine runs the\n"
             "product folder's setup.exe - the patch's copy - from a temporary folder ending in .TMP.\n"
             "The patch parks Kestova 2, moves Kestova 3 back to the shared code, starts the real\n"
             "uninstaller and waits for the user's click; the user clicks once the uninstaller is done.")
    run = remove_through_add_remove_programs(machine, ALTERNATE_PRODUCT_CODE, [wait_for_uninstall_box()])
    show_run(demo, run, "the removal of Kestova 3")
    demo.show_registrations("Registrations after the removal")
    show_shortcuts(demo, ("Kestova 2", "Kestova 3"))
    link = read_shortcut(machine, uninstall_shortcut("Kestova 2")) or {}
    if code_in(link.get("arguments")) != SHARED_PRODUCT_CODE:
        demo.problems.append("Kestova 2's uninstall shortcut no longer names the shared code")
