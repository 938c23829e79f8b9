"""What the patch's scenarios share: its constants, the titles'
registrations as their installers leave them, and running the patch."""

SHARED_PRODUCT_CODE = "{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}"
ALTERNATE_PRODUCT_CODE = "{C41E7D08-93A2-4F6B-B85D-61F09E2A7C34}"
PARKING_PRODUCT_CODE = "{00000000-0000-0000-0000-000000000000}"
PRODUCT_CODES = (SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE)
CODE_NAMES = {SHARED_PRODUCT_CODE: "SHARED", ALTERNATE_PRODUCT_CODE: "ALTERNATE", PARKING_PRODUCT_CODE: "PARKING"}

from .prefix import IS_WOW64

# The installers are 32-bit programs and put their product folders under the
# Program Files folder that a 32-bit program is given: "C:\Program Files (x86)"
# on a WoW64 machine, "C:\Program Files" on a 32-bit one. The patch looks for
# them there too.
PROGRAM_FILES = r"C:\Program Files (x86)" if IS_WOW64 else r"C:\Program Files"
INSTALL_INFO_ROOT = PROGRAM_FILES + r"\InstallShield Installation Information"
UNINSTALL_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
ARP_CACHE_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Management\ARPCache"
PUBLISHER_KEY = r"HKLM\SOFTWARE\Quenmoor"

PATCH_CAPTION = "Kestova Patch"

# The patch's log, in the all users' application data folder.
PATCH_LOG = r"C:\ProgramData\Kestova Patch\kestova-patch.log"


def patch_log_lines(machine):
    """The lines of the patch's log without their time stamps ("" lines
    for none), or [] when there is no log."""
    if not machine.exists(PATCH_LOG):
        return []
    text = machine.read_file(PATCH_LOG).decode("cp1252", "replace")
    return [line[21:] for line in text.split("\r\n") if line]


def expect_log_tells(t, lines, parts, what):
    """Checks that each of PARTS is in one of LINES (the log's lines of one
    run), each in a line after the one before it."""
    at = 0
    for part in parts:
        while at < len(lines) and part not in lines[at]:
            at += 1
        if at == len(lines):
            t.expect(False, "%s: the log has no line %r in its place" % (what, part))
            return
        at += 1
PATCH_FILE_NAME = "kestova-patch.exe"
PATCH_FOLDER = r"C:\Kestova Patch"

CLEANED_OKAY = "CLEANED OKAY"
NOT_INSTALLED = "Neither 'Kestova 2' or 'Kestova 3' are currently installed"


def _name(code):
    return CODE_NAMES.get(code, "product code")


def product_folder(code):
    return INSTALL_INFO_ROOT + "\\" + code


def uninstall_key(code):
    return UNINSTALL_KEY + "\\" + code


def register_title(machine, code, title):
    """Leaves TITLE ("Kestova 2" or "Kestova 3") registered under CODE the way
    its InstallShield setup does: a product folder holding the maintenance
    program "setup.exe" and the log, and an uninstall entry whose
    "UninstallString" and "LogFile" name that folder."""
    folder = product_folder(code)
    machine.write_file(folder + r"\setup.exe", b"MZ stand-in for the installer's maintenance program")
    machine.write_file(folder + r"\setup.ilg", "InstallShield log of " + title)
    machine.set_registry({
        uninstall_key(code): {
            "DisplayName": title,
            "UninstallString": ('RunDll32 C:\\PROGRA~1\\COMMON~1\\INSTAL~1\\PROFES~1\\RunTime\\10\\50\\Intel32\\'
                                'Ctor.dll,LaunchSetup "%s\\setup.exe" -l0x9  -removeonly' % folder),
            "LogFile": folder + r"\setup.ilg",
            "Publisher": "Quenmoor",
            "DisplayVersion": "1.00.000",
            "NoModify": 1,
        },
        uninstall_key(code) + r"\Details": {"Language": "0009"},
    })


def add_publisher_key(machine):
    """The publisher's key, with a subkey per title as the games write it."""
    machine.set_registry({
        PUBLISHER_KEY: {"Owner": "Quenmoor"},
        PUBLISHER_KEY + r"\Kestova 2": {"InstallPath": r"C:\Games\Kestova 2", "Version": 2},
        PUBLISHER_KEY + r"\Kestova 3\Settings": {"Resolution": "1024x768"},
    })


def registration(machine, code):
    """What stands under CODE: {"folder": [file names] or None,
    "title": the entry's DisplayName or None, "entry": whether the uninstall
    entry exists}."""
    entry = machine.read_key(uninstall_key(code))
    title = None
    if entry is not None and "DisplayName" in entry["values"]:
        title = entry["values"]["DisplayName"].get("text")
    return {"folder": machine.list_folder(product_folder(code)), "entry": entry is not None, "title": title}


def describe_registrations(machine):
    """The registrations of the three product codes and the publisher's key,
    as readable lines."""
    lines = []
    for code in PRODUCT_CODES:
        state = registration(machine, code)
        if state["folder"] is None and not state["entry"]:
            lines.append("  %-9s %s  (nothing)" % (_name(code), code))
            continue
        entry = "uninstall entry %r" % state["title"] if state["entry"] else "no uninstall entry"
        folder = "folder with " + ", ".join(state["folder"]) if state["folder"] is not None else "no product folder"
        lines.append("  %-9s %s  %s; %s" % (_name(code), code, entry, folder))
    publisher = machine.read_key(PUBLISHER_KEY)
    if publisher is None:
        lines.append("  publisher's key %s: absent" % PUBLISHER_KEY)
    else:
        lines.append("  publisher's key %s: present, subkeys %s" %
                     (PUBLISHER_KEY, ", ".join(sorted(publisher["subkeys"])) or "none"))
    return lines


def install_patch(machine, tools, folder=PATCH_FOLDER, file_name=PATCH_FILE_NAME):
    """Copies the built patch onto the machine; returns its Windows path."""
    path = folder + "\\" + file_name
    machine.copy_file(tools.patch, path)
    return path


def command_line(program, arguments=""):
    """A command line as Windows gives it: the program's quoted path, then
    the arguments."""
    return '"%s"' % program + (" " + arguments if arguments else "")


def run_patch(t, arguments="", script=(), program=None, raw_command_line=None, **options):
    """Runs the patch (installed on the machine first when PROGRAM is not
    given) with ARGUMENTS, answering from SCRIPT; returns the Run."""
    if program is None:
        program = install_patch(t.machine, t.tools)
    line = raw_command_line if raw_command_line is not None else command_line(program, arguments)
    return t.machine.run(line, script, **options)


def expect_registration(t, code, title):
    """Checks that TITLE is registered under CODE: product folder with its
    "setup.exe", and an uninstall entry with that display name."""
    state = registration(t.machine, code)
    t.expect(state["folder"] is not None and "setup.exe" in state["folder"],
             "%s %s: product folder with setup.exe expected, found %r" % (_name(code), code, state["folder"]))
    t.expect_equal(state["title"], title, "%s %s: display name of the uninstall entry" % (_name(code), code))


def expect_no_registration(t, code):
    state = registration(t.machine, code)
    t.expect(state["folder"] is None, "%s %s: product folder should be gone, found %r" %
             (_name(code), code, state["folder"]))
    t.expect(not state["entry"], "%s %s: uninstall entry should be gone" % (_name(code), code))
