// Fuzz target: the arguments of the title's "Uninstall" shortcut, read and
// rewritten by the shortcut retargeting.
//
// Input: one flag byte (bit 0: title 2 is being installed instead of title
// 3; bit 1: both flags set, so title 2's shortcut is the one rewritten),
// then the arguments as ANSI text, cut at the first NUL.
#include "fuzz_machine.h"

#include <cctype>

using namespace fuzz;

namespace
{

constexpr std::size_t ARGUMENTS_LIMIT = 511; // the retargeting's 512-byte buffer
constexpr char ALL_USERS_PROGRAMS[] = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
constexpr char TARGET[] = "C:\\Windows\\IsUninst.exe";

std::string shortcut_path(const char* relative)
{
    return std::string(ALL_USERS_PROGRAMS) + relative;
}

sim::shortcut make_shortcut(const std::string& arguments_utf8, const char* title)
{
    return {TARGET,
            arguments_utf8,
            std::string("Uninstall ") + title,
            "C:\\Games",
            std::string("C:\\Games\\") + title + "\\game.ico,0",
            0x0655,
            7,
            "..\\IsUninst.exe"};
}

bool same_code(const std::string& text, std::size_t at, const char* code)
{
    return text.size() - at >= PRODUCT_CODE_LENGTH &&
           same_ignoring_case(std::string_view(text).substr(at, PRODUCT_CODE_LENGTH), code);
}

// What the retargeting must do with the arguments.
enum class verdict { rewrite, keep, refuse_text, refuse_length, refuse_conversion };

// The arguments survive the trip to the link's UTF-16 and back unchanged.
bool converts_back(const std::string& arguments)
{
    const std::u16string wide = ansi_to_utf16(arguments);
    std::string back(arguments.size() + 1, '\0');
    platform::BOOL lossy = 0;
    const int length =
        platform::WideCharToMultiByte(platform::CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                      back.data(), static_cast<int>(back.size()), nullptr, &lossy);
    back.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return !lossy && back == arguments;
}

verdict expected_verdict(const std::string& arguments)
{
    if (!converts_back(arguments)) {
        return verdict::refuse_conversion;
    }
    if (arguments.size() > ARGUMENTS_LIMIT) {
        return verdict::refuse_length;
    }
    const std::size_t brace = arguments.find('{');
    if (brace == std::string::npos) {
        return verdict::refuse_text;
    }
    if (same_code(arguments, brace, ALTERNATE_PRODUCT_CODE)) {
        return verdict::keep;
    }
    return same_code(arguments, brace, SHARED_PRODUCT_CODE) ? verdict::rewrite : verdict::refuse_text;
}

std::string rewritten(const std::string& arguments, const char* code)
{
    std::string out = arguments;
    out.replace(out.find('{'), PRODUCT_CODE_LENGTH, code, PRODUCT_CODE_LENGTH);
    return out;
}

bool starts_with(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
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
    sim::shortcut before = make_shortcut(arguments_utf8, title_2 ? "Kestova 2" : "Kestova 3");
    sim::add_shortcut(rewritten_path, before);
    sim::add_shortcut(other_path, make_shortcut(arguments_utf8, title_2 ? "Kestova 3" : "Kestova 2"));
    const auto file_before = sim::file_bytes(rewritten_path);
    const auto other_before = sim::file_bytes(other_path);

    int result = -1;
    const outcome run = run_operation([&] { result = retarget_uninstall_shortcut(ALTERNATE_PRODUCT_CODE); });
    // A failed retarget is told and the stage goes on: never the process's end.
    FUZZ_CHECK_DETAIL(!run.ended, run.box);
    FUZZ_CHECK(sim::open_handle_count() == 0);
    FUZZ_CHECK(sim::file_bytes(other_path) == other_before);

    const verdict expected = expected_verdict(arguments);
    if (expected == verdict::rewrite) {
        FUZZ_CHECK_DETAIL(result == 1, run.box);
        before.arguments = ansi_to_utf8(rewritten(arguments, ALTERNATE_PRODUCT_CODE));
        const std::optional<sim::shortcut> after = sim::get_shortcut(rewritten_path);
        FUZZ_CHECK(after.has_value());
        FUZZ_CHECK_DETAIL(after->arguments == before.arguments, after->arguments);
        // Every other property of the shortcut stays.
        sim::add_shortcut("C:\\expected.lnk", before);
        FUZZ_CHECK(sim::file_bytes(rewritten_path) == sim::file_bytes("C:\\expected.lnk"));
        return 0;
    }
    FUZZ_CHECK(sim::file_bytes(rewritten_path) == file_before);
    if (expected == verdict::keep) {
        FUZZ_CHECK_DETAIL(result == 1 && run.box.empty(), run.box);
        return 0;
    }
    FUZZ_CHECK(result == 0);
    const char* cause = expected == verdict::refuse_text     ? "Error in shortcut file\n\n"
                        : expected == verdict::refuse_length ? "FAILED: 0x8007007a\n\n"
                                                             : "FAILED: 0x80070459\n\n";
    FUZZ_CHECK_DETAIL(starts_with(run.box, cause), run.box);
    return 0;
}
