// Starts a program, answers its message boxes at once and times it, for the
// benchmarks (the end-to-end player answers a box only after two polls 50 ms
// apart, which is right for tests but blurs a timing).
//
//   stage_timer --result FILE --command-line-file FILE [--cwd DIR]
//               [--timeout SECONDS] [--answer BUTTON]...
//
// Each --answer (Yes, No, OK, Cancel) answers the next box that the started
// process shows, in order; a box beyond them is answered No, OK or Cancel
// (whichever it has) and recorded as unexpected. While answers remain it
// looks for boxes every millisecond, afterwards every 100 ms, so that it
// stays out of the way of a process that is waiting.
//
// Result keys: started and ended (FILETIME), total_ms (steady clock),
// exit_code, timed_out, boxes, and per box N: box_N_text, box_N_caption,
// box_N_seen_ms (since the start), box_N_button, box_N_expected.
#include "bench_util.h"

#include <string>
#include <vector>

namespace
{

constexpr int MESSAGE_BOX_TEXT_ID = 0xFFFF;

struct options {
    std::string result_path;
    std::string command_line;
    std::string directory;
    DWORD timeout_ms = 120000;
    std::vector<int> answers;
};

int button_id(const std::string& name)
{
    if (name == "Yes") {
        return IDYES;
    }
    if (name == "No") {
        return IDNO;
    }
    if (name == "OK") {
        return IDOK;
    }
    if (name == "Cancel") {
        return IDCANCEL;
    }
    return 0;
}

bool read_text_file(const std::string& path, std::string& content)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[4096];
    std::size_t count;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        content.append(chunk, count);
    }
    std::fclose(file);
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
        content.pop_back();
    }
    return true;
}

bool parse_arguments(int argc, char** argv, options& result)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--result") {
            result.result_path = value;
        } else if (name == "--command-line-file") {
            if (!read_text_file(value, result.command_line)) {
                return false;
            }
        } else if (name == "--cwd") {
            result.directory = value;
        } else if (name == "--timeout") {
            result.timeout_ms = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 10) * 1000);
        } else if (name == "--answer") {
            const int id = button_id(value);
            if (id == 0) {
                return false;
            }
            result.answers.push_back(id);
        } else {
            return false;
        }
    }
    return argc % 2 == 1 && !result.result_path.empty() && !result.command_line.empty();
}

struct box_search {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK collect_box(HWND window, LPARAM context)
{
    box_search* search = reinterpret_cast<box_search*>(context);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char class_name[16] = "";
    if (pid == search->pid && IsWindowVisible(window) &&
        GetClassNameA(window, class_name, sizeof class_name) > 0 && std::strcmp(class_name, "#32770") == 0) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::string window_text(HWND window)
{
    char text[4096] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

bool has_button(HWND box, int id)
{
    const HWND button = GetDlgItem(box, id);
    return button != nullptr && IsWindowVisible(button);
}

class timer
{
  public:
    explicit timer(const options& settings) : settings_(settings) {}

    int run()
    {
        if (!result_.open(settings_.result_path.c_str())) {
            return 2;
        }
        // The first program to touch the desktop starts Wine's desktop
        // process; that belongs to this program, not to the timed one.
        GetDesktopWindow();

        std::vector<char> command_line(settings_.command_line.begin(), settings_.command_line.end());
        command_line.push_back('\0');
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        const char* directory = settings_.directory.empty() ? nullptr : settings_.directory.c_str();
        result_.put_time("started", bench::now_filetime());
        started_ = bench::now_seconds();
        if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, directory,
                            &startup, &process)) {
            result_.put("error", "CreateProcess failed (%lu)", GetLastError());
            return 2;
        }
        CloseHandle(process.hThread);
        bench::scoped_handle handle(process.hProcess);
        pid_ = process.dwProcessId;

        bool timed_out = false;
        for (;;) {
            const DWORD interval = next_answer_ < settings_.answers.size() ? 1 : 100;
            if (WaitForSingleObject(handle.get(), interval) != WAIT_TIMEOUT) {
                break;
            }
            answer_boxes();
            if ((bench::now_seconds() - started_) * 1000.0 > settings_.timeout_ms) {
                timed_out = true;
                TerminateProcess(handle.get(), 1);
                WaitForSingleObject(handle.get(), 5000);
                break;
            }
        }
        const double ended = bench::now_seconds();
        result_.put_time("ended", bench::now_filetime());
        result_.put("total_ms", "%.3f", (ended - started_) * 1000.0);
        DWORD exit_code = 0;
        GetExitCodeProcess(handle.get(), &exit_code);
        result_.put("exit_code", "%lu", exit_code);
        result_.put("timed_out", "%d", timed_out ? 1 : 0);
        result_.put("boxes", "%u", box_count_);
        return 0;
    }

  private:
    void answer_boxes()
    {
        // A closed box's handle may come back for a later box.
        for (auto it = answered_.begin(); it != answered_.end();) {
            it = IsWindow(*it) ? it + 1 : answered_.erase(it);
        }
        box_search search{pid_, {}};
        EnumWindows(collect_box, reinterpret_cast<LPARAM>(&search));
        for (HWND box : search.found) {
            if (already_answered(box)) {
                continue;
            }
            // A box counts once its text and at least one button are there.
            const HWND text = GetDlgItem(box, MESSAGE_BOX_TEXT_ID);
            if (text == nullptr || !(has_button(box, IDOK) || has_button(box, IDYES) ||
                                     has_button(box, IDNO) || has_button(box, IDCANCEL))) {
                continue;
            }
            answer(box, window_text(box), window_text(text));
        }
    }

    bool already_answered(HWND box) const
    {
        for (HWND answered : answered_) {
            if (answered == box) {
                return true;
            }
        }
        return false;
    }

    void answer(HWND box, const std::string& caption, const std::string& text)
    {
        const double seen_ms = (bench::now_seconds() - started_) * 1000.0;
        int id = 0;
        bool expected = false;
        if (next_answer_ < settings_.answers.size() && has_button(box, settings_.answers[next_answer_])) {
            id = settings_.answers[next_answer_++];
            expected = true;
        } else {
            for (int fallback : {IDNO, IDOK, IDCANCEL}) {
                if (has_button(box, fallback)) {
                    id = fallback;
                    break;
                }
            }
        }
        const std::string prefix = "box_" + std::to_string(box_count_++) + "_";
        result_.put((prefix + "caption").c_str(), "%s", bench::escape_line(caption).c_str());
        result_.put((prefix + "text").c_str(), "%s", bench::escape_line(text).c_str());
        result_.put((prefix + "seen_ms").c_str(), "%.3f", seen_ms);
        result_.put((prefix + "button").c_str(), "%d", id);
        result_.put((prefix + "expected").c_str(), "%d", expected ? 1 : 0);
        answered_.push_back(box);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
    }

    const options& settings_;
    bench::result_file result_;
    double started_ = 0;
    DWORD pid_ = 0;
    std::size_t next_answer_ = 0;
    unsigned box_count_ = 0;
    std::vector<HWND> answered_; // answered and still open
};

} // namespace

int main(int argc, char** argv)
{
    options settings;
    if (!parse_arguments(argc, argv, settings)) {
        std::fprintf(stderr, "usage: stage_timer --result FILE --command-line-file FILE [--cwd DIR]\n"
                             "                   [--timeout SECONDS] [--answer BUTTON]...\n");
        return 2;
    }
    timer run(settings);
    return run.run();
}
