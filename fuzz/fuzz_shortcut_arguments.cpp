// Fuzz target: the arguments of the title's "Uninstall" shortcut, read and
// rewritten by the shortcut retargeting.
//
// Input: one flag byte (bit 0: title 2 is being installed instead of title
// 3; bit 1: both flags set, so title 2's shortcut is the one rewritten),
// then the arguments as ANSI text, cut at the first NUL.
#include "fuzz_machine.h"

using namespace fuzz;

namespace
{

constexpr std::size_t LINK_TEXT_LENGTH = 259; // the shell-link buffers hold 260 characters
constexpr char ALL_USERS_PROGRAMS[] = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
constexpr char TARGET[] = "C:\\Windows\\IsUninst.exe";

std::string shortcut_path(const char* relative)
{
    return std::string(ALL_USERS_PROGRAMS) + relative;
}

sim::shortcut make_shortcut(const std::string& arguments_utf8, const char* title)
{
    return {TARGET, arguments_utf8, std::string("Uninstall ") + title, "C:\\Games",
            std::string("C:\\Games\\") + title + "\\game.ico,0"};
}

// The arguments as the retargeting should leave them: the text it can
// read, with the 38 characters from the first "{" replaced by the code.
std::optional<std::string> retargeted(const std::string& arguments, const char* code)
{
    const std::string seen = arguments.substr(0, LINK_TEXT_LENGTH);
    const std::size_t brace = seen.find('{');
    if (brace == std::string::npos || seen.size() - brace < PRODUCT_CODE_LENGTH) {
        return std::nullopt;
    }
    std::string out = seen;
    out.replace(brace, PRODUCT_CODE_LENGTH, code, PRODUCT_CODE_LENGTH);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    byte_reader input(data, size);
    const std::uint8_t flags = input.byte();
    const std::vector<BYTE> rest = input.rest();
    std::string arguments(rest.begin(), rest.end());
    arguments = arguments.substr(0, arguments.find('\0'));

    const machine_scope machine;
    platform::CoInitialize(nullptr); // as the entry point does
    const bool title_2 = (flags & 3) != 0;
    installing_ks2 = title_2 ? 1 : 0;
    installing_ks3 = (!title_2 || (flags & 2)) ? 1 : 0;

    const std::string rewritten_path = shortcut_path(title_2 ? KS2_SHORTCUT : KS3_SHORTCUT);
    const std::string other_path = shortcut_path(title_2 ? KS3_SHORTCUT : KS2_SHORTCUT);
    const std::string arguments_utf8 = ansi_to_utf8(arguments);
    const sim::shortcut before = make_shortcut(arguments_utf8, title_2 ? "Kestova 2" : "Kestova 3");
    sim::add_shortcut(rewritten_path, before);
    sim::add_shortcut(other_path, make_shortcut(arguments_utf8, title_2 ? "Kestova 3" : "Kestova 2"));
    const auto file_before = sim::file_bytes(rewritten_path);
    const auto other_before = sim::file_bytes(other_path);

    int result = -1;
    const outcome run = run_operation([&] { result = retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE); });
    FUZZ_CHECK(run.exit_code == 0);
    FUZZ_CHECK(sim::file_bytes(other_path) == other_before);

    const std::optional<std::string> expected = retargeted(arguments, ALTERNATE_PRODUCT_CODE);
    if (run.ended) {
        FUZZ_CHECK_DETAIL(!expected, run.box);
        FUZZ_CHECK_DETAIL(run.box == "Error in shortcut file", run.box);
        FUZZ_CHECK(sim::file_bytes(rewritten_path) == file_before);
        return 0;
    }
    FUZZ_CHECK(result == 1);
    FUZZ_CHECK(expected.has_value());
    FUZZ_CHECK(sim::open_handle_count() == 0);
    const std::optional<sim::shortcut> after = sim::get_shortcut(rewritten_path);
    FUZZ_CHECK(after.has_value());
    FUZZ_CHECK_DETAIL(after->arguments == ansi_to_utf8(*expected), after->arguments);
    FUZZ_CHECK(after->target == before.target);
    FUZZ_CHECK(after->description == before.description);
    return 0;
}
