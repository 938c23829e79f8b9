// Fuzz target: the drives and their volume labels, read by the disc search.
// The discs carry no "setup.exe", so a disc the user accepts ends the run at
// the disc check; the questions asked show which drives were taken.
//
// Input: a flag byte (bit 0: title 2 is installed, else title 3), a byte of
// answers (bit i: Yes to the i-th question, else No), then up to four
// drives: a letter byte (D: to Z:), a type byte, a media flag byte and a
// label (a length byte, times 3 with bit 7 of the media byte, and that many
// ANSI bytes, cut at the first NUL).
#include "fuzz_machine.h"

#include <map>

using namespace fuzz;

namespace
{

constexpr std::size_t MAX_DRIVES = 4;
constexpr std::size_t LABEL_BUFFER = 512;

struct fuzz_drive {
    platform::UINT type;
    bool has_media;
    std::string label; // ANSI
};

bool same_ignoring_ascii_case(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

// Drives by letter, as the system lists them; a later drive with the same
// letter replaces the earlier one.
std::map<char, fuzz_drive> read_drives(byte_reader& input)
{
    std::map<char, fuzz_drive> drives;
    for (std::size_t i = 0; i < MAX_DRIVES && !input.empty(); ++i) {
        const char letter = static_cast<char>('D' + input.byte() % 23);
        const platform::UINT type = input.byte() % 7;
        const std::uint8_t media = input.byte();
        const std::size_t length = input.byte() * ((media & 0x80) ? 3u : 1u);
        const std::vector<BYTE> bytes = input.take(length);
        std::string label(bytes.begin(), bytes.end());
        drives[letter] = {type, (media & 1) != 0, label.substr(0, label.find('\0'))};
    }
    return drives;
}

// The message boxes the search should show, and the drive it should take.
std::vector<std::string> expected_boxes(const std::map<char, fuzz_drive>& drives, bool title_2_installed,
                                        std::uint8_t answers, std::optional<char>* taken)
{
    const std::string wanted_label = title_2_installed ? KS3_DISC_LABEL : KS2_DISC_LABEL;
    const std::string title = title_2_installed ? KS3_DISPLAY_NAME : KS2_DISPLAY_NAME;
    std::vector<std::string> boxes;
    for (const auto& [letter, drive] : drives) {
        const bool readable =
            drive.type == platform::DRIVE_CDROM && drive.has_media && drive.label.size() + 1 <= LABEL_BUFFER;
        if (!readable || !same_ignoring_ascii_case(drive.label, wanted_label)) {
            continue;
        }
        const std::string root = std::string(1, letter) + ":\\";
        boxes.push_back("Found " + title + " in drive " + root + ".\n\nInstall " + title + "?");
        const bool yes = (answers >> (boxes.size() - 1)) & 1;
        if (yes) {
            *taken = letter;
            boxes.push_back("Error reading file: " + root + "setup.exe");
            return boxes;
        }
    }
    boxes.push_back("Could not find '" + title + "' in any CDROM drive");
    return boxes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    byte_reader input(data, size);
    const bool title_2_installed = (input.byte() & 1) != 0;
    const std::uint8_t answers = input.byte();
    const std::map<char, fuzz_drive> drives = read_drives(input);

    const machine_scope machine;
    is_ks2_installed = title_2_installed ? 1 : 0;
    is_ks3_installed = title_2_installed ? 0 : 1;
    std::vector<int> queued;
    for (int i = 0; i < 8; ++i) {
        queued.push_back(((answers >> i) & 1) ? platform::IDYES : platform::IDNO);
    }
    sim::queue_answers(queued);
    for (const auto& [letter, drive] : drives) {
        sim::add_drive(
            {std::string(1, letter) + ":\\", drive.type, ansi_to_utf8(drive.label), "CDFS", drive.has_media});
    }

    int result = -1;
    const outcome run = run_operation([&] { result = find_disc_and_run_setup(); });
    FUZZ_CHECK(run.exit_code == 0);

    std::optional<char> taken;
    const std::vector<std::string> expected = expected_boxes(drives, title_2_installed, answers, &taken);
    std::vector<std::string> shown;
    for (const auto& box : sim::message_boxes()) {
        shown.push_back(box.text);
    }
    FUZZ_CHECK_DETAIL(shown == expected, shown.empty() ? std::string("<no box>") : shown.back());
    FUZZ_CHECK(run.ended == taken.has_value());
    const int flag = title_2_installed ? installing_ks3 : installing_ks2;
    FUZZ_CHECK(flag == (taken ? 1 : 0));
    FUZZ_CHECK((title_2_installed ? installing_ks2 : installing_ks3) == 0);
    if (!run.ended) {
        FUZZ_CHECK(result == 0);
        FUZZ_CHECK(sim::open_handle_count() == 0);
    }
    return 0;
}
