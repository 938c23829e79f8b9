"""One throwaway Windows machine: a Wine prefix copied from the template.

Everything is spelled as a Windows program sees it: paths such as
r"C:\\Program Files\\X", registry keys such as r"HKLM\\SOFTWARE\\Quenmoor".
The registry is set and read in the 32-bit view, the one the 32-bit patch
sees (on a WoW64 prefix, HKLM\\SOFTWARE of a 32-bit program is
HKLM\\SOFTWARE\\Wow6432Node underneath; a 32-bit prefix has one view).
"""

import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from . import prefix as wine_prefix
from .player import Run, write_script

REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_DWORD = 4
DRIVE_CDROM = 5


class RegValue:
    """A registry value of a given type with raw data, for what a plain str
    (REG_SZ), int (REG_DWORD) or bytes (REG_BINARY) cannot say, such as a
    string stored without its terminator."""

    def __init__(self, value_type, data):
        self.type = value_type
        self.data = bytes(data)


def _reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _reg_hex(data):
    return ",".join("%02x" % byte for byte in data)


def _reg_value_line(name, value):
    if isinstance(value, RegValue):
        data = "hex(%x):%s" % (value.type, _reg_hex(value.data))
    elif isinstance(value, bool) or not isinstance(value, (str, int, bytes)):
        raise TypeError("registry value %r: use str, int, bytes or RegValue" % name)
    elif isinstance(value, str):
        data = _reg_string(value)
    elif isinstance(value, int):
        data = "dword:%08x" % value
    else:
        data = "hex:" + _reg_hex(value)
    return ("@" if name == "" else _reg_string(name)) + "=" + data


def _full_key(key):
    """HKLM\\X and HKEY_LOCAL_MACHINE\\X both as HKEY_LOCAL_MACHINE\\X."""
    root, _, rest = key.partition("\\")
    roots = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER"}
    return roots.get(root.upper(), root) + ("\\" + rest if rest else "")


def _loader_for(args):
    """The Wine loader for a program: Wine's reg.exe told its registry view
    (/reg:32 or /reg:64) runs as a 64-bit program where the machine has one
    (the 32-bit one behind "wine" is several times slower where 32-bit
    programs are emulated); everything else through "wine". Wine 8.0's
    64-bit reg.exe deletes the keys of an imported file ("[-KEY]") in the
    64-bit view whatever the view asked for, so such imports keep the
    32-bit one."""
    words = [str(arg).lower() for arg in args]
    if not (wine_prefix.NATIVE_LOADER and words and words[0] in ("reg", "reg.exe") and
            any(word in ("/reg:32", "/reg:64") for word in words)):
        return "wine"
    if len(words) > 2 and words[1] == "import" and _deletes_keys(str(args[2])):
        return "wine"
    return wine_prefix.NATIVE_LOADER


def _deletes_keys(windows_path):
    """Whether a .reg file (a Z: path, as the harness's own files are) holds
    a key deletion; True when it cannot be read."""
    if not windows_path.upper().startswith("Z:"):
        return True
    try:
        data = open(windows_path[2:].replace("\\", "/"), "rb").read()
    except OSError:
        return True
    text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("latin-1")
    return any(line.lstrip().startswith("[-") for line in text.splitlines())


class Machine:
    """A Windows machine under Wine. Use as a context manager, or call
    close(), so that its wineserver is stopped and its prefix removed."""

    def __init__(self, template_prefix, tools, display, work_dir, keep=False):
        self.tools = tools
        self.keep = keep
        self.root = Path(tempfile.mkdtemp(prefix="machine-", dir=work_dir))
        self.prefix = self.root / "prefix"
        wine_prefix.copy_prefix(template_prefix, self.prefix)
        self.env = wine_prefix.wine_environment(self.prefix, display)
        self._runs = 0
        self._drives_changed = False
        self._start_server()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        wine_prefix.stop_wineserver(self.env)
        if not self.keep:
            shutil.rmtree(self.root, ignore_errors=True)

    def stop_server(self):
        """Shuts the machine down: every Windows program on it ends and its
        wineserver saves the registry to disc and ends."""
        wine_prefix.stop_wineserver(self.env)

    def start_server(self):
        """Starts the machine again after stop_server or cut_power."""
        self._start_server()

    def cut_power(self):
        """Ends every process of the machine at once with SIGKILL, its
        wineserver first, as a power cut would: what the server held in
        memory only (registry changes it has not saved yet) is lost, files
        written are kept. Returns how many processes were ended."""
        return wine_prefix.kill_prefix_processes(self.prefix)

    def _start_server(self):
        # A server that outlives each program saves its start-up on every
        # Wine call; it still ends by itself half a minute after the last
        # one, should the harness die without stopping it.
        subprocess.run(["wineserver", "-p30"], env=self.env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _restart_server(self):
        wine_prefix.stop_wineserver(self.env)
        self._start_server()

    # -- Running Windows programs ------------------------------------------

    def wine(self, *args, timeout=120, check=True):
        """Runs a Windows program (by Windows or Unix path) and returns the
        completed process with its text output."""
        if self._drives_changed:
            self._drives_changed = False
            self._restart_server()
        return self._wine(args, timeout, check)

    def _wine(self, args, timeout, check):
        # The output goes through files, not pipes: Wine's background
        # processes (services, explorer) inherit the handles and would keep
        # a pipe open long after the program has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                completed = subprocess.run([_loader_for(args), *map(str, args)], env=self.env,
                                           stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout)
            except subprocess.TimeoutExpired as expired:
                # What every program of the machine was doing when the step
                # ran out of time, so that a hang can be explained.
                err.seek(0)
                raise RuntimeError("%s\nits stderr: %s\nthe machine's processes then:\n%s" % (
                    expired, err.read().decode("utf-8", errors="replace")[-2000:],
                    "\n".join(wine_prefix.describe_prefix_processes(self.prefix)))) from expired
            out.seek(0)
            err.seek(0)
            completed.stdout = out.read().decode("utf-8", errors="replace")
            completed.stderr = err.read().decode("utf-8", errors="replace")
        if check:
            completed.check_returncode()
        return completed

    def scratch_file(self, name):
        """A new file of the harness's own, outside the machine's drives."""
        return self.root / name

    def run(self, command_line, script=(), cwd=None, timeout=60, wait_all=False, poll=None):
        """Starts COMMAND_LINE (exactly as Windows gets it) through the player,
        which answers its message boxes from SCRIPT (a list of Box), and
        returns the recorded Run. POLL: milliseconds between the player's
        looks for processes and boxes (its default, 50, when None)."""
        self._runs += 1
        script_file = self.scratch_file("run%d.script" % self._runs)
        log_file = self.scratch_file("run%d.log" % self._runs)
        command_file = self.scratch_file("run%d.command" % self._runs)
        write_script(script_file, script)
        # A command line that the ANSI code page cannot hold (a folder such
        # as "Ωmega") goes to the player as UTF-8, which starts it wide.
        try:
            command_file.write_bytes(command_line.encode("cp1252"))
            command_option = "--command-line-file"
        except UnicodeEncodeError:
            command_file.write_bytes(command_line.encode("utf-8"))
            command_option = "--command-line-file-utf8"
        args = [self.tools.player, "--script", self.windows_path_of(script_file), "--log",
                self.windows_path_of(log_file), command_option, self.windows_path_of(command_file),
                "--timeout", str(timeout)]
        if cwd is not None:
            args += ["--cwd", cwd]
        if wait_all:
            args.append("--wait-all")
        if poll is not None:
            args += ["--poll", str(poll)]
        # The player ends what it started at its own timeout; this one only
        # guards against the player itself hanging.
        completed = self.wine(*args, timeout=timeout + 60, check=False)
        events = []
        if log_file.exists():
            for line in log_file.read_text(encoding="utf-8", errors="replace").splitlines():
                if line.strip():
                    events.append(json.loads(line))
        return Run(command_line, list(script), events, completed.returncode, completed.stderr)

    # -- Files --------------------------------------------------------------

    def path(self, windows_path):
        """The Unix path of a path on the machine's C: drive (or any mapped
        drive). Existing components are matched ignoring case, as Windows
        does; the rest keep the case given."""
        drive, _, rest = windows_path.partition(":")
        if len(drive) != 1:
            raise ValueError("not a drive path: " + windows_path)
        current = (self.prefix / "dosdevices" / (drive.lower() + ":")).resolve()
        for part in [p for p in rest.split("\\") if p]:
            candidate = current / part
            if not candidate.exists() and current.is_dir():
                for entry in current.iterdir():
                    if entry.name.lower() == part.lower():
                        candidate = entry
                        break
            current = candidate
        return current

    def windows_path_of(self, unix_path):
        """The Windows path under which the machine sees a Unix path: C:
        for the prefix's drive_c, Z: for everything else."""
        unix_path = Path(unix_path).resolve()
        drive_c = (self.prefix / "drive_c").resolve()
        if unix_path == drive_c or drive_c in unix_path.parents:
            return "C:\\" + "\\".join(unix_path.relative_to(drive_c).parts)
        return "Z:" + str(unix_path).replace("/", "\\")

    def mkdir(self, windows_path):
        self.path(windows_path).mkdir(parents=True, exist_ok=True)

    def write_file(self, windows_path, content=b""):
        """Creates a file (and its folders), or replaces one; str content is
        written in the machine's ANSI code page."""
        if isinstance(content, str):
            content = content.encode("cp1252")
        self._replace(windows_path, lambda temporary: temporary.write_bytes(content))

    def copy_file(self, unix_source, windows_path):
        self._replace(windows_path, lambda temporary: shutil.copyfile(unix_source, temporary))

    def _replace(self, windows_path, write):
        """Writes a file beside the target and renames it over the target:
        a file that a running program has mapped (its own .exe, say) keeps
        its content, as Windows, which refuses to write into it, would. A
        file rewritten in place under Wine changes under the program's feet."""
        target = self.path(windows_path)
        target.parent.mkdir(parents=True, exist_ok=True)
        temporary = target.with_name(target.name + ".harness-new")
        write(temporary)
        os.replace(temporary, target)

    def exists(self, windows_path):
        return self.path(windows_path).exists()

    def read_file(self, windows_path):
        return self.path(windows_path).read_bytes()

    def list_folder(self, windows_path):
        folder = self.path(windows_path)
        return sorted(entry.name for entry in folder.iterdir()) if folder.is_dir() else None

    # -- Registry (32-bit view) ---------------------------------------------

    def _write_reg_file(self, lines):
        reg_file = self.scratch_file("import.reg")
        text = "Windows Registry Editor Version 5.00\r\n\r\n" + "\r\n".join(lines) + "\r\n\r\n"
        reg_file.write_bytes(b"\xff\xfe" + text.encode("utf-16-le"))
        return reg_file

    def _import(self, lines, view):
        reg_file = self._write_reg_file(lines)
        self.wine("reg", "import", self.windows_path_of(reg_file), "/reg:" + view)

    def set_registry(self, keys, view="32"):
        """Creates keys with values. KEYS maps a key path (HKLM\\...) to a
        dict of values (name -> str, int, bytes or RegValue; "" is the
        default value), or to None for a key without values."""
        lines = []
        for key, values in keys.items():
            lines.append("")
            lines.append("[" + _full_key(key) + "]")
            for name, value in (values or {}).items():
                lines.append(_reg_value_line(name, value))
        self._import(lines, view)

    def set_key(self, key, values=None, view="32"):
        self.set_registry({key: values}, view=view)

    def delete_key(self, key, view="32"):
        self.wine("reg", "delete", _full_key(key), "/f", "/reg:" + view, check=False)

    def read_key(self, key):
        """The key with all its values and subkeys as the 32-bit patch sees
        them, or None when it does not exist:
        {"values": {name: {"type", "size", "hex", "text" or "dword"}},
         "subkeys": {name: {...}}}."""
        result = self.wine(self.tools.probe, "reg", key)
        tree = json.loads(result.stdout)
        if tree.get("exists") is None:
            raise RuntimeError("cannot read %s: %s" % (key, tree))
        return tree if tree["exists"] else None

    def key_exists(self, key):
        return self.read_key(key) is not None

    def processes(self):
        """The machine's Windows processes: [{"pid", "parent", "exe"}]."""
        return json.loads(self.wine(self.tools.probe, "processes").stdout)

    def program_runs(self, exe):
        """True while a process of the program file named EXE (a file name
        such as "setup.exe", compared without regard to case) runs."""
        return any(process["exe"].lower() == exe.lower() for process in self.processes())

    def value_text(self, key, name):
        tree = self.read_key(key)
        value = tree and tree["values"].get(name)
        return value.get("text") if value else None

    # -- Drives ---------------------------------------------------------------

    def add_cdrom(self, letter, label="", files=None):
        """Adds a CD-ROM drive LETTER: holding a disc with the volume LABEL
        and FILES (relative Windows path -> bytes or str). Returns the
        drive's root, such as "D:\\".

        The disc is a folder of the harness mapped to the drive letter; Wine
        reads the drive type from its registry when its server starts (so
        the server is restarted before the next Wine call) and the label from
        the folder's
        .windows-label file. Wine has no drive without a disc: the nearest
        is a disc with an empty label (the default), which the patch passes
        over just the same."""
        letter = letter.lower()
        device = self.prefix / "dosdevices" / (letter + ":")
        if device.exists() or device.is_symlink():
            raise ValueError("drive %s: is taken" % letter)
        disc = self.root / ("disc-" + letter)
        disc.mkdir()
        if label:
            (disc / ".windows-label").write_text(label + "\n", encoding="cp1252")
        device.symlink_to(disc)
        # Written without the restart that a pending drive change causes, so
        # that several drives added in a row cost one restart.
        reg_file = self._write_reg_file([r"[HKEY_LOCAL_MACHINE\Software\Wine\Drives]", '"%s:"="cdrom"' % letter])
        self._wine(["reg", "import", self.windows_path_of(reg_file), "/reg:64"], 120, True)
        self._drives_changed = True
        root = letter.upper() + ":\\"
        for relative, content in (files or {}).items():
            self.write_file(root + relative, content)
        return root

    def drive_info(self, root):
        """{"type", "readable", "label", "file_system", "serial"} of a drive
        root, from GetDriveTypeA and GetVolumeInformationA."""
        return json.loads(self.wine(self.tools.probe, "drive", root).stdout)
