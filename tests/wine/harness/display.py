"""An X display for Wine, whose message boxes need one."""

import atexit
import os
import shutil
import subprocess


def _display_is_up(display):
    """True when DISPLAY names a local display whose socket exists."""
    if not display.startswith(":"):
        return bool(display)
    number = display[1:].split(".")[0]
    return os.path.exists("/tmp/.X11-unix/X" + number)


def ensure_display():
    """Returns a usable DISPLAY: the one in the environment if it is up,
    otherwise a fresh Xvfb on a free display, stopped when Python exits."""
    display = os.environ.get("DISPLAY", "")
    if display and _display_is_up(display):
        return display
    if shutil.which("Xvfb") is None:
        raise RuntimeError("no X display and no Xvfb (run scripts/install-deps.sh)")
    # Xvfb picks a free display itself and writes its number to the pipe.
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=(write_end,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        server.kill()
        raise RuntimeError("Xvfb did not start")
    atexit.register(_stop, server)
    return ":" + number


def _stop(server):
    server.terminate()
    try:
        server.wait(timeout=10)
    except subprocess.TimeoutExpired:
        server.kill()
