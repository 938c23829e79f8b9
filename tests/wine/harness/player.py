"""The player's side of a run: the script it answers from and the record it
leaves (see tests/wine/helpers/player.cpp for the formats)."""

BUTTON_IDS = {"OK": 1, "Cancel": 2, "Abort": 3, "Retry": 4, "Ignore": 5, "Yes": 6, "No": 7}
BUTTON_NAMES = {number: name for name, number in BUTTON_IDS.items()}


class Box:
    """One message box the script expects, in order: its caption and a text
    pattern ("*" stands for any run of characters), the button to press,
    whether the box may be left out, whether to answer it only once every
    process its program started has ended (after_children), and a Windows
    path of a file to wait for before answering it (after_file)."""

    def __init__(self, caption, text, button="OK", optional=False, after_children=False, after_file=None):
        if button not in BUTTON_IDS:
            raise ValueError("unknown button " + button)
        self.caption = caption
        self.text = text
        self.button = button
        self.optional = optional
        self.after_children = after_children
        self.after_file = after_file

    def __repr__(self):
        return "Box(%r, %r, %r%s%s%s)" % (self.caption, self.text, self.button,
                                          ", optional=True" if self.optional else "",
                                          ", after_children=True" if self.after_children else "",
                                          ", after_file=%r" % self.after_file if self.after_file else "")


def _escape(text):
    return text.replace("\\", "\\\\").replace("\n", "\\n").replace("\t", "\\t")


def write_script(path, boxes):
    lines = ["# caption\ttext pattern\tbutton[\toptional][\tafter-children][\tafter-file=PATH]"]
    for box in boxes:
        fields = [_escape(box.caption), _escape(box.text), box.button]
        if box.optional:
            fields.append("optional")
        if box.after_children:
            fields.append("after-children")
        if box.after_file:
            fields.append("after-file=" + _escape(box.after_file))
        lines.append("\t".join(fields))
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


class Run:
    """What the player recorded about one run of a program."""

    def __init__(self, command_line, script, events, player_status, player_stderr=""):
        self.command_line = command_line
        self.script = script
        self.events = events
        self.player_status = player_status
        self.player_stderr = player_stderr

    def _events(self, kind):
        return [event for event in self.events if event.get("event") == kind]

    @property
    def boxes(self):
        """Every message box shown, in order: dicts with caption, text,
        buttons ([{"id", "text"}]), system_modal, expected, answer_id, pid."""
        return self._events("box")

    @property
    def unexpected_boxes(self):
        return [box for box in self.boxes if not box.get("expected") or "error" in box]

    @property
    def missing_boxes(self):
        return self._events("missing")

    @property
    def timed_out(self):
        return bool(self._events("timeout"))

    @property
    def started(self):
        return bool(self._events("start"))

    @property
    def passed(self):
        """The player's verdict: every box expected, none missing, in time."""
        return self.player_status == 0

    @property
    def exit_code(self):
        """The exit code of the program started (not of its children)."""
        result = self._events("result")
        return result[-1]["exit_code"] if result else None

    def box_texts(self):
        return [box["text"] for box in self.boxes]

    def describe(self):
        """The run as readable lines, for reports and the demo."""
        lines = ["$ " + self.command_line]
        for event in self.events:
            kind = event.get("event")
            if kind == "box":
                lines.extend(describe_box(event))
            elif kind == "missing":
                lines.append("  MISSING box (script line %d): [%s] %r" %
                             (event["script_line"], event["caption"], event["text"]))
            elif kind == "timeout":
                lines.append("  TIMEOUT after %d s: the processes were ended" % event["seconds"])
            elif kind == "start_failed":
                lines.append("  could not start the program (error %d)" % event["error"])
            elif kind == "process" and len(self._events("process")) > 1:
                lines.append("  process %d started (%s)" % (event["pid"], event["exe"]))
        if self.exit_code is not None:
            lines.append("  exit code %d" % self.exit_code)
        if self.player_status not in (0, 1):
            lines.append("  player status %d: %s" % (self.player_status, self.player_stderr.strip()))
        return lines


def describe_box(box):
    buttons = " ".join("[%s]" % button["text"].replace("&", "") for button in box["buttons"])
    caption = box["caption"] if box["caption"] else "(no caption)"
    flags = ", system-modal" if box["system_modal"] else ""
    verdict = "" if box.get("expected") else "  <- NOT EXPECTED"
    if "error" in box:
        verdict = "  <- " + box["error"]
    lines = ["  +-- message box: %s%s%s" % (caption, flags, verdict)]
    lines.extend("  |   " + line for line in box["text"].split("\n"))
    answer = BUTTON_NAMES.get(box["answer_id"], str(box["answer_id"]))
    lines.append("  +-- %s  -> pressed %s" % (buttons, answer))
    return lines
