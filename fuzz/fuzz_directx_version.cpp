// Fuzz target: what the DirectX version detection reads from outside, the
// diagnostics provider's three properties and the version resources of the
// system files, and the caller's text buffer it fills.
//
// Input: a flag byte (bit 0: the provider can be created; bit 1: opening it
// fails; bit 2: the system directory cannot be had), the text length asked
// for (byte % 65), three properties (a kind byte: VT_UI4, VT_I4, VT_BSTR,
// VT_EMPTY or missing; a 32-bit value; for VT_BSTR a null flag, a length and
// that many UTF-16 units), then for each system file of the table a byte
// (bit 0: the file has a version, bit 1: it exists without one) and four
// 16-bit version parts.
#include "directx_version/directx_version.h"
#include "fuzz_machine.h"

#include <cstring>

using namespace fuzz;

namespace
{

constexpr std::size_t TEXT_BUFFER = 64;
constexpr BYTE POISON = 0xBD;
constexpr char SYSTEM_DIRECTORY[] = "C:\\Windows\\system32";
const char* const PROPERTY_NAMES[] = {"dwDirectXVersionMajor", "dwDirectXVersionMinor",
                                      "szDirectXVersionLetter"};
const char* const SYSTEM_FILES[] = {"ddraw.dll", "d3drg8x.dll", "dplayx.dll", "dinput.dll",
                                    "d3d8.dll",  "mpg2splt.ax", "dpnet.dll",  "d3d9.dll"};
// The releases the file table can name: major, minor, letter number.
constexpr PackedDirectXVersion TABLE_RELEASES[] = {0,        0x010000, 0x020000, 0x030000, 0x030001, 0x050000,
                                                   0x060000, 0x060100, 0x060101, 0x070000, 0x070001, 0x080000,
                                                   0x080100, 0x080101, 0x080102, 0x080200, 0x090000};

enum class kind { ui4, i4, bstr, empty, missing };

platform::DXDIAG_PROPERTY read_property(byte_reader& input, kind* k)
{
    platform::DXDIAG_PROPERTY property{};
    *k = static_cast<kind>(input.byte() % 5);
    const std::uint32_t value = input.u32();
    switch (*k) {
    case kind::ui4:
        property.vt = platform::VT_UI4;
        property.ulVal = value;
        break;
    case kind::i4:
        property.vt = platform::VT_I4;
        property.lVal = static_cast<platform::LONG>(value);
        break;
    case kind::bstr: {
        property.vt = platform::VT_BSTR;
        property.bstr_is_null = (value & 1) != 0;
        const std::size_t length = input.byte() % 64;
        for (std::size_t i = 0; i < length; ++i) {
            property.bstrVal[i] = input.u16();
        }
        break;
    }
    default:
        property.vt = platform::VT_EMPTY;
        break;
    }
    return property;
}

char ansi_of(char16_t unit)
{
    char converted[2] = {};
    platform::WideCharToMultiByte(platform::CP_ACP, 0, &unit, 1, converted, 1, nullptr, nullptr);
    return converted[0];
}

char lower_ascii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The version the provider's properties give, when all three are usable.
std::optional<PackedDirectXVersion> from_properties(const platform::DXDIAG_PROPERTY (&properties)[3],
                                                    const kind (&kinds)[3], char* letter)
{
    if (kinds[0] != kind::ui4 || kinds[1] != kind::ui4 || kinds[2] != kind::bstr ||
        properties[2].bstr_is_null) {
        return std::nullopt;
    }
    const char16_t first = properties[2].bstrVal[0];
    *letter = lower_ascii(first == 0 ? '\0' : ansi_of(first));
    const std::uint32_t letter_number = *letter >= 'a' && *letter <= 'z' ? *letter - 'a' + 1 : 0;
    return (properties[0].ulVal * 256u + properties[1].ulVal) * 256u + letter_number;
}

std::string expected_text(std::int32_t major, std::int32_t minor, char letter, std::size_t length)
{
    char text[TEXT_BUFFER];
    if (letter == ' ' || letter == '\0') {
        std::snprintf(text, length, "%d.%d", major, minor);
    } else {
        std::snprintf(text, length, "%d.%d%c", major, minor, letter);
    }
    return text;
}

bool is_table_release(PackedDirectXVersion packed)
{
    for (PackedDirectXVersion release : TABLE_RELEASES) {
        if (packed == release) {
            return true;
        }
    }
    return false;
}

void set_up_files(byte_reader& input)
{
    for (const char* file : SYSTEM_FILES) {
        const std::uint8_t presence = input.byte();
        const std::string path = std::string(SYSTEM_DIRECTORY) + "\\" + file;
        const platform::WORD a = input.u16();
        const platform::WORD b = input.u16();
        const platform::WORD c = input.u16();
        const platform::WORD d = input.u16();
        if (presence & 1) {
            sim::set_file_version(path, a, b, c, d);
        } else if (presence & 2) {
            sim::add_file(path, {'M', 'Z'});
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    byte_reader input(data, size);
    const machine_scope machine;
    const std::uint8_t flags = input.byte();
    const std::size_t text_length = input.byte() % (TEXT_BUFFER + 1);
    platform::DXDIAG_PROPERTY properties[3];
    kind kinds[3];
    for (int i = 0; i < 3; ++i) {
        properties[i] = read_property(input, &kinds[i]);
        if (kinds[i] != kind::missing) {
            sim::set_dxdiag_property(PROPERTY_NAMES[i], properties[i]);
        }
        properties[i].bstrVal[63] = 0; // as the provider stores it
    }
    const bool provider = (flags & 1) != 0 && (flags & 2) == 0;
    sim::set_dxdiag_available((flags & 1) != 0);
    if (flags & 2) {
        sim::set_dxdiag_open_result(platform::E_FAIL);
    }
    if (flags & 4) {
        sim::set_system_directory("");
    }
    set_up_files(input);

    char text[TEXT_BUFFER];
    std::memset(text, POISON, sizeof text);
    PackedDirectXVersion packed = 0xFFFFFFFFu;
    platform::HRESULT result = platform::E_FAIL;
    const int com_depth = sim::com_initialize_depth();
    const outcome run = run_operation([&] {
        result = query_directx_version(&packed, text_length > 0 ? text : nullptr,
                                       static_cast<std::int32_t>(text_length));
    });
    FUZZ_CHECK(!run.ended);
    FUZZ_CHECK(result == platform::S_OK);
    FUZZ_CHECK(sim::open_handle_count() == 0);
    FUZZ_CHECK(sim::com_initialize_depth() == com_depth);
    for (std::size_t i = text_length; i < sizeof text; ++i) {
        FUZZ_CHECK_DETAIL(static_cast<BYTE>(text[i]) == POISON, "written past the text buffer");
    }

    if (text_length > 0) {
        FUZZ_CHECK_DETAIL(std::memchr(text, '\0', text_length) != nullptr, "the text has no terminator");
    }
    char letter = ' ';
    const std::optional<PackedDirectXVersion> reported =
        provider ? from_properties(properties, kinds, &letter) : std::nullopt;
    if (reported) {
        FUZZ_CHECK(packed == *reported);
        if (text_length > 0) {
            FUZZ_CHECK_DETAIL(text == expected_text(static_cast<std::int32_t>(properties[0].ulVal),
                                                    static_cast<std::int32_t>(properties[1].ulVal), letter,
                                                    text_length),
                              text);
        }
        return 0;
    }
    FUZZ_CHECK(is_table_release(packed));
    if (text_length > 0) {
        const std::uint32_t letter_number = packed & 0xFF;
        const char table_letter = letter_number == 0 ? ' ' : static_cast<char>('a' + letter_number - 1);
        FUZZ_CHECK_DETAIL(text == expected_text(static_cast<std::int32_t>(packed >> 16),
                                                static_cast<std::int32_t>((packed >> 8) & 0xFF), table_letter,
                                                text_length),
                          text);
    }
    return 0;
}
