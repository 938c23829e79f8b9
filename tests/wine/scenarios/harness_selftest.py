"""The harness tested against its own stand-in program (helpers/boxes.cpp),
so that a failing patch scenario can be told apart from a failing harness."""

from harness.kestova import command_line
from harness.machine import DRIVE_CDROM, REG_BINARY, REG_DWORD, REG_SZ, RegValue
from harness.player import Box
from harness.prefix import IS_WOW64
from harness.scenario import scenario

CAPTION = "Harness Self-Test"
QUESTION = "Is the harness listening?\n\nAnswer Yes or No."
PROGRAM = r"C:\Self Test\boxes.exe"


def install_boxes(t):
    t.machine.copy_file(t.tools.boxes, PROGRAM)
    return command_line(PROGRAM)


def button_ids(box):
    return [button["id"] for button in box["buttons"]]


@scenario(needs_patch=False)
def player_reads_and_answers_boxes(t):
    """The player records a Yes/No box and a system-modal OK box and presses the scripted buttons"""
    program = install_boxes(t)
    for answer, exit_code in (("Yes", 106), ("No", 107)):
        report = "You answered %s." % answer
        run = t.machine.run(program, [Box(CAPTION, QUESTION, answer), Box("", report, "OK")])
        t.expect_run(run, exit_code=exit_code)
        if not t.expect_equal(len(run.boxes), 2, "boxes recorded when answering " + answer):
            continue
        question, reply = run.boxes
        t.expect_equal(question["caption"], CAPTION, "caption of the question")
        t.expect_equal(question["text"], QUESTION, "text of the question")
        t.expect_equal(button_ids(question), [6, 7], "buttons of the question")
        t.expect_equal([b["text"].replace("&", "") for b in question["buttons"]], ["Yes", "No"],
                       "button texts of the question")
        t.expect_equal(question["system_modal"], False, "the question is not system-modal")
        t.expect_equal(reply["caption"], "", "the report's empty caption")
        t.expect_equal(reply["text"], report, "text of the report")
        t.expect_equal(button_ids(reply), [1], "buttons of the report")
        t.expect_equal(reply["system_modal"], True, "the report is system-modal")


@scenario(needs_patch=False)
def player_matches_patterns_and_optional_boxes(t):
    """Text patterns with "*" match, and an optional box that never comes is passed over"""
    program = install_boxes(t)
    run = t.machine.run(program, [
        Box("", "Never shown*", "OK", optional=True),
        Box("Harness*", "Is the harness *?*", "Yes"),
        Box("", "You answered *", "OK"),
        Box(CAPTION, "Never shown either", "OK", optional=True),
    ])
    t.expect_run(run, exit_code=106)


@scenario(needs_patch=False)
def player_fails_runs_that_differ_from_the_script(t):
    """Unexpected boxes are answered No and fail the run, as do missing boxes and a timeout"""
    program = install_boxes(t)

    run = t.machine.run(program, [])
    t.expect_run(run, passed=False, exit_code=107)
    t.expect_equal(len(run.unexpected_boxes), 2, "unexpected boxes recorded")
    t.expect_equal([box["answer_id"] for box in run.boxes], [7, 1], "answers to unexpected boxes")

    run = t.machine.run(program, [Box(CAPTION, QUESTION, "Yes"), Box("", "You answered Yes.", "OK"),
                                  Box("", "A box that never comes", "OK")])
    t.expect_run(run, passed=False, exit_code=106)
    t.expect_equal([box["text"] for box in run.missing_boxes], ["A box that never comes"], "missing boxes")

    run = t.machine.run(program, [Box(CAPTION, QUESTION, "Cancel")])
    t.expect_run(run, passed=False, exit_code=None)
    t.expect(run.boxes and "error" in run.boxes[0], "a scripted button the box lacks is reported")

    run = t.machine.run(r"C:\windows\notepad.exe", [], timeout=3)
    t.expect_run(run, passed=False, exit_code=None)
    t.expect(run.timed_out, "a program that outlasts the timeout is reported")


@scenario(needs_patch=False)
def player_follows_started_processes(t):
    """Boxes of a process that the program starts are answered too"""
    program = install_boxes(t)
    run = t.machine.run(program + " spawn", [Box(CAPTION, "Shown by a child process.", "OK")], wait_all=True)
    t.expect_run(run, exit_code=3)
    pids = {event["pid"] for event in run.events if event["event"] == "process"}
    t.expect_equal(len(pids), 2, "processes followed")
    t.expect(run.boxes and run.boxes[0]["pid"] != run.events[1]["pid"], "the box came from the child")


@scenario(needs_patch=False)
def player_does_not_take_a_process_whose_parent_id_was_reused(t):
    """A process that names as its parent an ended process whose id a followed process holds now is not followed"""
    program = install_boxes(t)
    # Wine's services name the session's wineboot, long ended, as their
    # parent; boxes.exe starts copies of itself until one is given its id.
    services = [p for p in t.machine.processes() if p["exe"].lower() == "services.exe"]
    if not t.expect(services, "services.exe runs before the run"):
        return
    run = t.machine.run(program + " reuse-id", [], timeout=60, wait_all=True)
    t.expect_run(run, exit_code=0)
    followed = {event["pid"]: event["exe"] for event in run.events if event["event"] == "process"}
    t.expect(services[0]["parent"] in followed, "the copy given the id %d was not followed: %r" %
             (services[0]["parent"], followed))
    t.expect(services[0]["pid"] not in followed, "the player followed Wine's services: %r" % followed)
    t.expect(t.machine.program_runs("services.exe"), "services.exe still runs after the run")


@scenario(needs_patch=False)
def machine_registry_in_the_32bit_view(t):
    """Registry values are set and read back in the 32-bit view that the patch sees"""
    m = t.machine
    key = r"HKLM\SOFTWARE\Quenmoor\Harness"
    m.set_registry({
        key: {"Text": 'C:\\a "quoted" path', "Number": 42, "Bytes": b"\x01\x02", "Raw": RegValue(REG_SZ, b"x\0")},
        key + r"\Sub\Deeper": None,
    })
    tree = m.read_key(key)
    if not t.expect(tree is not None, "the key was created"):
        return
    values = tree["values"]
    t.expect_equal(values["Text"]["type"], REG_SZ, "type of a text")
    t.expect_equal(values["Text"]["text"], 'C:\\a "quoted" path', "a text with backslashes and quotes")
    t.expect_equal(values["Text"]["size"], len('C:\\a "quoted" path') + 1, "a text's size counts its terminator")
    t.expect_equal((values["Number"]["type"], values["Number"]["dword"]), (REG_DWORD, 42), "a number")
    t.expect_equal((values["Bytes"]["type"], values["Bytes"]["hex"]), (REG_BINARY, "0102"), "binary data")
    t.expect_equal(values["Raw"]["text"], "x", "a value given as raw data")
    t.expect_equal(list(tree["subkeys"]), ["Sub"], "subkeys")
    t.expect("Deeper" in tree["subkeys"]["Sub"]["subkeys"], "keys are read all the way down")

    if IS_WOW64:
        # The 64-bit view holds the same key under Wow6432Node only.
        native = m.wine("reg", "query", r"HKLM\SOFTWARE\Wow6432Node\Quenmoor\Harness", "/reg:64", check=False)
        t.expect_equal(native.returncode, 0, "the key is under Wow6432Node in the 64-bit view")
        native = m.wine("reg", "query", r"HKLM\SOFTWARE\Quenmoor\Harness", "/reg:64", check=False)
        t.expect(native.returncode != 0, "the key is not in the 64-bit view's SOFTWARE")

    m.delete_key(r"HKLM\SOFTWARE\Quenmoor")
    t.expect(not m.key_exists(key), "the key was deleted")


@scenario(needs_patch=False)
def machine_cdrom_drives(t):
    """Virtual CD-ROM drives report DRIVE_CDROM and their discs' volume labels"""
    m = t.machine
    m.add_cdrom("D", "Kestova 3", {"setup.exe": b"MZ", r"directx9\dxsetup.exe": b"MZ"})
    m.add_cdrom("E", "KS2")
    m.add_cdrom("F")
    for root, label in (("D:\\", "Kestova 3"), ("E:\\", "KS2")):
        info = m.drive_info(root)
        t.expect_equal(info["type"], DRIVE_CDROM, "drive type of " + root)
        t.expect_equal(info.get("label"), label, "volume label of " + root)
    unlabelled = m.drive_info("F:\\")
    t.expect_equal(unlabelled["type"], DRIVE_CDROM, "drive type of the unlabelled disc's drive")
    t.expect_equal(unlabelled.get("label"), "", "volume label of the unlabelled disc")
    t.expect(m.exists(r"D:\DirectX9\DXSETUP.EXE"), "files on the disc are found ignoring case")


@scenario(needs_patch=False)
def player_starts_programs_in_the_given_folder(t):
    """The player starts the program in the working folder it is given"""
    t.machine.mkdir(r"C:\Work Folder")
    run = t.machine.run(r'C:\windows\system32\cmd.exe /c cd > C:\cwd.txt', [], cwd=r"C:\Work Folder")
    t.expect_run(run, exit_code=0)
    written = t.machine.read_file(r"C:\cwd.txt").decode("cp1252").strip() if t.machine.exists(r"C:\cwd.txt") else None
    t.expect_equal(written, r"C:\Work Folder", "the program's working folder")
