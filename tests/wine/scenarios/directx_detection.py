"""The patch's DirectX detection against Wine's own DirectX: the diagnostics
provider's answer, and the system-file table's answer worked out here on our
own from the file versions the machine reports."""

import json

from harness.scenario import scenario
from harness.swap import helper, without_directx_9

# The file table: (file, condition, result). A condition is a threshold
# a.b.c.d, a pair of thresholds chosen by the file version's first part
# (4 or 5; any other first part fails), or None: the version is readable.
# The last row that passes decides.
FILE_TABLE = [
    ("ddraw.dll", (4, 2, 0, 95), (1, 0, " ")),
    ("ddraw.dll", (4, 3, 0, 1096), (2, 0, " ")),
    ("ddraw.dll", (4, 4, 0, 68), (3, 0, " ")),
    ("d3drg8x.dll", (4, 4, 0, 70), (3, 0, "a")),
    ("ddraw.dll", (4, 5, 0, 155), (5, 0, " ")),
    ("ddraw.dll", (4, 6, 0, 318), (6, 0, " ")),
    ("ddraw.dll", (4, 6, 0, 436), (6, 1, " ")),
    ("dplayx.dll", (4, 6, 3, 518), (6, 1, "a")),
    ("ddraw.dll", (4, 7, 0, 700), (7, 0, " ")),
    ("dinput.dll", (4, 7, 0, 716), (7, 0, "a")),
    ("ddraw.dll", ((4, 8, 0, 400), (5, 1, 2258, 400)), (8, 0, " ")),
    ("d3d8.dll", ((4, 8, 1, 881), (5, 1, 2600, 881)), (8, 1, " ")),
    ("d3d8.dll", ((4, 8, 1, 901), (5, 1, 2600, 901)), (8, 1, "a")),
    ("mpg2splt.ax", (6, 3, 1, 885), (8, 1, "b")),
    ("dpnet.dll", ((4, 9, 0, 134), (5, 2, 3677, 134)), (8, 2, " ")),
    ("d3d9.dll", None, (9, 0, " ")),
]

E_FAIL = "0x80004005"


def passes(version, condition):
    if condition is None:
        return True
    if isinstance(condition[0], tuple):
        by_first_part = {4: condition[0], 5: condition[1]}
        if version[0] not in by_first_part:
            return False
        condition = by_first_part[version[0]]
    return version >= condition


def file_table_answer(files):
    """The table's (major, minor, letter) for the versions the machine
    reported ({file: "a.b.c.d"}, missing for an unreadable file)."""
    answer = (0, 0, " ")
    for file_name, condition, result in FILE_TABLE:
        version = files.get(file_name)
        if version is not None and passes(tuple(int(part) for part in version.split(".")), condition):
            answer = result
    return answer


def packed(major, minor, letter):
    letter_number = ord(letter) - ord("a") + 1 if "a" <= letter <= "z" else 0
    return "0x%08x" % (((major * 256) + minor) * 256 + letter_number)


def text(major, minor, letter):
    return "%d.%d%s" % (major, minor, "" if letter == " " else letter)


def probe(t):
    answers = json.loads(t.machine.wine(helper(t.tools, "dxprobe.exe")).stdout)
    files = {name: entry.get("version") for name, entry in answers["files"].items()}
    t.note("system directory %s" % answers["system_directory"],
           "diagnostics: %(hr)s %(major)d.%(minor)d letter %(letter)r" % answers["diagnostics"],
           "file table:  %(hr)s %(major)d.%(minor)d letter %(letter)r" % answers["file_table"],
           "query:       %(hr)s packed %(packed)s text %(text)r" % answers["query"],
           "files: " + ", ".join("%s %s" % (name, version or "-") for name, version in files.items()))
    return answers, {name: version for name, version in files.items() if version is not None}


def triple(answer):
    return answer["major"], answer["minor"], answer["letter"]


def expect_file_table(t, answers, files):
    """The file table succeeds and agrees with the table worked out here."""
    t.expect_equal(answers["file_table"]["hr"], "0x00000000", "result of the file table")
    t.expect_equal(triple(answers["file_table"]), file_table_answer(files), "the file table's version")


def expect_query(t, answers, source):
    t.expect_equal(answers["query"]["hr"], "0x00000000", "result of the query")
    t.expect_equal(answers["query"]["packed"], packed(*source), "packed version of the query")
    t.expect_equal(answers["query"]["text"], text(*source), "text of the query")


@scenario
def directx_version_under_wine(t):
    """Wine's DirectX: the provider reports 9.0 or later, the file table agrees with the files"""
    answers, files = probe(t)
    diagnostics = answers["diagnostics"]
    if diagnostics["hr"] == "0x00000000":
        t.expect(diagnostics["major"] >= 9, "the provider reports DirectX 9 or later: %r" % diagnostics)
        t.expect(diagnostics["letter"] == " " or "a" <= diagnostics["letter"].lower() <= "z",
                 "the provider's letter is a letter or none: %r" % diagnostics["letter"])
        major, minor, letter = triple(diagnostics)
        expect_query(t, answers, (major, minor, letter.lower()))
    else:
        # Without a working provider the query takes the file table's word.
        t.note("the diagnostics provider failed: %s" % diagnostics["hr"])
        expect_query(t, answers, triple(answers["file_table"]))
    expect_file_table(t, answers, files)
    t.expect("d3d9.dll" in files, "Wine's d3d9.dll has a readable version")


@scenario
def directx_version_from_the_system_files(t):
    """Without the diagnostics provider the query falls back to the file table, which reads the real files"""
    t.machine.env["WINEDLLOVERRIDES"] += ";dxdiagn=d"
    answers, files = probe(t)
    t.expect_equal(answers["diagnostics"]["hr"], E_FAIL, "result of the diagnostics provider when it is off")
    expect_file_table(t, answers, files)
    expect_query(t, answers, triple(answers["file_table"]))
    t.expect_equal(triple(answers["file_table"]), (9, 0, " "), "the file table's version with d3d9.dll present")


@scenario
def directx_version_without_d3d9(t):
    """No diagnostics provider and no d3d9.dll: the file table reports DirectX 8, too old for both titles"""
    without_directx_9(t.machine)
    answers, files = probe(t)
    t.expect("d3d9.dll" not in files, "d3d9.dll is gone")
    expect_file_table(t, answers, files)
    expect_query(t, answers, triple(answers["file_table"]))
    t.expect(answers["file_table"]["major"] == 8, "the file table's version is an 8.x: %r" % answers["file_table"])
