"""What the benchmarks share: the machine they ran on, Wine machines from the
end-to-end harness (tests/wine/harness), runs through stage_timer.exe, the
result files of the benchmark programs, CPU time read from Linux, and
printing figures."""

import os
import platform
import statistics
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "wine"))

from harness.kestova import (ALTERNATE_PRODUCT_CODE, SHARED_PRODUCT_CODE, install_patch,  # noqa: E402
                             register_title)
from harness.prefix import WineUnavailable, wine_version  # noqa: E402
from harness.scenario import Runner, Tools  # noqa: E402

BENCH_FOLDER = r"C:\bench"
KNOWN_SETUP_STAMP = 0x41640D89  # one of the two disc builds that need the patch
FILETIME_UNIX_EPOCH = 116444736000000000  # 1970-01-01 in 100 ns units since 1601


# -- The machine -------------------------------------------------------------


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def describe_host():
    """One line naming the machine: cores, CPU model, kernel, Wine, and how
    it runs 32-bit programs (as scripts/bench.sh found it)."""
    try:
        wine = wine_version()
    except WineUnavailable:
        wine = "no wine"
    line = "%d cores (nproc), %s, Linux %s, %s" % (os.cpu_count() or 0, cpu_model(), platform.release(), wine)
    kind = os.environ.get("BENCH_HOST_32BIT")
    return line + ("; %s" % kind if kind else "")


def load_average():
    try:
        return Path("/proc/loadavg").read_text().split()[0]
    except OSError:
        return "?"


# -- Figures -------------------------------------------------------------------


def median(values):
    return statistics.median(values) if values else float("nan")


def spread(values, unit="", digits=1):
    """"median (min .. max)" of a list of figures."""
    if not values:
        return "n/a"
    form = "%%.%df%s" % (digits, unit)
    return (form + " (" + form + " .. " + form + ")") % (median(values), min(values), max(values))


def heading(text):
    print()
    print(text)
    print("-" * len(text))


# -- Result files ----------------------------------------------------------------


def parse_result(text):
    """A result file of the benchmark programs: "key=value" lines. Keys that
    repeat (run=...) collect into lists."""
    result = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if not sep:
            continue
        if key in result:
            if not isinstance(result[key], list):
                result[key] = [result[key]]
            result[key].append(value)
        else:
            result[key] = value
    return result


def unescape_line(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append({"n": "\n", "r": "\r"}.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def filetime_to_unix_ns(value):
    return (int(value) - FILETIME_UNIX_EPOCH) * 100


# -- Wine machines ---------------------------------------------------------------


class Bench:
    """The built programs and a source of fresh Wine machines."""

    def __init__(self, build_dir, work_dir):
        self.build_dir = Path(build_dir).resolve()
        self.programs = self.build_dir / "bench"
        self.tools = Tools(self.build_dir)
        self.runner = Runner(self.tools, Path(work_dir).resolve())

    def program(self, name):
        path = self.programs / (name + ".exe")
        if not path.exists():
            raise SystemExit("not built: %s (cmake --preset bench && cmake --build build/bench-win)" % path)
        return path

    def machine(self):
        machine = self.runner.machine()
        machine.mkdir(BENCH_FOLDER)
        return machine

    def stamped_setup_stub(self):
        """setup_stub.exe with a known disc build's link stamp in its PE header."""
        data = bytearray(self.program("setup_stub").read_bytes())
        header = int.from_bytes(data[0x3C:0x40], "little")
        if data[header:header + 4] != b"PE\0\0":
            raise SystemExit("setup_stub.exe has no PE header")
        data[header + 8:header + 12] = KNOWN_SETUP_STAMP.to_bytes(4, "little")
        return bytes(data)


SETUP_RESULT = BENCH_FOLDER + r"\setup-result.txt"


def prepare_install_stage(bench, machine, delay_ms, linger_ms=0, title_installed="Kestova 2",
                          title_on_disc="Kestova 3"):
    """A machine ready for the install stage: TITLE_INSTALLED registered under
    the shared code, the patch in C:\\Kestova Patch, and a CD-ROM D: with the
    other title's disc, whose setup stand-in installs, signals after DELAY_MS
    ms, ends LINGER_MS ms later and writes what it saw to SETUP_RESULT.
    Returns the patch's path."""
    register_title(machine, SHARED_PRODUCT_CODE, title_installed)
    patch = install_patch(machine, bench.tools)
    config = "title=%s\r\ndelay_ms=%d\r\nlinger_ms=%d\r\nresult=%s\r\n" % (
        title_on_disc, delay_ms, linger_ms, SETUP_RESULT)
    label = "Kestova 3" if title_on_disc == "Kestova 3" else "KS2"
    machine.add_cdrom("D", label, {"setup.exe": bench.stamped_setup_stub(), "bench-setup.cfg": config})
    return patch


def setup_result(machine):
    return parse_result(machine.read_file(SETUP_RESULT).decode("utf-8", "replace")) if machine.exists(
        SETUP_RESULT) else {}


class Watcher:
    """setup_stub.exe in watch mode on a machine: it waits for the setup
    stand-in's end and then notes when the new title's product folder moves.
    The patch waits for the setup and every process the setup started, so
    the rename can only be watched from outside that chain: the benchmark
    starts the watcher itself, before the patch (through its own "wine"
    process, in a thread of this program), and it takes no CPU until the
    setup has ended (it waits on the event the setup sets and then on the
    setup's process). One that no setup ever signals stays idle until the
    machine ends."""

    def __init__(self, bench, machine, timeout_s=180, name="watch"):
        self.bench = bench
        self.machine = machine
        self.timeout_s = timeout_s
        self.result_path = BENCH_FOLDER + "\\" + name + "-result.txt"
        self.thread = None

    def _run(self):
        self.machine.wine(self.bench.program("setup_stub"), "watch", self.result_path, SETUP_RESULT,
                          str(self.timeout_s * 1000), timeout=3 * self.timeout_s + 60, check=False)

    def _read(self):
        if not self.machine.exists(self.result_path):
            return {}
        return parse_result(self.machine.read_file(self.result_path).decode("utf-8", "replace"))

    def start(self):
        """Starts the watcher and waits until it watches; a list of problems
        (empty when it watches)."""
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()
        deadline = time.monotonic() + self.timeout_s
        while time.monotonic() < deadline:
            result = self._read()
            if "watching" in result:
                return []
            if "error" in result or not self.thread.is_alive():
                return ["the watcher did not start: %r" % result]
            time.sleep(0.05)
        return ["the watcher did not start within %d s" % self.timeout_s]

    def finish(self):
        """What the watcher saw, once it has ended (it ends once the folder
        moved, or at its time-out; the machine's end ends it otherwise)."""
        self.thread.join(timeout=30)
        return self._read()

    @staticmethod
    def problems(result):
        if result.get("setup_seen") != "1" or result.get("setup_opened") != "1":
            return ["the watcher did not find the setup: %r" % result]
        if result.get("setup_ended", "0") == "0":
            return ["the watcher did not see the setup end: %r" % result]
        if result.get("moved_before_end") != "0":
            return ["the product folder moved before the setup had ended"]
        if result.get("folder_moved", "0") == "0":
            return ["the product folder was never moved"]
        return []


def run_timed(bench, machine, command_line, answers=(), cwd=None, timeout=120, name="run"):
    """Runs COMMAND_LINE through stage_timer.exe, answering its boxes with
    ANSWERS in order. Returns the parsed result, with "box_list" added:
    [{"caption", "text", "seen_ms", "button", "expected"}]."""
    command_file = machine.scratch_file(name + ".command")
    command_file.write_bytes(command_line.encode("cp1252"))
    result_path = BENCH_FOLDER + "\\" + name + "-timer.txt"
    args = [bench.program("stage_timer"), "--result", result_path, "--command-line-file",
            machine.windows_path_of(command_file), "--timeout", str(timeout)]
    if cwd:
        args += ["--cwd", cwd]
    for answer in answers:
        args += ["--answer", answer]
    machine.wine(*args, timeout=timeout + 60, check=False)
    if not machine.exists(result_path):
        return {"error": "stage_timer left no result"}
    result = parse_result(machine.read_file(result_path).decode("utf-8", "replace"))
    boxes = []
    for index in range(int(result.get("boxes", "0"))):
        prefix = "box_%d_" % index
        boxes.append({
            "caption": unescape_line(result.get(prefix + "caption", "")),
            "text": unescape_line(result.get(prefix + "text", "")),
            "seen_ms": float(result.get(prefix + "seen_ms", "nan")),
            "button": int(result.get(prefix + "button", "0")),
            "expected": result.get(prefix + "expected") == "1",
        })
    result["box_list"] = boxes
    return result


def check_timed_run(result, expected_texts):
    """The problems of a timed run: not ended by itself, a non-zero exit
    code, or boxes other than EXPECTED_TEXTS (in order, all expected)."""
    problems = []
    if "error" in result:
        problems.append(result["error"])
        return problems
    if result.get("timed_out") != "0":
        problems.append("timed out")
    if result.get("exit_code") != "0":
        problems.append("exit code %s" % result.get("exit_code"))
    texts = [box["text"] for box in result["box_list"]]
    if texts != list(expected_texts) or not all(box["expected"] for box in result["box_list"]):
        problems.append("boxes %r, expected %r" % (texts, list(expected_texts)))
    return problems


# -- CPU time from Linux ------------------------------------------------------------


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def _process_cpu_ns(pid):
    """CPU time of all threads of a Linux process, in ns (None once it is gone)."""
    total = 0
    try:
        tasks = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return None
    for task in tasks:
        data = _read("/proc/%d/task/%s/schedstat" % (pid, task))
        if data:
            total += int(data.split()[0])
    return total


class CpuSampler(threading.Thread):
    """Samples, every INTERVAL seconds, the CPU time of the Linux processes
    of one Wine machine whose command line contains one of NAMES (a Windows
    program's file name, or "wineserver"). Each Windows process is one Linux
    process under Wine; its threads are summed. Every matching process is
    followed, each with its own samples (time.time_ns(), cpu_ns): a name may
    match short-lived processes too, such as "wineserver -k" when the
    harness restarts the server after a drive change."""

    def __init__(self, prefix, names, interval=0.01):
        super().__init__(daemon=True)
        self.marker = ("WINEPREFIX=%s" % prefix).encode()
        self.names = [name.lower() for name in names]
        self.interval = interval
        self.name_of = {}  # pid -> name, of every process followed
        self.followed = set()  # the ones still alive
        self.ignored = set()
        self.samples = {}  # pid -> [(time_ns, cpu_ns)]
        self._halt = threading.Event()

    def _find(self):
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            pid = int(entry)
            if pid in self.name_of or pid in self.ignored:
                continue
            environment = _read("/proc/%d/environ" % pid)
            if environment is None:
                continue
            if self.marker + b"\0" not in environment + b"\0":
                self.ignored.add(pid)  # not this machine's
                continue
            # This machine's: looked at again at every scan until its command
            # line names it (Wine sets a new process's command line late).
            command = (_read("/proc/%d/cmdline" % pid) or b"").replace(b"\0", b" ")
            command = command.decode("utf-8", "replace").lower()
            matches = [name for name in self.names if name in command]
            if matches:
                self.name_of[pid] = matches[0]
                self.followed.add(pid)
                self.samples[pid] = []

    def run(self):
        last_scan = 0.0
        while not self._halt.is_set():
            now = time.monotonic()
            if now - last_scan > 0.05:
                self._find()
                last_scan = now
            for pid in list(self.followed):
                cpu = _process_cpu_ns(pid)
                if cpu is None:
                    self.followed.discard(pid)  # ended; its samples stay
                    continue
                self.samples[pid].append((time.time_ns(), cpu))
            self._halt.wait(self.interval)

    def stop(self):
        self._halt.set()
        self.join()

    def cpu_between(self, name, start_ns, end_ns):
        """CPU ns that the processes of NAME alive over the whole span used
        between two wall-clock times (linear between samples), or None when
        no process of that name was sampled across the span."""
        used, covered = 0.0, False
        for pid, samples in self.samples.items():
            if self.name_of.get(pid) != name.lower() or not samples:
                continue
            if samples[0][0] <= start_ns and samples[-1][0] >= end_ns:
                used += _interpolate(samples, end_ns) - _interpolate(samples, start_ns)
                covered = True
        return used if covered else None


def _interpolate(samples, at):
    for (t0, c0), (t1, c1) in zip(samples, samples[1:]):
        if t0 <= at <= t1:
            return c0 if t1 == t0 else c0 + (c1 - c0) * (at - t0) / (t1 - t0)
    return samples[-1][1]
