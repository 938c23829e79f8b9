#!/usr/bin/env bash
# Tests of the pictures of the message boxes: every picture that the README's
# Windows user's guide shows is in docs/boxes and is a whole PNG of a box's
# size; the boxes that scripts/screenshots.sh captures are exactly those the
# guide shows, so that neither can lose one unnoticed; and the HTML guide of
# the release zip links each picture from its "boxes" folder. The checks are
# also run against broken pictures and lists, which they must reject.
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
PYTHON=python3
[[ -x /usr/bin/python3 ]] && PYTHON=/usr/bin/python3
cd "$ROOT" || exit 1

"$PYTHON" - <<'EOF'
import struct
import subprocess
import sys
import zlib
from pathlib import Path

sys.path.insert(0, "scripts")
import guide_html  # noqa: E402

passed = failed = 0


def expect(condition, what):
    global passed, failed
    if condition:
        passed += 1
    else:
        failed += 1
        print("FAIL " + what)


# A box is at least a line of text and a button, and no more than a
# quarter of a 1024x768 screen in either direction beyond half of it.
MIN_SIZE, MAX_SIZE = (150, 60), (800, 500)
MAX_BYTES = 16 * 1024
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def png_problem(data):
    """Why DATA is not a whole PNG of a box's size; None when it is."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return "no PNG signature"
    if len(data) > MAX_BYTES:
        return "%d bytes, more than %d" % (len(data), MAX_BYTES)
    at, chunks, idat = 8, [], b""
    while at + 12 <= len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if len(body) != length or at + 12 + length > len(data):
            return "chunk %r cut off" % kind
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if zlib.crc32(kind + body) != crc:
            return "chunk %r has a wrong CRC" % kind
        chunks.append((kind, body))
        if kind == b"IDAT":
            idat += body
        at += 12 + length
    if not chunks or chunks[0][0] != b"IHDR" or chunks[-1][0] != b"IEND" or at != len(data):
        return "not IHDR ... IEND"
    width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if not (MIN_SIZE[0] <= width <= MAX_SIZE[0] and MIN_SIZE[1] <= height <= MAX_SIZE[1]):
        return "%dx%d is not a box's size" % (width, height)
    if colour not in CHANNELS or interlace != 0:
        return "colour type %d, interlace %d" % (colour, interlace)
    try:
        pixels = zlib.decompress(idat)
    except zlib.error as error:
        return "image data does not inflate: %s" % error
    row = (width * CHANNELS[colour] * depth + 7) // 8 + 1
    if len(pixels) != row * height:
        return "image data of %d bytes, %d expected" % (len(pixels), row * height)
    return None


guide = guide_html.guide_of(Path("README.md").read_text(encoding="utf-8"))
shown = guide_html.pictures_of(guide)
names = [Path(path).stem for path in shown]
listed = subprocess.run([sys.executable, "tests/wine/screenshots.py", "--list"], capture_output=True,
                        text=True, check=True).stdout.split()

# -- the pictures the guide shows ----------------------------------------------
expect(len(shown) > 0, "the guide shows no picture")
expect(len(set(shown)) == len(shown), "the guide shows a picture twice: %r" % shown)
for path in shown:
    expect(path.startswith("docs/boxes/") and path.endswith(".png"), "%s: not a PNG in docs/boxes" % path)
    if not Path(path).is_file():
        expect(False, "%s: the guide shows it, docs/boxes lacks it" % path)
        continue
    problem = png_problem(Path(path).read_bytes())
    expect(problem is None, "%s: %s" % (path, problem))
stale = sorted(p.name for p in Path("docs/boxes").glob("*") if "docs/boxes/" + p.name not in shown)
expect(stale == [], "pictures in docs/boxes that the guide does not show: %s" % stale)

# -- the screenshot script's boxes are the guide's -----------------------------
expect(sorted(listed) == sorted(names),
       "screenshots.py captures %s, the guide shows %s" % (sorted(listed), sorted(names)))
expect(len(set(listed)) == len(listed), "screenshots.py lists a box twice: %r" % listed)

# -- the HTML guide links every picture from its boxes folder ------------------
page = guide_html.page(guide, "0.0")
for name in names:
    expect(page.count('src="boxes/%s.png"' % name) == 1, "the HTML guide does not show boxes/%s.png once" % name)
expect("docs/boxes" not in page, "the HTML guide still names docs/boxes")
outside_code = "".join(part.split("</code>")[-1] for part in page.split("<code>"))
for leftover in ("```", "**", "]("):
    expect(leftover not in outside_code, "Markdown %r left in the HTML guide outside code" % leftover)

# -- the checks reject what they are there to catch -----------------------------
sample = Path(shown[0]).read_bytes() if shown and Path(shown[0]).is_file() else None
if sample is not None:
    expect(png_problem(sample[:-20]) is not None, "a cut-off PNG passes")
    broken = bytearray(sample)
    broken[40] ^= 0xFF  # inside the first chunk after IHDR
    expect(png_problem(bytes(broken)) is not None, "a PNG with a damaged chunk passes")
    ihdr = bytearray(sample)
    struct.pack_into(">I", ihdr, 16, 1024)  # the width
    struct.pack_into(">I", ihdr, 29, zlib.crc32(bytes(ihdr[12:29])))
    expect(png_problem(bytes(ihdr)) is not None, "a screen-wide PNG passes")
extra = guide + "\n\n![A box](docs/boxes/never-taken.png)\n"
expect(guide_html.pictures_of(extra)[-1] == "docs/boxes/never-taken.png", "a picture added to the guide is not found")
expect(sorted(listed) != sorted(Path(p).stem for p in guide_html.pictures_of(extra)),
       "a picture the screenshot script does not take goes unnoticed")

print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
EOF
