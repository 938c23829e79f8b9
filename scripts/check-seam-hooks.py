#!/usr/bin/env python3
"""Checks that every function of the Win32 seam calls the crash-test hook
first.

Usage: scripts/check-seam-hooks.py [DIR_OR_FILE...]   (default: source/platform/win32)

A seam function is a function defined at namespace scope in a .cpp file of
the Win32 backend whose name is qualified with platform:: (or that stands
inside a "namespace platform" block). Its body must begin with a call of
seam_call (win32::seam_call), the hook of source/platform/win32/seam_call.h,
whose first argument says what the call does (seam_effect::looks, changes,
flushes or logs). The crash-test build counts the platform calls through that hook,
so a function without it would be a platform call that the crash matrix can
never stop at. Prints each offender with its file and line and exits 1;
prints the number of seam functions checked and exits 0 when all are right.
"""

import re
import sys
from pathlib import Path

HOOK = re.compile(r"(?:win32::)?seam_call\s*\(\s*(?:win32::)?seam_effect::(looks|changes|flushes|logs)\s*,")
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z_0-9]*")


def blank_comments_and_literals(text):
    """The text with comments, string and character literals replaced by
    spaces (newlines kept), so that braces and names inside them count for
    nothing and line numbers stay right."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c == '"' and i > 0 and text[i - 1] == "R":
            close = text.index("(", i)
            delimiter = ")" + text[i + 1:close] + '"'
            end = text.find(delimiter, close)
            end = n if end < 0 else end + len(delimiter)
            out.append('"' + re.sub(r"[^\n]", " ", text[i + 1:end - 1]) + '"')
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + (c if j < n else ""))
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def matching(text, open_index, opening, closing):
    """The index of the bracket that closes the one at OPEN_INDEX."""
    depth = 0
    for i in range(open_index, len(text)):
        if text[i] == opening:
            depth += 1
        elif text[i] == closing:
            depth -= 1
            if depth == 0:
                return i
    return -1


def function_name(declarator):
    """The (qualified) name of the function a declarator declares: the name
    before its first parenthesis at the outer level, or None."""
    depth = 0
    for i, c in enumerate(declarator):
        if c in "<[":
            depth += 1
        elif c in ">]":
            depth -= 1
        elif c == "(" and depth <= 0:
            head = declarator[:i].rstrip()
            match = re.search(r"((?:[A-Za-z_][A-Za-z_0-9]*\s*::\s*)*~?[A-Za-z_][A-Za-z_0-9]*)$", head)
            return re.sub(r"\s+", "", match.group(1)) if match else None
    return None


def seam_functions(path):
    """(name, line, body start) of every seam function defined in PATH."""
    source = blank_comments_and_literals(path.read_text(encoding="utf-8"))
    found = []

    def scan(start, end, namespaces):
        statement_start = start
        i = start
        while i < end:
            c = source[i]
            if c in ";}":
                statement_start = i + 1
            elif c == "{":
                close = matching(source, i, "{", "}")
                if close < 0:
                    return
                head = source[statement_start:i]
                namespace = re.search(r"\bnamespace\s*([A-Za-z_][A-Za-z_0-9:]*)?\s*$", head)
                if namespace:
                    scan(i + 1, close, namespaces + [namespace.group(1) or ""])
                elif re.search(r"\)\s*(?:const|noexcept|override|final|\s)*$", head) and "=" not in head.split("(")[0]:
                    name = function_name(head.strip())
                    if name and (name.startswith("platform::") or (namespaces and namespaces[-1] == "platform"
                                                                   and "::" not in name)):
                        declared_at = statement_start + len(head) - len(head.lstrip())
                        line = source.count("\n", 0, declared_at) + 1
                        found.append((name, line, i + 1))
                elif re.search(r'\bextern\s*"[^"]*"\s*$', head):
                    scan(i + 1, close, namespaces)
                statement_start = close + 1
                i = close
            i += 1

    scan(0, len(source), [])
    return source, found


def check(paths):
    problems = []
    checked = 0
    for path in paths:
        source, functions = seam_functions(path)
        for name, line, body in functions:
            checked += 1
            first_statement = len(source) - len(source[body:].lstrip())
            if not HOOK.match(source, first_statement):
                problems.append("%s:%d: %s does not call seam_call(seam_effect::..., __func__) first" %
                                (path, line, name))
    return checked, problems


def main(arguments):
    roots = [Path(argument) for argument in arguments] or [Path(__file__).resolve().parent.parent /
                                                          "source" / "platform" / "win32"]
    paths = []
    for root in roots:
        paths.extend(sorted(root.glob("*.cpp")) if root.is_dir() else [root])
    checked, problems = check(paths)
    for problem in problems:
        print(problem)
    if problems:
        print("%d of %d seam functions do not call the crash-test hook first" % (len(problems), checked))
        return 1
    if checked == 0:
        print("no seam function found in " + ", ".join(map(str, roots)))
        return 1
    print("%d seam functions call the crash-test hook first" % checked)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
