// Fuzz target: the command line and the running executable's own path,
// read by the entry point to choose the run mode. Runs the whole entry
// point on a machine with no title (only the uninstall key), where each
// mode ends in its own way.
//
// Input: a 16-bit little-endian length, that many bytes of command line,
// and the executable's path (the rest); each is ANSI text cut at its first
// NUL.
#include "fuzz_machine.h"

#include <cstring>

using namespace fuzz;

namespace
{

constexpr std::size_t MODULE_PATH_SIZE = 512;

std::string text_until_nul(const std::vector<BYTE>& bytes)
{
    const std::string text(bytes.begin(), bytes.end());
    return text.substr(0, text.find('\0'));
}

bool is_blank(char c)
{
    return static_cast<unsigned char>(c) <= 0x20;
}

// True when the first LENGTH characters of TEXT end with NAME as a whole
// path component, without regard to ASCII case.
bool prefix_ends_with_name(const std::string& text, std::size_t length, const std::string& name)
{
    if (name.empty() || name.size() > length) {
        return false;
    }
    const std::size_t start = length - name.size();
    if (start > 0 && std::strchr("\\/:", text[start - 1]) == nullptr) {
        return false;
    }
    return same_ignoring_case(std::string_view(text).substr(start, name.size()), name);
}

// Where an unquoted program name ends: at the first blank (or the end)
// where the text so far ends with the running file's own name, with or
// without ".exe", since a path typed in a console may hold blanks; failing
// that, at the first blank.
std::size_t end_of_unquoted_name(const std::string& command_line, const std::string& module)
{
    const std::size_t slash = module.rfind('\\');
    const std::string file_name = slash == std::string::npos ? module : module.substr(slash + 1);
    std::string short_name;
    if (file_name.size() > 4 &&
        same_ignoring_case(std::string_view(file_name).substr(file_name.size() - 4), ".exe")) {
        short_name = file_name.substr(0, file_name.size() - 4);
    }
    for (std::size_t at = 0; at <= command_line.size(); ++at) {
        if (at < command_line.size() && !is_blank(command_line[at])) {
            continue;
        }
        if (prefix_ends_with_name(command_line, at, file_name) ||
            prefix_ends_with_name(command_line, at, short_name)) {
            return at;
        }
    }
    std::size_t at = 0;
    while (at < command_line.size() && !is_blank(command_line[at])) {
        ++at;
    }
    return at;
}

// What follows the program's name and the blanks after it.
std::string arguments_of(const std::string& command_line, const std::string& module)
{
    std::size_t at = 0;
    if (!command_line.empty() && command_line[0] == '"') {
        const std::size_t closing = command_line.find('"', 1);
        at = closing == std::string::npos ? command_line.size() : closing + 1;
    } else {
        at = end_of_unquoted_name(command_line, module);
    }
    while (at < command_line.size() && is_blank(command_line[at])) {
        ++at;
    }
    return command_line.substr(at);
}

// The path as the entry point keeps it: cut to its 512-byte buffer and
// with ASCII capitals made small.
std::string recorded_module_path(const std::string& path)
{
    std::string recorded = path.substr(0, MODULE_PATH_SIZE - 1);
    for (char& c : recorded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return recorded;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    byte_reader input(data, size);
    const std::string command_line = text_until_nul(input.take(input.u16()));
    const std::string executable = text_until_nul(input.rest());

    const machine_scope machine;
    sim::set_command_line(ansi_to_utf8(command_line));
    sim::set_module_file_name(ansi_to_utf8(executable));
    sim::create_key(platform::HKEY_LOCAL_MACHINE, UNINSTALL_KEY); // clean mode needs it

    const outcome run = run_operation([] { patch_main(); });
    FUZZ_CHECK(run.exit_code == 0);
    const std::string recorded = recorded_module_path(executable);
    FUZZ_CHECK_DETAIL(std::string(module_path) == recorded, module_path);

    const std::string arguments = arguments_of(command_line, recorded);
    if (arguments.find("clean") == std::string::npos &&
        arguments.find(RESUME_ARGUMENT) != std::string::npos) {
        // The run after a restart only puts right what an interrupted run
        // left; on a machine without registrations there is nothing to say.
        FUZZ_CHECK_DETAIL(!run.ended && sim::message_boxes().empty(), run.box);
        FUZZ_CHECK(sim::open_handle_count() == 0);
        return 0;
    }
    FUZZ_CHECK(!sim::message_boxes().empty());
    const std::string first_box = sim::message_boxes().front().text;
    if (arguments.find("clean") != std::string::npos) {
        FUZZ_CHECK_DETAIL(!run.ended && run.box == "CLEANED OKAY", run.box);
    } else if (recorded.find(".tmp") != std::string::npos) {
        FUZZ_CHECK_DETAIL(!run.ended && first_box.rfind("No title is registered under", 0) == 0, first_box);
    } else {
        FUZZ_CHECK_DETAIL(
            run.ended && run.box == "Neither 'Kestova 2' or 'Kestova 3' are currently installed", run.box);
    }
    if (!run.ended) {
        FUZZ_CHECK(sim::open_handle_count() == 0);
    }
    return 0;
}
