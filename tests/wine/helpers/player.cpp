// Plays the user of a program whose whole interface is message boxes.
//
//   player --script FILE [--log FILE] [--cwd DIR] [--timeout SECONDS] [--wait-all]
//          [--poll MILLISECONDS]
//          (--command-line TEXT | --command-line-file FILE | --command-line-file-utf8 FILE)
//
// It starts the program, finds every message box that the program (or any
// process it starts) shows, answers each from the script and records each as
// one JSON line in the log (standard output without --log).
//
// Script: one expected box per line, in the order they are expected, with
// tab-separated fields: caption, text pattern, button to press (Yes, No, OK,
// Cancel, Abort, Retry, Ignore) and optionally the word "optional" for a box
// that may be left out and/or the word "after-children" for a box to answer
// only once every process that the box's program started (directly or not)
// has ended: a user who waits for the program it started to finish before
// clicking; "after-file=PATH" (a Windows path) answers the box only once
// that file exists: a user who waits for something outside the program. In the caption and the pattern "*"
// stands for any run of characters, and "\n", "\t" and "\\" for a line feed, a tab and a backslash. Blank
// lines and lines starting with "#" are ignored.
//
// A box that the script does not expect is recorded, answered No (or OK,
// Cancel, whatever it has) so the program can go on, and fails the run; so
// does an expected box that never came, and a run that outlasts the timeout
// (its processes are then ended). With --wait-all the player waits until
// every started process has ended, not only the first. A command line read
// with --command-line-file-utf8 is UTF-8 and is started through the wide
// call, so that it may name folders outside the ANSI code page.
//
// Exit status: 0 the run passed, 1 it failed, 2 the arguments were wrong or
// the program could not be started.
#include "helper_util.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace
{

// How often the player looks for new processes and boxes. Every look
// costs a process snapshot and a walk over the windows, which under an
// emulated 32-bit Wine is a good part of a core at this rate; --poll sets a
// longer interval for runs that can afford to notice boxes later. (A chain
// whose middle process starts its successor and ends within one interval
// hides that successor.)
const DWORD DEFAULT_POLL_INTERVAL_MS = 50;
const DWORD MAX_POLL_INTERVAL_MS = 1000;
const wchar_t MESSAGE_BOX_CLASS[] = L"#32770";
const int MESSAGE_BOX_TEXT_ID = 0xFFFF;

struct options {
    std::string script_path;
    std::string log_path;
    std::string command_line;
    std::string directory;
    DWORD timeout_ms = 120000;
    DWORD poll_interval_ms = DEFAULT_POLL_INTERVAL_MS;
    bool wait_all = false;
    bool command_line_utf8 = false;
};

struct expected_box {
    std::string caption;
    std::string text_pattern;
    std::string button;
    bool optional = false;
    bool after_children = false;
    std::wstring after_file; // none when empty
    int line = 0;
};

struct button_info {
    int id = 0;
    std::string text;
    bool operator==(const button_info& other) const { return id == other.id && text == other.text; }
};

struct box_info {
    DWORD pid = 0;
    std::string caption;
    std::string text;
    std::vector<button_info> buttons;
    bool system_modal = false;
    bool operator==(const box_info& other) const
    {
        return pid == other.pid && caption == other.caption && text == other.text &&
               buttons == other.buttons && system_modal == other.system_modal;
    }
};

// ---------------------------------------------------------------------------
// The log: one JSON object per line, flushed at once so that a run that is
// cut short still leaves everything it saw.

class event_log
{
  public:
    event_log() = default;
    event_log(const event_log&) = delete;
    event_log& operator=(const event_log&) = delete;
    ~event_log()
    {
        if (file_ != nullptr && file_ != stdout)
            fclose(file_);
    }
    bool open(const std::string& path)
    {
        file_ = path.empty() ? stdout : fopen(path.c_str(), "wb");
        return file_ != nullptr;
    }
    // Each event gets the milliseconds since the log was opened, as "ms".
    void write(const std::string& json)
    {
        unsigned long long ms = GetTickCount64() - opened_;
        fprintf(file_, "{\"ms\": %llu, %s\n", ms, json.c_str() + 1);
        fflush(file_);
    }

  private:
    FILE* file_ = nullptr;
    ULONGLONG opened_ = GetTickCount64();
};

// ---------------------------------------------------------------------------
// Arguments and script.

bool read_file(const std::string& path, std::string& content)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    char chunk[4096];
    size_t count;
    while ((count = fread(chunk, 1, sizeof chunk, file)) > 0)
        content.append(chunk, count);
    fclose(file);
    return true;
}

std::string strip_line_end(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

bool parse_arguments(int argc, char** argv, options& result)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--wait-all") {
            result.wait_all = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        std::string value = argv[++i];
        if (name == "--script")
            result.script_path = value;
        else if (name == "--log")
            result.log_path = value;
        else if (name == "--cwd")
            result.directory = value;
        else if (name == "--timeout")
            result.timeout_ms = static_cast<DWORD>(strtoul(value.c_str(), nullptr, 10) * 1000);
        else if (name == "--poll")
            result.poll_interval_ms = static_cast<DWORD>(strtoul(value.c_str(), nullptr, 10));
        else if (name == "--command-line")
            result.command_line = value;
        else if (name == "--command-line-file" || name == "--command-line-file-utf8") {
            if (!read_file(value, result.command_line))
                return false;
            result.command_line = strip_line_end(result.command_line);
            result.command_line_utf8 = name == "--command-line-file-utf8";
        } else
            return false;
    }
    return !result.script_path.empty() && !result.command_line.empty() && result.timeout_ms > 0 &&
           result.poll_interval_ms > 0 && result.poll_interval_ms <= MAX_POLL_INTERVAL_MS;
}

std::string unescape(const std::string& text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            result += text[i];
            continue;
        }
        char next = text[++i];
        if (next == 'n')
            result += '\n';
        else if (next == 't')
            result += '\t';
        else
            result += next;
    }
    return result;
}

std::vector<std::string> split_tabs(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

bool parse_script_line(const std::string& line, int line_number, expected_box& box)
{
    std::vector<std::string> fields = split_tabs(line);
    if (fields.size() < 3 || fields.size() > 6)
        return false;
    const std::string after_file = "after-file=";
    for (size_t i = 3; i < fields.size(); ++i) {
        if (fields[i] == "optional")
            box.optional = true;
        else if (fields[i] == "after-children")
            box.after_children = true;
        else if (fields[i].compare(0, after_file.size(), after_file) == 0)
            box.after_file = helper::from_utf8(unescape(fields[i].substr(after_file.size())));
        else
            return false;
    }
    box.caption = unescape(fields[0]);
    box.text_pattern = unescape(fields[1]);
    box.button = fields[2];
    box.line = line_number;
    return true;
}

bool load_script(const std::string& path, std::vector<expected_box>& script)
{
    std::string content;
    if (!read_file(path, content))
        return false;
    int line_number = 0;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        std::string line =
            strip_line_end(content.substr(start, end == std::string::npos ? end : end - start + 1));
        start = end == std::string::npos ? content.size() : end + 1;
        ++line_number;
        if (line.empty() || line[0] == '#')
            continue;
        expected_box box;
        if (!parse_script_line(line, line_number, box)) {
            fprintf(stderr, "player: bad script line %d: %s\n", line_number, line.c_str());
            return false;
        }
        script.push_back(box);
    }
    return true;
}

// "*" matches any run of characters (also none); everything else itself.
bool wildcard_match(const std::string& pattern, const std::string& text)
{
    size_t p = 0, t = 0;
    size_t star = std::string::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

int button_id(const std::string& name)
{
    static const std::map<std::string, int> ids = {
        {"OK", IDOK},         {"Cancel", IDCANCEL}, {"Abort", IDABORT}, {"Retry", IDRETRY},
        {"Ignore", IDIGNORE}, {"Yes", IDYES},       {"No", IDNO}};
    auto found = ids.find(name);
    return found == ids.end() ? 0 : found->second;
}

// ---------------------------------------------------------------------------
// The processes under test: the one started and every process started from
// it, found through their parent process ids.
//
// Process ids are reused (Wine gives an ended process's id to a new one
// after a few hundred others), so a parent id alone does not tell whose
// child a process is: Wine's own services (started by the session's
// wineboot) name as their parent an id that a program under test may hold
// now. A process is taken as a tracked process's child only when it was
// created while that process lived. Adopting services.exe would have the
// player wait for it and, at its timeout, end it, which ends the machine's
// session.

struct tracked_process {
    DWORD pid = 0;
    DWORD parent = 0;
    helper::scoped_handle handle;
    bool exit_logged = false;
};

ULONGLONG filetime_value(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// When PROCESS was created and, unless ENDED is null, when it ended (0
// while it runs); false when the system does not tell.
bool process_lifetime(HANDLE process, ULONGLONG* created, ULONGLONG* ended)
{
    FILETIME creation = {}, exit = {}, kernel = {}, user = {};
    if (process == nullptr || !GetProcessTimes(process, &creation, &exit, &kernel, &user))
        return false;
    *created = filetime_value(creation);
    if (ended != nullptr)
        *ended = WaitForSingleObject(process, 0) == WAIT_TIMEOUT ? 0 : filetime_value(exit);
    return true;
}

// Whether CHILD (a process handle) may have been started by PARENT: it was
// created while PARENT lived, or one of them cannot be asked (a process
// that ended before it could be opened still counts, so that its own
// children are found).
bool may_be_child_of(HANDLE child, HANDLE parent)
{
    ULONGLONG child_created = 0, parent_created = 0, parent_ended = 0;
    if (!process_lifetime(child, &child_created, nullptr) ||
        !process_lifetime(parent, &parent_created, &parent_ended))
        return true;
    return child_created >= parent_created && (parent_ended == 0 || child_created <= parent_ended);
}

class process_tree
{
  public:
    explicit process_tree(event_log& log) : log_(log) {}

    void add(DWORD pid, DWORD parent, helper::scoped_handle handle, const std::string& exe)
    {
        tracked_process process;
        process.pid = pid;
        process.parent = parent;
        process.handle = std::move(handle);
        processes_.push_back(std::move(process));
        log_.write("{\"event\": \"process\", \"pid\": " + std::to_string(pid) +
                   ", \"parent\": " + std::to_string(parent) + ", \"exe\": " + helper::json_quote(exe) + "}");
    }

    bool contains(DWORD pid) const { return find(pid) != nullptr; }

    // The tracked process with id PID; the latest one when the id was
    // given to several of them.
    const tracked_process* find(DWORD pid) const
    {
        const tracked_process* found = nullptr;
        for (const tracked_process& process : processes_)
            if (process.pid == pid)
                found = &process;
        return found;
    }

    // Adds the processes whose parent is already tracked.
    void find_descendants()
    {
        helper::scoped_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot.valid())
            return;
        bool added = true;
        while (added) {
            added = false;
            PROCESSENTRY32W entry = {};
            entry.dwSize = sizeof entry;
            for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
                 more = Process32NextW(snapshot.get(), &entry)) {
                const tracked_process* parent = find(entry.th32ParentProcessID);
                if (contains(entry.th32ProcessID) || parent == nullptr)
                    continue;
                helper::scoped_handle handle(OpenProcess(
                    SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
                if (!may_be_child_of(handle.get(), parent->handle.get()))
                    continue;
                add(entry.th32ProcessID, entry.th32ParentProcessID, std::move(handle),
                    helper::to_utf8(entry.szExeFile, lstrlenW(entry.szExeFile)));
                added = true;
            }
        }
    }

    // Logs the exit code of every process that has ended since the last call.
    void log_exits()
    {
        for (tracked_process& process : processes_) {
            if (process.exit_logged || !has_ended(process))
                continue;
            DWORD code = 0;
            GetExitCodeProcess(process.handle.get(), &code);
            log_.write("{\"event\": \"exit\", \"pid\": " + std::to_string(process.pid) +
                       ", \"exit_code\": " + std::to_string(code) + "}");
            process.exit_logged = true;
        }
    }

    bool first_has_ended() const { return !processes_.empty() && has_ended(processes_.front()); }

    // Whether every process that PID started, directly or not, has ended.
    bool descendants_have_ended(DWORD pid, int depth = 0) const
    {
        const int max_depth = 32; // a reused process id cannot make it loop
        for (const tracked_process& process : processes_)
            if (process.parent == pid && depth < max_depth &&
                (!has_ended(process) || !descendants_have_ended(process.pid, depth + 1)))
                return false;
        return true;
    }

    bool all_have_ended() const
    {
        for (const tracked_process& process : processes_)
            if (!has_ended(process))
                return false;
        return true;
    }

    DWORD first_exit_code() const
    {
        DWORD code = STILL_ACTIVE;
        if (!processes_.empty())
            GetExitCodeProcess(processes_.front().handle.get(), &code);
        return code;
    }

    void terminate_all()
    {
        for (tracked_process& process : processes_)
            if (!has_ended(process))
                TerminateProcess(process.handle.get(), 1);
        for (tracked_process& process : processes_)
            if (process.handle.valid())
                WaitForSingleObject(process.handle.get(), 5000);
    }

  private:
    static bool has_ended(const tracked_process& process)
    {
        return !process.handle.valid() || WaitForSingleObject(process.handle.get(), 0) != WAIT_TIMEOUT;
    }

    event_log& log_;
    std::vector<tracked_process> processes_;
};

// ---------------------------------------------------------------------------
// Finding and reading message boxes.

std::string window_text(HWND window)
{
    wchar_t text[8192];
    int length = GetWindowTextW(window, text, static_cast<int>(sizeof text / sizeof text[0]));
    return helper::to_utf8(text, length);
}

bool has_class(HWND window, const wchar_t* class_name)
{
    wchar_t name[64];
    int length = GetClassNameW(window, name, static_cast<int>(sizeof name / sizeof name[0]));
    return length > 0 && lstrcmpiW(name, class_name) == 0;
}

struct box_search {
    const process_tree* processes;
    std::vector<HWND> found;
};

BOOL CALLBACK collect_box(HWND window, LPARAM context)
{
    box_search* search = reinterpret_cast<box_search*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (search->processes->contains(pid) && IsWindowVisible(window) && has_class(window, MESSAGE_BOX_CLASS))
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> find_boxes(const process_tree& processes)
{
    box_search search{&processes, {}};
    EnumWindows(collect_box, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK collect_button(HWND window, LPARAM context)
{
    if (!IsWindowVisible(window) || !has_class(window, L"Button"))
        return TRUE;
    button_info button;
    button.id = GetDlgCtrlID(window);
    button.text = window_text(window);
    reinterpret_cast<std::vector<button_info>*>(context)->push_back(button);
    return TRUE;
}

// False while the box is not complete yet: no text control or no button.
bool read_box(HWND window, box_info& box)
{
    HWND text_control = GetDlgItem(window, MESSAGE_BOX_TEXT_ID);
    if (text_control == nullptr)
        return false;
    GetWindowThreadProcessId(window, &box.pid);
    box.caption = window_text(window);
    box.text = window_text(text_control);
    EnumChildWindows(window, collect_button, reinterpret_cast<LPARAM>(&box.buttons));
    // Message boxes of MB_SYSTEMMODAL are made topmost windows.
    box.system_modal = (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    return !box.buttons.empty();
}

bool has_button(const box_info& box, int id)
{
    for (const button_info& button : box.buttons)
        if (button.id == id)
            return true;
    return false;
}

// The answer to a box that nobody expected: one that lets the program go on
// without agreeing to anything.
int fallback_answer(const box_info& box)
{
    for (int id : {IDNO, IDOK, IDCANCEL})
        if (has_button(box, id))
            return id;
    return box.buttons.front().id;
}

void press(HWND window, int id)
{
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, id)));
}

std::string box_json(const box_info& box)
{
    std::string json = "{\"event\": \"box\", \"pid\": " + std::to_string(box.pid);
    json += ", \"caption\": " + helper::json_quote(box.caption);
    json += ", \"text\": " + helper::json_quote(box.text);
    json += ", \"buttons\": [";
    for (size_t i = 0; i < box.buttons.size(); ++i) {
        if (i > 0)
            json += ", ";
        json += "{\"id\": " + std::to_string(box.buttons[i].id) +
                ", \"text\": " + helper::json_quote(box.buttons[i].text) + "}";
    }
    json += "], \"system_modal\": ";
    json += box.system_modal ? "true" : "false";
    return json;
}

// ---------------------------------------------------------------------------
// The run.

class player
{
  public:
    player(const options& settings, std::vector<expected_box> script, event_log& log)
        : settings_(settings), script_(std::move(script)), log_(log), processes_(log)
    {
    }

    bool create_process(PROCESS_INFORMATION& process)
    {
        const char* directory = settings_.directory.empty() ? nullptr : settings_.directory.c_str();
        if (settings_.command_line_utf8) {
            std::wstring wide = helper::from_utf8(settings_.command_line);
            std::vector<wchar_t> command_line(wide.begin(), wide.end());
            command_line.push_back(L'\0');
            std::wstring wide_directory = helper::from_utf8(settings_.directory);
            STARTUPINFOW startup = {};
            startup.cb = sizeof startup;
            return CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                  directory ? wide_directory.c_str() : nullptr, &startup, &process);
        }
        std::vector<char> command_line(settings_.command_line.begin(), settings_.command_line.end());
        command_line.push_back('\0');
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        return CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, directory,
                              &startup, &process);
    }

    bool start()
    {
        PROCESS_INFORMATION process = {};
        if (!create_process(process)) {
            log_.write("{\"event\": \"start_failed\", \"error\": " + std::to_string(GetLastError()) + "}");
            return false;
        }
        CloseHandle(process.hThread);
        log_.write(
            "{\"event\": \"start\", \"command_line\": " +
            helper::json_quote(settings_.command_line_utf8
                                   ? settings_.command_line
                                   : helper::acp_to_utf8(settings_.command_line.c_str())) +
            ", \"directory\": " + helper::json_quote(helper::acp_to_utf8(settings_.directory.c_str())) + "}");
        processes_.add(process.dwProcessId, GetCurrentProcessId(), helper::scoped_handle(process.hProcess),
                       settings_.command_line);
        return true;
    }

    // Polls until the program has ended (or every process, with --wait-all)
    // or the time is up. Returns whether the run passed.
    bool run()
    {
        ULONGLONG deadline = GetTickCount64() + settings_.timeout_ms;
        for (;;) {
            // Whether the run is over is read before the search for new
            // processes: a process that starts another and ends at once has
            // its child found before its end can end the run.
            bool ended = finished();
            processes_.find_descendants();
            answer_boxes();
            processes_.log_exits();
            if (ended && finished())
                break;
            if (GetTickCount64() >= deadline) {
                log_.write("{\"event\": \"timeout\", \"seconds\": " +
                           std::to_string(settings_.timeout_ms / 1000) + "}");
                failed_ = true;
                processes_.terminate_all();
                processes_.log_exits();
                break;
            }
            Sleep(settings_.poll_interval_ms);
        }
        report_missing();
        return !failed_;
    }

    DWORD exit_code() const { return processes_.first_exit_code(); }

  private:
    bool finished() const
    {
        return settings_.wait_all ? processes_.all_have_ended() : processes_.first_has_ended();
    }

    // A box is answered once, and only after it has read the same on two
    // polls in a row, so that a box still being filled in is left alone.
    void answer_boxes()
    {
        forget_closed_boxes();
        std::map<HWND, box_info> seen;
        for (HWND window : find_boxes(processes_)) {
            if (answered_.count(window) > 0)
                continue;
            box_info box;
            if (!read_box(window, box))
                continue;
            auto previous = last_read_.find(window);
            if (previous != last_read_.end() && previous->second == box && !must_wait(box)) {
                answer(window, box);
                answered_.insert(window);
                continue;
            }
            seen[window] = box;
        }
        last_read_ = std::move(seen);
    }

    void forget_closed_boxes()
    {
        for (auto it = answered_.begin(); it != answered_.end();)
            it = IsWindow(*it) ? std::next(it) : answered_.erase(it);
    }

    // A box scripted "after-children" waits while a process that its
    // program started is still going; one scripted "after-file" while that
    // file does not exist.
    bool must_wait(const box_info& box) const
    {
        int index = match_script(box);
        if (index < 0)
            return false;
        const expected_box& expected = script_[index];
        return (expected.after_children && !processes_.descendants_have_ended(box.pid)) ||
               (!expected.after_file.empty() &&
                GetFileAttributesW(expected.after_file.c_str()) == INVALID_FILE_ATTRIBUTES);
    }

    // The script entry that this box fulfils: the next one, or a later one
    // when everything before it is optional. -1 when there is none.
    int match_script(const box_info& box) const
    {
        for (size_t i = next_; i < script_.size(); ++i) {
            const expected_box& expected = script_[i];
            if (wildcard_match(expected.caption, box.caption) &&
                wildcard_match(expected.text_pattern, box.text))
                return static_cast<int>(i);
            if (!expected.optional)
                return -1;
        }
        return -1;
    }

    void answer(HWND window, const box_info& box)
    {
        std::string json = box_json(box);
        int index = match_script(box);
        int id = index < 0 ? 0 : button_id(script_[index].button);
        if (index >= 0 && has_button(box, id)) {
            json += ", \"expected\": true, \"script_line\": " + std::to_string(script_[index].line);
            next_ = static_cast<size_t>(index) + 1;
        } else {
            if (index >= 0) {
                json += ", \"expected\": true, \"script_line\": " + std::to_string(script_[index].line) +
                        ", \"error\": \"the box has no button " + script_[index].button + "\"";
                next_ = static_cast<size_t>(index) + 1;
            } else {
                json += ", \"expected\": false";
            }
            id = fallback_answer(box);
            failed_ = true;
        }
        json += ", \"answer_id\": " + std::to_string(id) + "}";
        log_.write(json);
        press(window, id);
    }

    void report_missing()
    {
        for (size_t i = next_; i < script_.size(); ++i) {
            if (script_[i].optional)
                continue;
            log_.write("{\"event\": \"missing\", \"script_line\": " + std::to_string(script_[i].line) +
                       ", \"caption\": " + helper::json_quote(script_[i].caption) +
                       ", \"text\": " + helper::json_quote(script_[i].text_pattern) + "}");
            failed_ = true;
        }
    }

    const options& settings_;
    std::vector<expected_box> script_;
    event_log& log_;
    process_tree processes_;
    size_t next_ = 0;
    bool failed_ = false;
    std::set<HWND> answered_;
    std::map<HWND, box_info> last_read_;
};

int usage()
{
    fprintf(stderr, "usage: player --script FILE [--log FILE] [--cwd DIR] [--timeout SECONDS] [--wait-all]\n"
                    "              [--poll MILLISECONDS]\n"
                    "              (--command-line TEXT | --command-line-file FILE)\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    options settings;
    if (!parse_arguments(argc, argv, settings))
        return usage();
    std::vector<expected_box> script;
    if (!load_script(settings.script_path, script)) {
        fprintf(stderr, "player: cannot read the script %s\n", settings.script_path.c_str());
        return 2;
    }
    event_log log;
    if (!log.open(settings.log_path)) {
        fprintf(stderr, "player: cannot write the log %s\n", settings.log_path.c_str());
        return 2;
    }
    // The first program in a Wine session to touch the desktop starts Wine's
    // desktop process; the player does it here, so that process is its own
    // child and not one of the program's.
    GetDesktopWindow();
    player run(settings, std::move(script), log);
    if (!run.start())
        return 2;
    bool passed = run.run();
    log.write("{\"event\": \"result\", \"passed\": " + std::string(passed ? "true" : "false") +
              ", \"exit_code\": " + std::to_string(run.exit_code()) + "}");
    return passed ? 0 : 1;
}
