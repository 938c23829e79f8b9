"""The whole swap: the titles' setups on virtual game discs, their removal
through Add/Remove Programs, and whole-title snapshots compared byte for
byte.

The titles' installers are played by two helper programs: the disc's setup
(helpers/disc_setup.cpp), which installs a title under the shared product
code and then creates the mutex the patch waits for, and the maintenance
program it installs as the product folder's "setup.exe"
(helpers/maintenance.cpp), which removes the title again.
"""

import json
import shutil
import struct

from .kestova import (ALTERNATE_PRODUCT_CODE, ARP_CACHE_KEY, INSTALL_INFO_ROOT, PARKING_PRODUCT_CODE, PATCH_CAPTION,
                      PROGRAM_FILES, PUBLISHER_KEY, SHARED_PRODUCT_CODE, command_line, product_folder, uninstall_key)
from .machine import REG_DWORD, REG_EXPAND_SZ, REG_SZ
from .player import Box
from .prefix import SYSTEM32_FOR_32BIT

# The link time stamps of the two builds of the titles' setups that need the
# patch, and one of a build that does not.
KNOWN_SETUP_STAMPS = (0x3F746D6D, 0x41640D89)
OTHER_SETUP_STAMP = 0x4B1D2C3E

DISC_LABELS = {"Kestova 2": "KS2", "Kestova 3": "Kestova 3"}
TITLE_VERSIONS = {"Kestova 2": "2.00.000", "Kestova 3": "3.00.000"}
OTHER_TITLE = {"Kestova 2": "Kestova 3", "Kestova 3": "Kestova 2"}

COMMON_PROGRAMS = r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs"
# Where Add/Remove Programs (the installer's engine) runs a title's
# "setup.exe" from when the title is removed: a temporary copy.
TEMPORARY_COPY = r"C:\windows\Temp\_IS7F3A.TMP\setup.exe"

WAIT_FOR_UNINSTALL = "Please wait till the uninstall is complete, then click on okay"
NO_PATCH_NEEDED = ("The game cd in the drive doesn't require the patch to be used.\n"
                   "Please install straight from the cdrom.")
GAVE_UP_WAITING = ("Gave up waiting for setup.exe from the cdrom drive: it did not signal that it was ready.\n"
                   "The installed title is kept as it was.")


def disc_question(title, root):
    return "Found %s in drive %s.\n\nInstall %s?" % (title, root, title)


def disc_not_found(title):
    return "Could not find '%s' in any CDROM drive" % title


def directx_question(title):
    required = "DirectX81b" if title == "Kestova 2" else "DirectX9"
    return "%s requires %s\n\nDo you want to install DirectX9 now?" % (title, required)


def ask_disc(title, root, answer="Yes"):
    return Box(PATCH_CAPTION, disc_question(title, root), answer)


def warning(text):
    return Box("", text, "OK")


def helper(tools, name):
    """A helper program built beside the player."""
    return tools.player.parent / name


# -- The titles' installers on virtual discs ---------------------------------------------------------------


def pe_time_stamp(image):
    offset = struct.unpack_from("<I", image, 60)[0]
    if image[offset:offset + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    return struct.unpack_from("<I", image, offset + 8)[0]


def with_time_stamp(image, stamp):
    """The PE image with its file header's TimeDateStamp (at e_lfanew + 8)
    set to STAMP."""
    pe_time_stamp(image)
    offset = struct.unpack_from("<I", image, 60)[0]
    patched = bytearray(image)
    struct.pack_into("<I", patched, offset + 8, stamp)
    return bytes(patched)


def insert_game_disc(machine, tools, letter, title, stamp=KNOWN_SETUP_STAMPS[0], action="install", linger=2,
                     label=None, chain=False, delay=0, **more):
    """Adds a CD-ROM drive holding TITLE's disc: its setup (stamped with
    STAMP), the maintenance program the setup installs, and the setup's
    settings (ACTION install or cancel, LINGER seconds it keeps running
    after signalling; with CHAIN a bootstrapper that starts its engine from
    a temporary copy and ends at once; DELAY seconds before the engine
    installs; MORE: further settings of helpers/disc_setup.cpp, such as
    breakaway=True or late_write=8). Returns the drive's root."""
    setup = with_time_stamp(helper(tools, "disc_setup.exe").read_bytes(), stamp)
    root = machine.add_cdrom(letter, DISC_LABELS[title] if label is None else label, {
        "setup.exe": setup,
        "maintenance.exe": helper(tools, "maintenance.exe").read_bytes(),
    })
    write_disc_settings(machine, root, title, action, linger, chain, delay, **more)
    return root


def write_disc_settings(machine, root, title, action="install", linger=2, chain=False, delay=0, **more):
    """The settings of the setup on ROOT's disc (see insert_game_disc). A
    setup that the patch waits for must linger: the patch only sees a mutex
    that is still there (it looks every 50 ms)."""
    settings = "title=%s\nversion=%s\naction=%s\nlinger=%d\nchain=%s\ndelay=%d\n" % (
        title, TITLE_VERSIONS[title], action, linger, "yes" if chain else "no", delay)
    for key, value in more.items():
        settings += "%s=%s\n" % (key, "yes" if value is True else "no" if value is False else value)
    machine.write_file(root + "disc.ini", settings.encode("utf-8"))


def install_from_disc(machine, root):
    """The user installs the title on ROOT's disc by starting its setup
    (before the patch is ever used). Returns the Run."""
    return machine.run(command_line(root + "setup.exe"), [], cwd=root, wait_all=True)


# -- Where a title's pieces are ------------------------------------------------------------------------------


def game_folder(title):
    return PROGRAM_FILES + "\\Quenmoor\\" + title


def start_menu_folder(title):
    return COMMON_PROGRAMS + "\\Quenmoor\\" + title


def uninstall_shortcut(title):
    return start_menu_folder(title) + "\\Uninstall %s.lnk" % title


def title_key(title):
    return PUBLISHER_KEY + "\\" + title


def uninstall_string(code):
    return '"%s\\%s\\setup.exe" -runfromtemp -l0x0009 -removeonly' % (INSTALL_INFO_ROOT, code)


def log_file(code):
    return "%s\\%s\\setup.ilg" % (INSTALL_INFO_ROOT, code)


# -- Registry exports and folder contents, compared byte for byte --------------------------------------------


def export_key(machine, tools, key, with_times=False):
    """KEY with all its values (name, type, stored bytes, in enumeration
    order) and subkeys, read through the wide calls; None when absent.
    With WITH_TIMES, each key also has its "last_write" time (a FILETIME),
    which a key gets anew when it is moved. Inside exported_keys, a key
    read there is answered from that read."""
    read_before = getattr(machine, "exported_keys", None) or {}
    tree = read_before[key] if key in read_before else _read_keys(machine, tools, [key])[key]
    if not tree["exists"]:
        return None
    return tree if with_times else _without_times(tree)


def _read_keys(machine, tools, keys):
    """{key: regtree's document} for KEYS, in one run of regtree."""
    lines = machine.wine(helper(tools, "regtree.exe"), *keys, check=False).stdout.splitlines()
    trees = [json.loads(line) for line in lines if line.strip()]
    if len(trees) != len(keys):
        raise RuntimeError("cannot export %s: %r" % (", ".join(keys), lines))
    for key, tree in zip(keys, trees):
        if tree.get("exists") is None or "error" in tree:
            raise RuntimeError("cannot export %s: %s" % (key, tree))
    return dict(zip(keys, trees))


class exported_keys:
    """Reads KEYS in one run of regtree; within the with-block export_key
    answers those keys from that read, so that a check of many keys costs
    one program start. Nothing may change the machine inside the block."""

    def __init__(self, machine, tools, keys):
        self.machine = machine
        self.trees = _read_keys(machine, tools, list(keys))

    def __enter__(self):
        self.machine.exported_keys = self.trees
        return self

    def __exit__(self, *exc):
        self.machine.exported_keys = None


def _without_times(tree):
    return {"exists": tree["exists"], "values": tree["values"],
            "subkeys": {name: _without_times(subkey) for name, subkey in tree["subkeys"].items()}}


def folder_change_time(machine, windows_path):
    """The change time of a folder's own inode (a rename sets it anew);
    None when absent."""
    path = machine.path(windows_path)
    return path.stat().st_ctime_ns if path.is_dir() else None


def entry_write_time(machine, tools, code):
    """The last write time of CODE's uninstall entry (None when absent)."""
    tree = export_key(machine, tools, uninstall_key(code), with_times=True)
    return tree and tree["last_write"]


def value_map(tree):
    """{name: (type, bytes)} of an exported key."""
    return {name: (value_type, bytes.fromhex(data)) for name, value_type, data in tree["values"]}


def text_value(tree, name):
    """The text of a string value of an exported key (None when missing or
    not a string)."""
    value = value_map(tree).get(name)
    if value is None or value[0] not in (REG_SZ, REG_EXPAND_SZ):
        return None
    return value[1].decode("utf-16-le").rstrip("\0")


def folder_contents(machine, windows_path):
    """{relative path: bytes} of every file below a folder ("name/" for each
    subfolder); None when the folder does not exist."""
    root = machine.path(windows_path)
    if not root.is_dir():
        return None
    contents = {}
    for entry in sorted(root.rglob("*")):
        relative = entry.relative_to(root).as_posix()
        contents[relative + "/" if entry.is_dir() else relative] = None if entry.is_dir() else entry.read_bytes()
    return contents


def comparable_key(tree):
    """An exported key as nested dicts, {"values": {name: "type T: hex"},
    "subkeys": {name: ...}}, so that differences name the value."""
    if tree is None:
        return None
    return {"values": {name: "type %d: %s" % (value_type, data) for name, value_type, data in tree["values"]},
            "subkeys": {name: comparable_key(subkey) for name, subkey in tree["subkeys"].items()}}


def registration_snapshot(machine, tools, code):
    """A registration as it stands: the uninstall entry and the product
    folder's files."""
    return {"uninstall entry": comparable_key(export_key(machine, tools, uninstall_key(code))),
            "product folder": folder_contents(machine, product_folder(code))}


def title_snapshot(machine, tools, code, title):
    """Everything of a title installed under CODE: its registration, game
    files, Start-menu folder and publisher's key."""
    snapshot = registration_snapshot(machine, tools, code)
    snapshot.update({"game files": folder_contents(machine, game_folder(title)),
                     "start menu": folder_contents(machine, start_menu_folder(title)),
                     "publisher key": comparable_key(export_key(machine, tools, title_key(title)))})
    return snapshot


def _describe(value):
    if isinstance(value, bytes):
        return "%d bytes %s%s" % (len(value), value[:24].hex(), "..." if len(value) > 24 else "")
    return repr(value)


def differences(before, after, where=""):
    """Readable differences between two snapshots (or exports)."""
    if isinstance(before, dict) and isinstance(after, dict):
        found = []
        for name in sorted(set(before) | set(after), key=str):
            if name not in after:
                found.append("%s%s: gone" % (where, name))
            elif name not in before:
                found.append("%s%s: new, %s" % (where, name, _describe(after[name])))
            else:
                found.extend(differences(before[name], after[name], "%s%s / " % (where, name)))
        return found
    if before != after:
        return ["%s: was %s, now %s" % (where.rstrip(" /"), _describe(before), _describe(after))]
    return []


def expect_unchanged(t, before, after, what):
    """Checks that a snapshot is byte for byte as before."""
    found = differences(before, after)
    t.expect(not found, "%s changed:\n        %s" % (what, "\n        ".join(found)))


# -- What the titles' setup writes -----------------------------------------------------------------------------


def _text(text):
    return REG_SZ, (text + "\0").encode("utf-16-le")


def expected_entry_values(title, code, disc_root):
    """The values of the uninstall entry that TITLE's setup writes, as they
    stand once the entry is under CODE. Its "InstallSource" is the folder
    the setup was started in, which must be the disc's root."""
    game = game_folder(title)
    return {
        "DisplayName": _text(title),
        "UninstallString": _text(uninstall_string(code)),
        "LogFile": _text(log_file(code)),
        "Publisher": _text("Quenmoor"),
        "DisplayVersion": _text(TITLE_VERSIONS[title]),
        "InstallLocation": _text(game),
        "InstallSource": _text(disc_root),
        "DisplayIcon": _text(game + "\\" + title + ".exe,0"),
        "ReadmeFile": (REG_EXPAND_SZ, ("%%ProgramFiles%%\\Quenmoor\\%s\\readme.txt\0" % title).encode("utf-16-le")),
        "NoModify": (REG_DWORD, struct.pack("<I", 1)),
        "NoRepair": (REG_DWORD, struct.pack("<I", 1)),
        "Language": (REG_DWORD, struct.pack("<I", 9)),
        "EstimatedSize": (REG_DWORD, struct.pack("<I", 684032)),
    }


def expected_entry_subkeys():
    return {"InstallShield": {"LogMode": _text("Uninstall"), "EngineVersion": (REG_DWORD, struct.pack("<I", 9))}}


def expect_title_installed(t, code, title, disc_root, late_texts=None):
    """Checks that TITLE stands whole under CODE as its setup installed it:
    the uninstall entry's values (texts naming CODE; LATE_TEXTS: the text
    values its setup wrote after its signal, by name) and subkey, the
    product folder with the log, the game files, the Start-menu folder and
    the publisher's key."""
    entry = export_key(t.machine, t.tools, uninstall_key(code))
    if not t.expect(entry is not None, "%s: no uninstall entry under %s" % (title, code)):
        return
    expected = expected_entry_values(title, code, disc_root)
    expected.update({name: _text(text) for name, text in (late_texts or {}).items()})
    found = differences(expected, value_map(entry), "values / ")
    subkeys = {name: value_map(tree) for name, tree in entry["subkeys"].items()}
    found += differences(expected_entry_subkeys(), subkeys, "subkeys / ")
    t.expect(not found, "%s: uninstall entry under %s differs from what its setup writes:\n        %s" %
             (title, code, "\n        ".join(found)))
    folder = folder_contents(t.machine, product_folder(code)) or {}
    t.expect("setup.ilg" in folder,
             "%s: the product folder under %s has no setup.ilg: %r" % (title, code, list(folder)))
    game = folder_contents(t.machine, game_folder(title)) or {}
    t.expect({title + ".exe", "readme.txt", "data/levels.dat"} <= set(game),
             "%s: game files missing, found %r" % (title, sorted(game)))
    menu = folder_contents(t.machine, start_menu_folder(title)) or {}
    t.expect({"Uninstall %s.lnk" % title, title + ".lnk"} <= set(menu),
             "%s: Start-menu shortcuts missing, found %r" % (title, sorted(menu)))
    t.expect(export_key(t.machine, t.tools, title_key(title)) is not None, "%s: no publisher's key" % title)


def expect_title_gone(t, title):
    """Checks that nothing of TITLE is left outside the registrations."""
    for what, present in (("game files", folder_contents(t.machine, game_folder(title))),
                          ("Start-menu folder", folder_contents(t.machine, start_menu_folder(title))),
                          ("publisher's key", export_key(t.machine, t.tools, title_key(title)))):
        t.expect(present is None, "%s: the %s should be gone" % (title, what))


def expect_code_free(t, code):
    """Checks that nothing stands under CODE: no uninstall entry, no product
    folder."""
    t.expect(export_key(t.machine, t.tools, uninstall_key(code)) is None, "an uninstall entry is under %s" % code)
    t.expect(folder_contents(t.machine, product_folder(code)) is None, "a product folder is under %s" % code)


def expect_title_alone(t, title, before):
    """TITLE stands under the shared code exactly as BEFORE (its snapshot)
    and is the only title left: nothing under the alternate or the parking
    code, the other title gone."""
    after = title_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE, title)
    expect_unchanged(t, before, after, title + " under the shared code")
    expect_code_free(t, ALTERNATE_PRODUCT_CODE)
    expect_code_free(t, PARKING_PRODUCT_CODE)
    expect_title_gone(t, OTHER_TITLE[title])


def expect_nothing_parked(t):
    expect_code_free(t, PARKING_PRODUCT_CODE)


# -- Shortcut files ------------------------------------------------------------------------------------------

_HAS_ID_LIST, _HAS_LINK_INFO, _IS_UNICODE = 0x1, 0x2, 0x80
_STRING_FLAGS = (("description", 0x4), ("relative_path", 0x8), ("working_folder", 0x10), ("arguments", 0x20),
                 ("icon_location", 0x40))


def _link_info_target(data, offset):
    """The local base path (and common path suffix) of a LinkInfo."""
    flags, volume_offset, base_offset = struct.unpack_from("<III", data, offset + 8)
    if not flags & 1:
        return None
    suffix_offset = struct.unpack_from("<I", data, offset + 24)[0]

    def ansi_at(position):
        end = data.index(b"\0", position)
        return data[position:end].decode("cp1252")

    return ansi_at(offset + base_offset) + (ansi_at(offset + suffix_offset) if suffix_offset else "")


def parse_shortcut(data):
    """The fields of a shell link file: target (from its LinkInfo),
    description, relative_path, working_folder, arguments, icon_location
    (None for those it does not have), and from its header icon_index,
    show_command and hotkey."""
    if len(data) < 76 or struct.unpack_from("<I", data, 0)[0] != 0x4C:
        raise ValueError("not a shell link file")
    flags = struct.unpack_from("<I", data, 20)[0]
    header = {"icon_index": struct.unpack_from("<i", data, 56)[0],
              "show_command": struct.unpack_from("<I", data, 60)[0],
              "hotkey": struct.unpack_from("<H", data, 64)[0]}
    offset = 76
    if flags & _HAS_ID_LIST:
        offset += 2 + struct.unpack_from("<H", data, offset)[0]
    fields = {"target": None}
    if flags & _HAS_LINK_INFO:
        fields["target"] = _link_info_target(data, offset)
        offset += struct.unpack_from("<I", data, offset)[0]
    unit = 2 if flags & _IS_UNICODE else 1
    for name, bit in _STRING_FLAGS:
        fields[name] = None
        if flags & bit:
            count = struct.unpack_from("<H", data, offset)[0]
            raw = data[offset + 2:offset + 2 + count * unit]
            # Wine counts the terminator in; it is no part of the text.
            fields[name] = raw.decode("utf-16-le" if unit == 2 else "cp1252").rstrip("\0")
            offset += 2 + count * unit
    fields.update(header)
    return fields


def read_shortcut(machine, path):
    return parse_shortcut(machine.read_file(path)) if machine.exists(path) else None


def code_in(text):
    """The product code that starts at the first "{" of TEXT."""
    start = text.find("{") if text else -1
    return text[start:start + 38] if start >= 0 else None


# -- Add/Remove Programs ---------------------------------------------------------------------------------------


def remove_through_add_remove_programs(machine, code, script, timeout=60):
    """Plays Add/Remove Programs removing the title registered under CODE:
    the product folder's "setup.exe" is copied to a temporary folder whose
    name ends in ".TMP", as the installer's engine does, and started from
    there. Returns the Run."""
    machine.write_file(TEMPORARY_COPY, machine.read_file(product_folder(code) + r"\setup.exe"))
    return machine.run(command_line(TEMPORARY_COPY), script, timeout=timeout)


def wait_for_uninstall_box():
    """The uninstall stage's box, answered only once the maintenance
    program it started has ended: the user clicks when the removal is
    done."""
    return Box(PATCH_CAPTION, WAIT_FOR_UNINSTALL, "OK", after_children=True)


def add_arp_cache_entries(machine):
    """Add/Remove Programs cache entries of both codes the patch moves."""
    machine.set_registry({ARP_CACHE_KEY + "\\" + code: {"SlowInfoCache": b"\x28\x02\x00\x00\x01"}
                          for code in (SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE)})


def arp_cache_entries(machine):
    return [code for code in (SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE)
            if machine.key_exists(ARP_CACHE_KEY + "\\" + code)]


# -- Scenario steps ----------------------------------------------------------------------------------------------


def install_first_title(t, title, letter="D"):
    """Installs TITLE from its own disc in drive LETTER, as the user did
    before there was a patch, and checks that it stands whole under the
    shared code. Returns the drive's root."""
    root = insert_game_disc(t.machine, t.tools, letter, title, linger=0)
    run = install_from_disc(t.machine, root)
    t.expect_equal(run.exit_code, 0, "exit code of %s's setup" % title)
    expect_title_installed(t, SHARED_PRODUCT_CODE, title, root)
    return root


def without_directx_9(machine):
    """Makes the machine one with DirectX 8: the DirectX diagnostics
    provider turned off for every program run from now on, and no
    "d3d9.dll" in the system folder that 32-bit programs see. (The machine's
    system files are hard links shared with the template: unlinking one
    leaves the template's.)"""
    machine.env["WINEDLLOVERRIDES"] += ";dxdiagn=d"
    machine.path(SYSTEM32_FOR_32BIT + r"\d3d9.dll").unlink()


def started_processes(run):
    """The processes that the run's program started (directly or not), in
    the order the player found them. Wine's process list may not name a
    process that has only just started, so they are counted, not named."""
    return [event for event in run.events if event.get("event") == "process"][1:]


def remove_with_own_uninstaller(machine, code):
    """Removes the title under CODE through its own uninstaller, without
    the patch: the product folder's maintenance program runs, and the
    installer's engine then deletes the product folder it leaves. Returns
    the Run."""
    folder = product_folder(code)
    run = machine.run(command_line(folder + r"\setup.exe"), [], wait_all=True)
    shutil.rmtree(machine.path(folder), ignore_errors=True)
    return run
