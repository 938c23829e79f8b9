// Fuzz target: the "DisplayName" value of the uninstall entry, read by the
// installed-title detection.
//
// Input: one flag byte, then up to 200 bytes of value data. Flag bits 0-1:
// the entry stands under the shared code, the alternate code, both (the
// alternate one then names the other title) or neither; bits 2-3: the
// value's type (REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_MULTI_SZ); bit 4:
// no "DisplayName" value; bit 5: each data byte widened to one UTF-16 unit
// through the code page, instead of the bytes stored as they are.
#include "fuzz_machine.h"

using namespace fuzz;

namespace
{

constexpr std::size_t MAX_DATA = 200;
constexpr std::size_t DISPLAY_NAME_SIZE = 64;
constexpr DWORD TYPES[] = {platform::REG_SZ, platform::REG_EXPAND_SZ, platform::REG_BINARY,
                           platform::REG_MULTI_SZ};

enum class placement { shared, alternate, both, neither };

// The name the detection compares, from what the narrow call returns for
// a 64-byte buffer: cut at its first NUL; a name that fills the buffer
// without one is no title's name.
std::string compared_name(const std::string& narrow)
{
    const std::size_t nul = narrow.find('\0');
    if (nul != std::string::npos) {
        return narrow.substr(0, nul);
    }
    return narrow.size() == DISPLAY_NAME_SIZE ? std::string() : narrow;
}

void check_outcome(const outcome& run, placement where, const std::optional<std::string>& narrow)
{
    FUZZ_CHECK(run.exit_code == 0);
    if (where == placement::neither) {
        FUZZ_CHECK(run.ended);
        FUZZ_CHECK_DETAIL(run.box == "Neither 'Kestova 2' or 'Kestova 3' are currently installed", run.box);
        return;
    }
    if (!narrow || narrow->size() > DISPLAY_NAME_SIZE) {
        FUZZ_CHECK(run.ended);
        FUZZ_CHECK_DETAIL(run.box.rfind("Error when getting display name (", 0) == 0, run.box);
        return;
    }
    const std::string name = compared_name(*narrow);
    const bool ks2 = name == KS2_DISPLAY_NAME;
    const bool ks3 = name == KS3_DISPLAY_NAME;
    if (!ks2 && !ks3) {
        FUZZ_CHECK(run.ended);
        FUZZ_CHECK_DETAIL(run.box == "ASSERT is_ks2_installed || is_ks3_installed", run.box);
        return;
    }
    FUZZ_CHECK_DETAIL(!run.ended, run.box);
    FUZZ_CHECK(is_ks2_installed == (ks2 ? 1 : 0));
    FUZZ_CHECK(is_ks3_installed == (ks3 ? 1 : 0));
    FUZZ_CHECK(shared_code_in_use == (where == placement::alternate ? 0 : 1));
    FUZZ_CHECK(sim::open_handle_count() == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    byte_reader input(data, size);
    const std::uint8_t flags = input.byte();
    const std::vector<BYTE> bytes = input.take(MAX_DATA);
    const placement where = static_cast<placement>(flags & 3);
    const DWORD type = TYPES[(flags >> 2) & 3];
    const bool missing = (flags & 0x10) != 0;
    const bool widened = (flags & 0x20) != 0;

    const machine_scope machine;
    const std::string shared_entry = uninstall_entry_path(SHARED_PRODUCT_CODE);
    const std::string alternate_entry = uninstall_entry_path(ALTERNATE_PRODUCT_CODE);
    const std::string& entry = where == placement::alternate ? alternate_entry : shared_entry;
    if (where != placement::neither) {
        sim::create_key(platform::HKEY_LOCAL_MACHINE, entry);
        const std::vector<BYTE> stored =
            widened ? utf16_bytes(ansi_to_utf16(std::string(bytes.begin(), bytes.end()))) : bytes;
        if (!missing) {
            sim::set_value(platform::HKEY_LOCAL_MACHINE, entry, "DisplayName", type, stored);
        }
    }
    if (where == placement::both) {
        sim::set_string(platform::HKEY_LOCAL_MACHINE, alternate_entry, "DisplayName", "Kestova 3");
    }
    const std::optional<std::string> narrow =
        where == placement::neither ? std::nullopt : narrow_value(entry, "DisplayName");

    const outcome run = run_operation([] { detect_installed_game(); });
    check_outcome(run, where, narrow);
    return 0;
}
