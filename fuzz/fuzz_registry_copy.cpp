// Fuzz target: a registry tree of any shape, copied by the registry subtree
// copy. The copy must equal the source, byte for byte.
//
// Input: records, each an operation byte and its fields:
//   op % 4 == 0: a subkey of the current key, entered unless the tree is
//                already MAX_DEPTH deep: a name of 1 + (byte % 255) units;
//   op % 4 == 1 or 2: a value of the current key: a name of byte units
//                (byte * 20 with op bit 7), a type byte (below 0xF0: one of
//                the twelve types; otherwise four bytes of any type), data
//                of byte bytes (byte * 300 with op bit 6);
//   op % 4 == 3: back to the parent key.
// Names and data are a count byte k and k explicit units (two bytes each)
// or bytes, repeated to the length; without any, a filler letter.
#include "both/registry_tree.h"
#include "fuzz_machine.h"
#include "registry/registry.h"

using namespace fuzz;

namespace
{

constexpr std::size_t MAX_DEPTH = 6;
constexpr std::size_t MAX_RECORDS = 200;
constexpr std::size_t COPY_PATH_LENGTH = 1024; // the copy's path buffers, NUL included
const std::u16string SOURCE = u"SOFTWARE\\FuzzSource";
const std::u16string COPY = u"SOFTWARE\\FuzzCopy";

std::u16string units(byte_reader& input, std::size_t length, char16_t nul_stand_in)
{
    const std::size_t wanted = input.byte();
    std::u16string explicit_units;
    while (explicit_units.size() < wanted && explicit_units.size() < length && input.remaining() >= 2) {
        const char16_t unit = input.u16();
        explicit_units.push_back(unit == u'\0' ? nul_stand_in : unit);
    }
    if (explicit_units.empty()) {
        explicit_units.push_back(static_cast<char16_t>(u'a' + length % 26));
    }
    std::u16string out(length, u'\0');
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = explicit_units[i % explicit_units.size()];
    }
    return out;
}

// Key names: 1 to 255 units, no backslash, no NUL.
std::u16string key_name(byte_reader& input)
{
    std::u16string name = units(input, 1 + input.byte() % 255, u'0');
    for (char16_t& unit : name) {
        if (unit == u'\\') {
            unit = u'/';
        }
    }
    return name;
}

std::vector<BYTE> data_bytes(byte_reader& input, std::size_t length)
{
    const std::vector<BYTE> explicit_bytes = input.take(input.byte());
    std::vector<BYTE> out(length);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = explicit_bytes.empty() ? static_cast<BYTE>(i) : explicit_bytes[i % explicit_bytes.size()];
    }
    return out;
}

DWORD value_type(byte_reader& input)
{
    const std::uint8_t selector = input.byte();
    return selector < 0xF0 ? selector % 12 : input.u32();
}

// Builds the source tree through the seam's wide calls; returns the length
// of the longest key path below the source (its relative part).
std::size_t build_tree(byte_reader& input)
{
    platform::RegCloseKey(tree::create(SOURCE));
    std::vector<std::u16string> stack{u""};
    std::size_t longest = 0;
    for (std::size_t record = 0; record < MAX_RECORDS && !input.empty(); ++record) {
        const std::uint8_t op = input.byte();
        const std::u16string current = stack.back();
        switch (op % 4) {
        case 0: {
            const std::u16string path = current + u"\\" + key_name(input);
            HKEY key = tree::create(SOURCE + path);
            FUZZ_CHECK(key != nullptr);
            platform::RegCloseKey(key);
            longest = std::max(longest, path.size());
            if (stack.size() <= MAX_DEPTH) {
                stack.push_back(path);
            }
            break;
        }
        case 1:
        case 2: {
            const std::size_t name_length = input.byte() * ((op & 0x80) ? 20u : 1u);
            const std::u16string name = units(input, name_length, u'0');
            const DWORD type = value_type(input);
            const std::size_t data_length = input.byte() * ((op & 0x40) ? 300u : 1u);
            FUZZ_CHECK(tree::set(SOURCE + current, name, type, data_bytes(input, data_length)));
            break;
        }
        default:
            if (stack.size() > 1) {
                stack.pop_back();
            }
            break;
        }
    }
    return longest;
}

void append_field(std::string& out, const void* bytes, std::size_t size)
{
    out += std::to_string(size);
    out += ':';
    out.append(static_cast<const char*>(bytes), size);
}

// Appends a canonical text of a key and everything below it, read through
// the seam's wide calls: paths, names, types and data bytes, each with its
// length. False when a call fails.
bool append_key(HKEY key, const std::u16string& relative, std::string& out)
{
    static std::vector<platform::WCHAR> name(platform::REGISTRY_MAX_VALUE_NAME + 1);
    out += 'K';
    append_field(out, relative.data(), relative.size() * sizeof(char16_t));
    for (DWORD index = 0;; ++index) {
        DWORD name_length = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = 0;
        const platform::LONG sized =
            platform::RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type, nullptr, &size);
        if (sized == platform::ERROR_NO_MORE_ITEMS) {
            break;
        }
        std::vector<BYTE> data(size + 1);
        name_length = static_cast<DWORD>(name.size());
        if (sized != platform::ERROR_SUCCESS ||
            platform::RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type, data.data(),
                                    &size) != platform::ERROR_SUCCESS) {
            return false;
        }
        out += 'V';
        append_field(out, name.data(), name_length * sizeof(char16_t));
        out += std::to_string(type);
        append_field(out, data.data(), size);
    }
    for (DWORD index = 0;; ++index) {
        platform::WCHAR sub[platform::REGISTRY_MAX_KEY_NAME + 1];
        DWORD sub_length = platform::REGISTRY_MAX_KEY_NAME + 1;
        const platform::LONG listed =
            platform::RegEnumKeyExW(key, index, sub, &sub_length, nullptr, nullptr, nullptr, nullptr);
        if (listed == platform::ERROR_NO_MORE_ITEMS) {
            break;
        }
        HKEY child = nullptr;
        if (listed != platform::ERROR_SUCCESS ||
            platform::RegOpenKeyExW(key, sub, 0, platform::KEY_READ, &child) != platform::ERROR_SUCCESS) {
            return false;
        }
        const bool read = append_key(child, relative + u"\\" + std::u16string(sub, sub_length), out);
        platform::RegCloseKey(child);
        if (!read) {
            return false;
        }
    }
    return true;
}

// The canonical text of a subtree under HKEY_LOCAL_MACHINE; nullopt when it
// is missing or cannot be read whole.
std::optional<std::string> canonical_tree(const std::u16string& path)
{
    HKEY key = nullptr;
    if (platform::RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, path.c_str(), 0, platform::KEY_READ, &key) !=
        platform::ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::string out;
    const bool read = append_key(key, u"", out);
    platform::RegCloseKey(key);
    return read ? std::optional<std::string>(out) : std::nullopt;
}

std::string narrow(const std::u16string& ascii)
{
    return std::string(ascii.begin(), ascii.end());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    byte_reader input(data, size);
    const machine_scope machine;
    const std::size_t longest = build_tree(input);
    const std::optional<std::string> source_before = canonical_tree(SOURCE);
    FUZZ_CHECK(source_before.has_value());

    const outcome run = run_operation([] {
        copy_registry_tree(platform::HKEY_LOCAL_MACHINE, narrow(SOURCE).c_str(), narrow(COPY).c_str());
    });
    FUZZ_CHECK(run.exit_code == 0);
    FUZZ_CHECK_DETAIL(canonical_tree(SOURCE) == source_before, "the copy changed its source");
    if (run.ended) {
        // Only a path beyond the copy's buffers may stop it.
        FUZZ_CHECK_DETAIL(run.box == "Registry key path too long to copy", run.box);
        FUZZ_CHECK_DETAIL(SOURCE.size() + longest + 1 > COPY_PATH_LENGTH, std::to_string(longest));
        return 0;
    }
    FUZZ_CHECK(sim::open_handle_count() == 0);
    // The readable dumps only when they differ: they are slow to make.
    FUZZ_CHECK_DETAIL(canonical_tree(COPY) == source_before,
                      "source:\n" + tree::dump(SOURCE).substr(0, 4000) + "\ncopy:\n" +
                          tree::dump(COPY).substr(0, 4000));
    return 0;
}
