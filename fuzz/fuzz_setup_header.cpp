// Fuzz target: the PE file header of the disc's "setup.exe", read by the
// disc check. The input is the whole file.
#include "fuzz_machine.h"

using namespace fuzz;

namespace
{

constexpr char DRIVE[] = "D:\\";
constexpr char INVALID_HEADER[] = "Invalid setup.exe file (win header not found)";
constexpr std::size_t OFFSET_POSITION = 60;
constexpr std::size_t NT_HEADERS_SIZE = 248;

std::uint32_t little_endian_32(const std::vector<BYTE>& bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

enum class verdict { invalid, other_build, known_build };

// What the file's header says, worked out from the bytes alone: the
// offset at byte 60, the whole 32-bit NT headers there, "PE\0\0" at their
// start and the link time stamp 8 bytes in.
verdict judge(const std::vector<BYTE>& file)
{
    if (file.size() < OFFSET_POSITION + 4) {
        return verdict::invalid;
    }
    const std::uint64_t offset = little_endian_32(file, OFFSET_POSITION);
    if (offset + NT_HEADERS_SIZE > file.size()) {
        return verdict::invalid;
    }
    const std::size_t at = static_cast<std::size_t>(offset);
    if (file[at] != 'P' || file[at + 1] != 'E' || file[at + 2] != 0 || file[at + 3] != 0) {
        return verdict::invalid;
    }
    const std::uint32_t stamp = little_endian_32(file, at + 8);
    return stamp == 0x3F746D6D || stamp == 0x41640D89 ? verdict::known_build : verdict::other_build;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<BYTE> file(data, data + size);
    const machine_scope machine;
    sim::add_drive({DRIVE, platform::DRIVE_CDROM, "Kestova 3", "CDFS", true});
    sim::add_file(std::string(DRIVE) + "setup.exe", file);

    int result = -1;
    const outcome run = run_operation([&] { result = disc_needs_patch(DRIVE); });
    FUZZ_CHECK(run.exit_code == 0);

    const verdict expected = judge(file);
    if (run.ended) {
        FUZZ_CHECK_DETAIL(expected == verdict::invalid, run.box);
        FUZZ_CHECK_DETAIL(run.box == INVALID_HEADER, run.box);
        return 0;
    }
    FUZZ_CHECK(expected != verdict::invalid);
    FUZZ_CHECK(result == (expected == verdict::known_build ? 1 : 0));
    FUZZ_CHECK(sim::open_handle_count() == 0);
    FUZZ_CHECK(sim::file_bytes(std::string(DRIVE) + "setup.exe") == file);
    return 0;
}
