#!/usr/bin/env bash
# Tests of the crash matrix harness's own logic that needs no Wine
# (tests/wine/harness/crash.py, tests/wine/crash_matrix.py): reading and
# taking the patch's RunOnce value from a saved registry and from a flush's
# .reg file, the values it writes, which stops leave a program suspended,
# the chains of start states, the sample's cells and the folder sync.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
PYTHON=python3
[[ -x /usr/bin/python3 ]] && PYTHON=/usr/bin/python3

cd "$ROOT/tests/wine" && KESTOVA_WINE_ARCH=win64 "$PYTHON" - <<'EOF'
import os
import tempfile
import time
from pathlib import Path

import crash_matrix
from harness import crash

passed = failed = 0


def expect_eq(name, actual, expected):
    global passed, failed
    if actual == expected:
        passed += 1
    else:
        failed += 1
        print("FAIL %s: expected %r, got %r" % (name, expected, actual))


work = Path(tempfile.mkdtemp())

# Wine's registry files: strings with backslash escapes, the 32-bit view of
# a WoW64 machine under Wow6432Node, sections named with doubled
# backslashes.
expect_eq("escaped quotes and backslashes",
          crash._unescape_reg_string(r'"\"C:\\ProgramData\\Kestova Patch\\kestova-patch.exe\" /resume"'),
          '"C:\\ProgramData\\Kestova Patch\\kestova-patch.exe" /resume')
expect_eq("hex and C escapes", crash._unescape_reg_string(r'"a\x3a\tb\x263a"'), "a:\tb\u263a")
registry = work / "system.reg"
registry.write_text("\n".join([
    "WINE REGISTRY Version 2",
    r"[Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce] 1700000000",
    r'"Kestova Patch"="\"C:\\other view\""',
    "",
    r"[Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\RunOnce] 1700000000",
    '#time=1d',
    r'"Other"="keep"',
    r'"Kestova Patch"="\"C:\\ProgramData\\Kestova Patch\\kestova-patch.exe\" /resume-after-restart"',
    "",
]))
expect_eq("the 32-bit view's value is taken",
          crash.take_run_once_from_saved_registry(work),
          '"C:\\ProgramData\\Kestova Patch\\kestova-patch.exe" /resume-after-restart')
text = registry.read_text()
expect_eq("the taken value is gone from the file", text.count('"Kestova Patch"='), 1)
expect_eq("the other view's value and the section's other values stay",
          ('C:\\\\other view' in text, '"Other"="keep"' in text), (True, True))
expect_eq("nothing more to take", crash.take_run_once_from_saved_registry(work), None)

# A flush's .reg file: the value becomes a deletion and its text is returned.
dump = work / "flush.reg"
command = '"C:\\ProgramData\\Kestova Patch\\kestova-patch.exe" /resume-after-restart'
data = (command + "\0").encode("utf-16-le")
dump.write_bytes("\r\n".join([
    "Windows Registry Editor Version 5.00", "",
    r"[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion\RunOnce]",
    crash._reg_value("Kestova Patch", 1, data), "", ""]).encode("utf-16"))
expect_eq("the flushed command", crash.take_run_once_from_flush_dump(dump), command)
expect_eq("the flushed value turned into a deletion",
          '"Kestova Patch"=-' in dump.read_bytes().decode("utf-16"), True)
expect_eq("a flush without the value", crash.take_run_once_from_flush_dump(dump), None)

# Values as a .reg file writes them: type and bytes, the name escaped.
expect_eq("a value line", crash._reg_value('a"b\\c', 4, b"\x01\x00\x00\x00"), r'"a\"b\\c"=hex(4):01,00,00,00')
expect_eq("the default value", crash._reg_value("", 1, b"a\0\0\0"), "@=hex(1):61,00,00,00")

# A stop between a program's start and its resumption leaves it suspended.
changes = [(1, "CreateDirectoryA"), (2, "CreateProcessA"), (3, "RegCreateKeyExA"), (4, "ResumeThread"),
           (5, "SHFileOperationA")]
expect_eq("stops that leave the setup suspended", [crash._left_suspended(changes, n) for n in range(1, 7)],
          [False, False, True, True, False, False])

# The sample: each stage's changes from its first folder move to its end
# stopped after once, over its start states and kinds of machine.
stage = [(n, "SHFileOperationA" if n in (5, 9) else "RegSetValueExW") for n in range(1, 13)]
for group, slots in crash.SAMPLE_SLOTS.items():
    cells = [(name, kind, n) for name, kind in set(slots) for n in crash.sample_numbers(name, stage, kind)]
    expect_eq("the %s stage's sample covers its first move to its end once" % group,
              sorted(n for _, _, n in cells), list(range(5, 12)))
    expect_eq("%s: every slot takes part" % group, {(name, kind) for name, kind, _ in cells}, set(slots))
    expect_eq("%s: its start states begin that stage" % group,
              {crash.sample_stage(name) for name, _ in slots}, {group})

# Chains: a state is made from its parent on the same machine.
names = lambda chains: [[state.name for state in chain] for chain in chains]
expect_eq("a removal brings its parents", names(crash_matrix.state_chains(
    [crash.STATES_BY_NAME["uninstall_without_remaining"]])),
    [["install_3_beside_2", "uninstall_with_remaining", "uninstall_without_remaining"]])
expect_eq("all states, two chains", names(crash_matrix.state_chains(crash.STATES)),
          [["install_3_beside_2", "uninstall_with_remaining", "uninstall_without_remaining"],
           ["install_2_beside_3"]])

# The folder sync: changed and missing files copied, extra ones removed.
source, target = work / "source", work / "target"
(source / "a").mkdir(parents=True)
(source / "a" / "same").write_text("same")
(source / "a" / "changed").write_text("new")
(source / "link").symlink_to("/nowhere")
crash._sync_folder(source, target)
(target / "a" / "changed").write_text("old, longer")
(target / "a" / "extra").write_text("extra")
(target / "b").mkdir()
crash._sync_folder(source, target)
listing = sorted(str(path.relative_to(target)) for path in target.rglob("*"))
expect_eq("the synchronised listing", listing, ["a", "a/changed", "a/same", "link"])
expect_eq("the changed file copied again", (target / "a" / "changed").read_text(), "new")
expect_eq("the link kept as a link", os.readlink(target / "link"), "/nowhere")

print("%d passed, %d failed" % (passed, failed))
EOF
