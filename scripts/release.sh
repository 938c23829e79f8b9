#!/usr/bin/env bash
# Builds the release kestova-patch.exe and packs it with the Windows user's
# guide (as text and as HTML with the pictures of the message boxes) into
# build/release/kestova-patch-VERSION.zip.
#
#   scripts/release.sh
#
# The exe is the "windows" preset's build (mingw-w64 i686, MinSizeRel,
# static, stripped) in build/rel-win. Before it is packed, the script checks
# it and stops with an error when any check fails:
#   - a 32-bit Windows GUI program (PE32, i386) with its symbols stripped;
#   - the manifest asks for administrator rights (requireAdministrator);
#   - the version resource is there and says the project's version;
#   - it imports system DLLs only and is no larger than 64 KiB (65,536
#     bytes; scripts/check-imports.sh, which also runs after every link of
#     the exe: a failing link fails the build);
#   - the user's guide quotes every message of the program word for word.
# The guide is the README's section "Windows user's guide", as
# USERS-GUIDE.txt with Windows line ends, and as USERS-GUIDE.html
# (scripts/guide_html.py) with the pictures it shows (docs/boxes, taken by
# scripts/screenshots.sh) in a folder "boxes" beside it; a picture that the
# guide names and docs/boxes lacks stops the script.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
BUILD=$ROOT/build/rel-win
OUT=$ROOT/build/release
OBJDUMP=i686-w64-mingw32-objdump
SIZE_LIMIT=65536
PYTHON=python3
[[ -x /usr/bin/python3 ]] && PYTHON=/usr/bin/python3

fail() {
    echo "release: $*" >&2
    exit 1
}

for tool in cmake i686-w64-mingw32-g++ "$OBJDUMP" "$PYTHON"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

VERSION=$(sed -nE 's/^project\(kestova_patch VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[[ -n $VERSION ]] || fail "no project version in CMakeLists.txt"

echo "== building kestova-patch.exe $VERSION in ${BUILD#"$ROOT"/}"
cmake --preset windows -B "$BUILD" --fresh >"$ROOT/build/rel-win.configure.log" 2>&1 ||
    fail "configure failed, see build/rel-win.configure.log"
# The post-build step runs scripts/check-imports.sh: a non-system DLL or an
# exe over the size limit fails here.
cmake --build "$BUILD" -j 2 --target kestova-patch || fail "the build failed"
EXE=$BUILD/kestova-patch.exe
[[ -f $EXE ]] || fail "no $EXE"

echo "== checking the exe"
headers=$("$OBJDUMP" -p "$EXE")
grep -q 'file format pei-i386' <<<"$headers" || fail "not a 32-bit Windows program"
grep -qE '^Magic[[:space:]]+010b' <<<"$headers" || fail "not PE32"
grep -qE '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not a Windows GUI program"
grep -q 'symbols stripped' <<<"$headers" || fail "not stripped"
if "$OBJDUMP" -h "$EXE" | grep -q '\.debug'; then
    fail "debug sections left in"
fi
sh scripts/check-imports.sh --max-size="$SIZE_LIMIT" "$EXE" "$OBJDUMP" ||
    fail "imports a DLL that is not a system DLL, or is larger than $SIZE_LIMIT bytes"
"$PYTHON" - "$EXE" "$VERSION" <<'EOF' || fail "resource check failed"
import sys
data = open(sys.argv[1], "rb").read()
version = sys.argv[2] + ".0" * (4 - len(sys.argv[2].split(".")))
# A version string: its UTF-16 key, the key's NUL and padding, the value.
key = "FileVersion".encode("utf-16-le")
at = data.find(key)
checks = {
    "manifest asking for administrator rights": b'level="requireAdministrator"' in data,
    "version resource": "VS_VERSION_INFO".encode("utf-16-le") in data,
    "file version %s" % version: at >= 0 and (version + "\0").encode("utf-16-le") in data[at:at + 64],
}
for what, ok in checks.items():
    print("  %-40s %s" % (what, "yes" if ok else "NO"))
sys.exit(0 if all(checks.values()) else 1)
EOF

echo "== the user's guide"
STAGE=$OUT/stage
rm -rf "$STAGE"
mkdir -p "$STAGE"
"$PYTHON" - README.md "$STAGE/USERS-GUIDE.txt" "$VERSION" source <<'EOF' || fail "user's guide check failed"
import re, sys
from pathlib import Path

readme, target, version, sources = sys.argv[1:5]
text = Path(readme).read_text(encoding="utf-8")
match = re.search(r"^## Windows user's guide\n(.*?)(?=^## |\Z)", text, re.M | re.S)
if not match or "(To be written.)" in match.group(1):
    sys.exit("  README.md has no Windows user's guide")
guide = match.group(1).strip("\n")


def literals(code):
    """Adjacent string literals joined, as written (escapes kept)."""
    code = re.sub(r"//[^\n]*", "", code)
    code = re.sub(r"/\*.*?\*/", "", code, flags=re.S)
    # The log's lines are not messages: the guide explains them by example.
    code = re.sub(r"\blog_line\((?:[^;\"]|\"(?:[^\"\\\n]|\\.)*\")*\);", "", code)
    for found in re.finditer(r'(?:"(?:[^"\\\n]|\\.)*"\s*)+', code):
        yield "".join(re.findall(r'"((?:[^"\\\n]|\\.)*)"', found.group(0)))


# A message: a text with a blank in it that is not a path, in the modules'
# code (not the layout constants); "A title" only stands in for a title.
messages = set()
for folder in ("main", "misc", "registry"):
    for path in sorted(Path(sources, folder).glob("*.cpp")):
        for literal in literals(path.read_text(encoding="utf-8")):
            # The guide shows quotes as they appear in the box.
            literal = literal.replace('\\"', '"')
            # A format with no words of its own (a command line such as
            # '"%s" %s') is not a message.
            words = re.sub(r"%[-+ #0-9.]*l?[sdcuxX]", "", literal)
            if not re.search(r"[A-Za-z]", words):
                continue
            if " " in literal and "\\\\" not in literal and literal != "A title":
                messages.add(literal)
missing = sorted(m for m in messages if m not in guide)
for message in missing:
    print("  not in the guide: %s" % message)
print("  %d messages of the program, %d quoted in the guide" % (len(messages), len(messages) - len(missing)))
if missing:
    sys.exit(1)
title = "Kestova Patch %s: Windows user's guide" % version
# A picture's line names the file in the zip.
guide = re.sub(r"!\[([^\]]*)\]\(docs/boxes/([^)\s]+)\)", r"[Picture boxes/\2: \1]", guide)
body = title + "\n" + "=" * len(title) + "\n\n" + guide + "\n"
Path(target).write_bytes(body.replace("\n", "\r\n").encode("utf-8"))
EOF

"$PYTHON" scripts/guide_html.py README.md "$STAGE/USERS-GUIDE.html" "$VERSION" ||
    fail "the HTML guide could not be made"
mkdir -p "$STAGE/boxes"
PICTURES=()
while read -r picture; do
    [[ $picture == docs/boxes/*.png ]] || fail "the guide shows a picture outside docs/boxes: $picture"
    [[ -s $picture ]] || fail "the guide shows $picture, which is missing (scripts/screenshots.sh takes it)"
    cp "$picture" "$STAGE/boxes/"
    PICTURES+=("boxes/${picture##*/}")
done < <("$PYTHON" scripts/guide_html.py --images README.md)
echo "  USERS-GUIDE.txt, USERS-GUIDE.html and ${#PICTURES[@]} pictures"

echo "== packing"
cp "$EXE" "$STAGE/kestova-patch.exe"
ZIP=$OUT/kestova-patch-$VERSION.zip
rm -f "$ZIP"
if command -v zip >/dev/null; then
    (cd "$STAGE" && zip -q -X "$ZIP" kestova-patch.exe USERS-GUIDE.txt USERS-GUIDE.html "${PICTURES[@]}")
else
    "$PYTHON" - "$ZIP" "$STAGE" kestova-patch.exe USERS-GUIDE.txt USERS-GUIDE.html "${PICTURES[@]}" <<'EOF'
import sys, zipfile
from pathlib import Path
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as archive:
    for name in sys.argv[3:]:
        archive.write(Path(sys.argv[2]) / name, name)
EOF
fi
"$PYTHON" - "$ZIP" kestova-patch.exe USERS-GUIDE.txt USERS-GUIDE.html "${PICTURES[@]}" <<'EOF'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as archive:
    if archive.testzip() is not None or sorted(archive.namelist()) != sorted(sys.argv[2:]):
        sys.exit("release: the zip is not as packed")
EOF

echo "== done"
printf '  %-50s %8d bytes  sha256 %s\n' "${EXE#"$ROOT"/}" "$(stat -c %s "$EXE")" "$(sha256sum "$EXE" | cut -d' ' -f1)"
printf '  %-50s %8d bytes  sha256 %s\n' "${ZIP#"$ROOT"/}" "$(stat -c %s "$ZIP")" "$(sha256sum "$ZIP" | cut -d' ' -f1)"
