"""Relocation round trip: with no disc to install from, the install stage
parks the installed title and puts it back, and the title's registration
comes back byte for byte, whatever its entry holds."""

import struct

from harness.kestova import (ALTERNATE_PRODUCT_CODE, PARKING_PRODUCT_CODE, SHARED_PRODUCT_CODE, product_folder,
                             run_patch, uninstall_key)
from harness.machine import REG_BINARY, REG_EXPAND_SZ, RegValue
from harness.scenario import scenario
from harness.swap import (add_arp_cache_entries, arp_cache_entries, disc_not_found, entry_write_time,
                          expect_code_free, expect_unchanged, export_key, folder_change_time, log_file,
                          registration_snapshot, uninstall_string, warning)

REG_NONE = 0
REG_MULTI_SZ = 7
REG_QWORD = 11

# Texts outside the ANSI code page (1252) of the machine.
GREEK = "Κέστοβα 2 — Συλλεκτική έκδοση"
JAPANESE = "ケストヴァ２ ✓"


def utf16(text):
    return text.encode("utf-16-le")


def rich_entry(code):
    """An uninstall entry with the values the patch relies on and values of
    every kind it must carry along unchanged."""
    return {
        "DisplayName": "Kestova 2",
        "UninstallString": uninstall_string(code),
        "LogFile": log_file(code),
        "": "the unnamed value",
        "Comments": GREEK,
        "Publisher " + JAPANESE: JAPANESE,
        "ReadmeFile": RegValue(REG_EXPAND_SZ, utf16("%ProgramFiles%\\Quenmoor\\Kestova 2\\readme.txt\0")),
        "Features": RegValue(REG_MULTI_SZ, utf16("Main\0Extras " + GREEK + "\0\0")),
        "NoModify": 1,
        "EstimatedSize": 0xFFFFFFFF,
        "InstallTime": RegValue(REG_QWORD, struct.pack("<Q", 0x01C48D2F6A3B5E00)),
        "Signature": RegValue(REG_BINARY, bytes(range(256))),
        "Empty": RegValue(REG_BINARY, b""),
        "Marker": RegValue(REG_NONE, b"\x00\xff"),
    }


def register_rich_title(machine, code):
    folder = product_folder(code)
    machine.write_file(folder + r"\setup.exe", b"MZ" + bytes(range(256)) * 8)
    machine.write_file(folder + r"\setup.ilg", b"\xff\xfe" + utf16("log " + GREEK))
    machine.write_file(folder + "\\Disk1\\" + "Ελληνικά.txt", utf16(JAPANESE))
    machine.mkdir(folder + r"\Empty")
    machine.set_registry({
        uninstall_key(code): rich_entry(code),
        uninstall_key(code) + r"\Details": {"Language": "0009", "Tags": RegValue(REG_MULTI_SZ, b"")},
        uninstall_key(code) + "\\Details\\" + GREEK: {JAPANESE: GREEK},
        uninstall_key(code) + r"\Empty Key": None,
    })


@scenario
def relocation_round_trip_without_a_disc(t):
    """No disc: the title is parked and put back, its entry and folder byte for byte as before"""
    register_rich_title(t.machine, SHARED_PRODUCT_CODE)
    add_arp_cache_entries(t.machine)
    t.machine.add_cdrom("D")  # a drive without a labelled disc
    before = registration_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE)
    t.expect(before["uninstall entry"] is not None and set(before["uninstall entry"]["values"]) == set(
        rich_entry(SHARED_PRODUCT_CODE)), "the entry was set up with all its values")

    written = entry_write_time(t.machine, t.tools, SHARED_PRODUCT_CODE)
    renamed = folder_change_time(t.machine, product_folder(SHARED_PRODUCT_CODE))

    run = run_patch(t, "", [warning(disc_not_found("Kestova 3"))])
    t.expect_run(run, exit_code=0)

    # The round trip really happened: the entry's key is a new one and the
    # folder has been renamed (twice).
    t.expect((entry_write_time(t.machine, t.tools, SHARED_PRODUCT_CODE) or 0) > written,
             "the uninstall entry was not moved away and back")
    t.expect((folder_change_time(t.machine, product_folder(SHARED_PRODUCT_CODE)) or 0) > renamed,
             "the product folder was not renamed away and back")

    after = registration_snapshot(t.machine, t.tools, SHARED_PRODUCT_CODE)
    expect_unchanged(t, before, after, "the registration under the shared code")
    expect_code_free(t, PARKING_PRODUCT_CODE)
    expect_code_free(t, ALTERNATE_PRODUCT_CODE)
    t.expect_equal(arp_cache_entries(t.machine), [SHARED_PRODUCT_CODE, ALTERNATE_PRODUCT_CODE],
                   "Add/Remove Programs cache entries (untouched when nothing was installed)")
    t.expect(export_key(t.machine, t.tools, uninstall_key(PARKING_PRODUCT_CODE)) is None, "nothing left parked")
