#!/usr/bin/env python3
"""The README's "Windows user's guide" as a page of HTML, for the release zip.

  guide_html.py README.md OUT.html VERSION   writes the page
  guide_html.py --images README.md           the pictures the guide shows,
                                             one path a line (docs/boxes/...)

It knows the Markdown that the guide is written in: "###" headings,
paragraphs, "-" and "1." lists whose items go on in indented lines (further
paragraphs, fenced code, pictures), fenced code, tables, and inline code,
bold, links and pictures. A picture's path under docs/boxes/ becomes
boxes/NAME.png: the zip has the pictures in a folder "boxes" beside the page.
"""

import html
import re
import sys
from pathlib import Path

PICTURE = re.compile(r"!\[([^\]]*)\]\(([^)\s]+)\)")
LIST_ITEM = re.compile(r"(- |\d+\. )")
PICTURES_IN_DOCS = "docs/boxes/"
PICTURES_IN_ZIP = "boxes/"


def guide_of(readme_text):
    """The section "Windows user's guide" without its heading."""
    match = re.search(r"^## Windows user's guide\n(.*?)(?=^## |\Z)", readme_text, re.M | re.S)
    if not match:
        raise ValueError("README.md has no Windows user's guide")
    return match.group(1).strip("\n")


def pictures_of(guide):
    """The paths of the pictures that the guide shows, in order."""
    return [match.group(2) for match in PICTURE.finditer(guide)]


def _inline(text):
    """Inline Markdown as HTML: code spans first (nothing inside them is
    read as Markdown), then pictures, links, autolinks and bold."""
    parts = re.split(r"(`[^`]*`)", text)
    out = []
    for part in parts:
        if part.startswith("`") and part.endswith("`") and len(part) >= 2:
            out.append("<code>%s</code>" % html.escape(part[1:-1], quote=False))
            continue
        part = html.escape(part, quote=False)
        part = PICTURE.sub(lambda m: '<img src="%s" alt="%s">' % (
            html.escape(m.group(2).replace(PICTURES_IN_DOCS, PICTURES_IN_ZIP, 1)), m.group(1)), part)
        part = re.sub(r"\[([^\]]+)\]\(([^)\s]+)\)", r'<a href="\2">\1</a>', part)
        part = re.sub(r"&lt;(https?://[^&\s]+)&gt;", r'<a href="\1">\1</a>', part)
        part = re.sub(r"\*\*(.+?)\*\*", r"<strong>\1</strong>", part)
        out.append(part)
    return "".join(out)


def _table(rows):
    def cells(row):
        # A "|" inside a code span belongs to the cell.
        return [cell.strip() for cell in re.split(r"\|(?=(?:[^`]*`[^`]*`)*[^`]*$)", row.strip().strip("|"))]

    head, body = cells(rows[0]), [cells(row) for row in rows[2:]]
    out = ["<table>", "<tr>" + "".join("<th>%s</th>" % _inline(cell) for cell in head) + "</tr>"]
    out += ["<tr>" + "".join("<td>%s</td>" % _inline(cell) for cell in row) + "</tr>" for row in body]
    out.append("</table>")
    return "\n".join(out)


def _list_items(lines, start):
    """The items of the list at START: (kind, [item lines, dedented], next)."""
    kind = "ol" if lines[start][0].isdigit() else "ul"
    items = []
    i = start
    while i < len(lines):
        marker = LIST_ITEM.match(lines[i])
        if not marker or (marker.group(1)[0].isdigit()) != (kind == "ol"):
            break
        width = len(marker.group(1))
        item = [lines[i][width:]]
        i += 1
        while i < len(lines):
            line = lines[i]
            if not line.strip():
                # A blank line goes on with the item when an indented line follows.
                following = next((l for l in lines[i:] if l.strip()), "")
                if not following.startswith(" "):
                    break
                item.append("")
            elif line.startswith(" "):
                item.append(line[width:] if line[:width].strip() == "" else line.lstrip())
            elif LIST_ITEM.match(line) or not item[-1].strip():
                break
            else:
                item.append(line)  # a paragraph's lazy continuation
            i += 1
        items.append(item)
        while i < len(lines) and not lines[i].strip():
            i += 1
    return kind, items, i


def blocks_to_html(lines):
    out = []
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
        elif line.startswith("```"):
            end = i + 1
            while end < len(lines) and not lines[end].startswith("```"):
                end += 1
            out.append("<pre><code>%s</code></pre>" % html.escape("\n".join(lines[i + 1:end]), quote=False))
            i = end + 1
        elif line.startswith("#"):
            level = len(line) - len(line.lstrip("#"))
            out.append("<h%d>%s</h%d>" % (level, _inline(line[level:].strip()), level))
            i += 1
        elif line.startswith("|"):
            end = i
            while end < len(lines) and lines[end].startswith("|"):
                end += 1
            out.append(_table(lines[i:end]))
            i = end
        elif LIST_ITEM.match(line):
            kind, items, i = _list_items(lines, i)
            out.append("<%s>" % kind)
            for item in items:
                inner = blocks_to_html(item)
                # An item of one paragraph stays on its line.
                if inner.count("<p>") == 1 and inner.startswith("<p>") and inner.endswith("</p>"):
                    inner = inner[3:-4]
                out.append("<li>%s</li>" % inner)
            out.append("</%s>" % kind)
        else:
            end = i
            while end < len(lines) and lines[end].strip() and not lines[end].startswith("```"):
                end += 1
            out.append("<p>%s</p>" % _inline("\n".join(lines[i:end])))
            i = end
    return "\n".join(out)


STYLE = """body { font-family: sans-serif; max-width: 60em; margin: 2em auto; line-height: 1.4; }
table { border-collapse: collapse; } td, th { border: 1px solid #999; padding: 0.3em; vertical-align: top; }
pre { background: #f4f4f4; padding: 0.5em; } img { display: block; margin: 0.5em 0; }"""


def page(guide, version):
    title = html.escape("Kestova Patch %s: Windows user's guide" % version)
    return ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>%s</title>\n"
            "<style>\n%s\n</style>\n</head>\n<body>\n<h1>%s</h1>\n%s\n</body>\n</html>\n" %
            (title, STYLE, title, blocks_to_html(guide.split("\n"))))


def main(argv):
    if len(argv) == 3 and argv[1] == "--images":
        for path in pictures_of(guide_of(Path(argv[2]).read_text(encoding="utf-8"))):
            print(path)
        return 0
    if len(argv) != 4:
        sys.exit("usage: guide_html.py README.md OUT.html VERSION | guide_html.py --images README.md")
    guide = guide_of(Path(argv[1]).read_text(encoding="utf-8"))
    Path(argv[2]).write_text(page(guide, argv[3]), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
