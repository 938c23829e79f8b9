#!/usr/bin/env python3
"""The executable: the size of the stripped release kestova-patch.exe, its
sections and import list, and what makes it big.

The last part links the same objects once more, the same way but unstripped
and with a link map, and adds up the bytes each library and object brings
into the sections that are kept (file bytes: .bss is left out), then names
for the largest runtime pieces the chain of references that pulled them in.
A second link without section garbage collection shows what that saves.
It also says whether any piece of the C++ exception runtime (libstdc++'s
exception support, libgcc's unwinder) or of MinGW's own printf is linked:
the patch brings its own allocation functions and formats with msvcrt so
that none is.
"""

import argparse
import re
import shlex
import subprocess
import sys
import tempfile
from collections import Counter
from pathlib import Path

from common import ROOT, describe_host, heading

SIZE_TARGET = 64 * 1024
SIZE_STRETCH = 48 * 1024
OBJDUMP = "i686-w64-mingw32-objdump"
RUNTIME_LIBRARIES = ("libstdc++", "libgcc", "libmingw", "libmsvcrt")
# Archive members that must stay out: the exception runtime and MinGW's
# C99 printf (with its floating-point conversions).
UNWANTED = {
    "the C++ exception runtime": re.compile(
        r"^(libgcc_eh\.a|libstdc\+\+\.a\((eh_|cp-demangle|vterminate|new_op|bad_alloc))"),
    "MinGW's own printf": re.compile(r"^libmingwex\.a\(.*(pformat|vsnprintf|gdtoa|dtoa)"),
}


def sections(exe):
    out = subprocess.run([OBJDUMP, "-h", str(exe)], capture_output=True, text=True, check=True).stdout
    found = []
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 7 and fields[0].isdigit():
            found.append((fields[1], int(fields[2], 16)))
    return found


def imports(exe):
    out = subprocess.run([OBJDUMP, "-p", str(exe)], capture_output=True, text=True, check=True).stdout
    return sorted({line.split(":", 1)[1].strip() for line in out.splitlines() if "DLL Name:" in line},
                  key=str.lower)


def stripped(exe):
    out = subprocess.run([OBJDUMP, "-p", str(exe)], capture_output=True, text=True).stdout
    return "symbols stripped" in out


def link_command(build_dir, output, extra, drop_gc=False, first=()):
    """The exe's link line from CMake, unstripped, writing OUTPUT; EXTRA at
    its end, FIRST before the objects (a --defsym must come before the
    archives that would otherwise resolve its symbol)."""
    line = [l for l in (build_dir / "CMakeFiles/kestova-patch.dir/link.txt").read_text().splitlines()
            if "-o kestova-patch.exe" in l][0]
    args = shlex.split(line)
    args = [a for a in args if a != "-s" and not (drop_gc and a == "-Wl,--gc-sections")]
    index = args.index("kestova-patch.exe")
    args[index] = str(output)
    args = [a for a in args if not a.startswith("-Wl,--out-implib")]
    return args[:1] + list(first) + args[1:] + extra


def parse_map(path):
    """Bytes per input file in the kept, file-backed sections, and the
    archive members' reasons for being linked."""
    text = Path(path).read_text(errors="replace")
    reasons = {}
    head, _, rest = text.partition("Archive member included to satisfy reference by file (symbol)")
    members, _, memory_map = rest.partition("Linker script and memory map")
    pending = None
    for line in members.splitlines():
        if not line.strip():
            continue
        if not line.startswith(" "):
            parts = line.split(None, 1)
            pending = _short(parts[0])
            if len(parts) > 1:
                reasons[pending] = _reason(parts[1])
                pending = None
        elif pending:
            reasons[pending] = _reason(line.strip())
            pending = None
    sizes = Counter()
    section = None
    for line in memory_map.splitlines():
        match = re.match(r"^ (\.\S+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S+)$", line)
        if match:
            section, size, source = match.group(1), int(match.group(2), 16), match.group(3)
        else:
            alone = re.match(r"^ (\.\S+)$", line)
            if alone:
                section = alone.group(1)
                continue
            follow = re.match(r"^\s{16,}0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S+)$", line)
            if not (follow and section):
                section = None
                continue
            size, source = int(follow.group(1), 16), follow.group(2)
        if section.startswith((".debug", ".bss")) or section == ".stab":
            section = None
            continue
        sizes[_short(source)] += size
        section = None
    return sizes, reasons


def _short(path):
    """lib/.../libstdc++.a(new_op.o) as libstdc++.a(new_op.o)."""
    match = re.match(r"^(.*?)(\(.*\))?$", path)
    return Path(match.group(1)).name + (match.group(2) or "")


def _reason(text):
    match = re.match(r"^(\S+)\s+\((.*)\)$", text)
    return (_short(match.group(1)), match.group(2)) if match else (text, "")


def chain(member, reasons, limit=10):
    """[(referrer, symbol)]: who pulled MEMBER in, back to the first file of
    the patch's own."""
    steps = []
    while member in reasons and len(steps) < limit:
        referrer, symbol = reasons[member]
        steps.append((referrer, symbol))
        if not referrer.startswith(RUNTIME_LIBRARIES):
            break
        member = referrer
    return steps


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default="build/bench-win")
    args = parser.parse_args()
    build_dir = (ROOT / args.build_dir).resolve() if not Path(args.build_dir).is_absolute() else Path(args.build_dir)
    exe = build_dir / "kestova-patch.exe"
    if not exe.exists():
        print("not built: %s" % exe)
        return 1

    heading("The executable")
    print("machine: " + describe_host())
    size = exe.stat().st_size
    print("%s: %d bytes = %.1f KiB (target under %d KiB: %s; stretch under %d KiB: %s); %s"
          % (exe.relative_to(ROOT) if ROOT in exe.parents else exe, size, size / 1024, SIZE_TARGET // 1024,
             "met" if size < SIZE_TARGET else "NOT met", SIZE_STRETCH // 1024,
             "met" if size < SIZE_STRETCH else "not met", "stripped" if stripped(exe) else "NOT stripped"))
    print("sections: " + ", ".join("%s %d" % (name, length) for name, length in sections(exe)))
    dlls = imports(exe)
    check = subprocess.run(["sh", str(ROOT / "scripts/check-imports.sh"), str(exe), OBJDUMP],
                           capture_output=True, text=True)
    print("imports: %s (%s)" % (", ".join(dlls), "system DLLs only" if check.returncode == 0 else
                                 "NOT system DLLs only: " + check.stderr.strip()))

    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        mapped = scratch / "mapped.exe"
        map_file = scratch / "kestova-patch.map"
        subprocess.run(link_command(build_dir, mapped, ["-Wl,-Map=%s" % map_file]), cwd=build_dir, check=True)
        no_gc = scratch / "no-gc.exe"
        subprocess.run(link_command(build_dir, no_gc, ["-s"], drop_gc=True), cwd=build_dir, check=True)
        no_gc_size = no_gc.stat().st_size
        sizes, reasons = parse_map(map_file)
    print("the same objects linked without -Wl,--gc-sections: %d bytes (the garbage collection saves %d)"
          % (no_gc_size, no_gc_size - size))
    unwanted_found = False
    for what, pattern in UNWANTED.items():
        members = sorted(source for source in sizes if pattern.match(source))
        unwanted_found = unwanted_found or bool(members)
        print("%s linked: %s" % (what, "no" if not members else "YES, %d bytes: %s" % (
            sum(sizes[m] for m in members), ", ".join(members))))
    print("what is in it (bytes in the kept file-backed sections, by library; from a link map):")
    by_library = Counter()
    for source, count in sizes.items():
        by_library[source.split("(")[0]] += count
    total = sum(by_library.values())
    for library, count in by_library.most_common(8):
        print("  %-26s %7d  %4.1f%%" % (library, count, 100.0 * count / total))
    print("largest pieces:")
    for source, count in sizes.most_common(12):
        print("  %-58s %7d" % (source, count))
    runtime = [source for source, _ in sizes.most_common(30) if source.startswith(RUNTIME_LIBRARIES)][:4]
    print("why the largest runtime pieces are there (each line is pulled in by the one below it):")
    for source in runtime:
        print("  %s (%d bytes)" % (source, sizes[source]))
        for referrer, symbol in chain(source, reasons):
            print("    <- %s, for %s" % (referrer, symbol))
    return 0 if size < SIZE_TARGET and check.returncode == 0 and not unwanted_found else 1


if __name__ == "__main__":
    sys.exit(main())
