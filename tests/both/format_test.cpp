// The bounded formatting behind every message and built path, on both
// backends: the texts of the formats the modules use, and the cut of a text
// longer than its buffer, with poison bytes after the buffer to show that
// nothing is written past it.
#include "both.h"
#include "misc/misc.h"

#include <cstdarg>
#include <string>
#include <vector>

using namespace platform;

namespace
{

constexpr char POISON = '\xbd';
constexpr std::size_t MESSAGE_BUFFER_SIZE = 1024; // the messages' buffer
constexpr std::size_t GUARD = 64;

// A buffer of size bytes inside a larger poisoned block.
struct guarded_buffer {
    explicit guarded_buffer(std::size_t size) : size(size), block(size + GUARD, POISON) {}
    char* data() { return block.data(); }
    bool guard_intact() const
    {
        for (std::size_t i = size; i < block.size(); ++i) {
            if (block[i] != POISON) {
                return false;
            }
        }
        return true;
    }
    std::size_t size;
    std::vector<char> block;
};

int format_bounded_list(char* buffer, std::size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int fit = format_bounded(buffer, size, format, args);
    va_end(args);
    return fit;
}

std::string text_of(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string text_of(const char* format, ...)
{
    char text[MESSAGE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    const int fit = format_bounded(text, sizeof text, format, args);
    va_end(args);
    EXPECT_EQ(1, fit) << format;
    return text;
}

constexpr char CODE[] = "{5F3C9A21-7B4E-4D80-9C16-2E8A47B0D3F5}";

// Every kind of conversion the modules' messages and paths use, with the
// values they pass, against the text C's printf gives.
TEST(format_test, the_modules_formats_give_the_texts_of_c_printf)
{
    EXPECT_EQ("Error when getting display name (2)", text_of("Error when getting display name (%ld)", 2L));
    EXPECT_EQ("Failed to enumerate registry keys (-1)",
              text_of("Failed to enumerate registry keys (%ld)", -1L));
    EXPECT_EQ("(-2147483648)", text_of("(%ld)", static_cast<long>(static_cast<LONG>(0x80000000u))));
    EXPECT_EQ(std::string("Failed to delete uninstall entry ") + CODE + " (5)",
              text_of("Failed to delete uninstall entry %s (%lu)", CODE, static_cast<unsigned long>(5)));
    EXPECT_EQ("(4294967295)", text_of("(%lu)", static_cast<unsigned long>(static_cast<DWORD>(0xFFFFFFFFu))));
    EXPECT_EQ("FAILED: 0x80004005",
              text_of("FAILED: 0x%lx", static_cast<unsigned long>(static_cast<DWORD>(E_FAIL))));
    EXPECT_EQ("FAILED: 0x1", text_of("FAILED: 0x%lx", static_cast<unsigned long>(1)));
    EXPECT_EQ("9.0", text_of("%d.%d", 9, 0));
    EXPECT_EQ("8.1b", text_of("%d.%d%c", 8, 1, 'b'));
    EXPECT_EQ("-1.12", text_of("%d.%d", -1, 12));
    EXPECT_EQ("Found Kestova 3 in drive D:\\.\n\nInstall Kestova 3?",
              text_of("Found %s in drive %s.\n\nInstall %s?", "Kestova 3", "D:\\", "Kestova 3"));
    EXPECT_EQ("C:\\Program Files\\InstallShield Installation Information",
              text_of("%s\\%s", "C:\\Program Files", "InstallShield Installation Information"));
    // Arguments are copied as they are: a percent sign, bytes above 127.
    EXPECT_EQ("100% \xe9t\xe9", text_of("%s", "100% \xe9t\xe9"));
    EXPECT_EQ("", text_of("%s", ""));
}

TEST(format_test, a_message_longer_than_its_buffer_is_cut_and_nothing_written_after_it)
{
    const std::string long_path(3000, 'x');
    guarded_buffer buffer(MESSAGE_BUFFER_SIZE);
    EXPECT_EQ(0, format_text(buffer.data(), buffer.size, "Error reading file: %s", long_path.c_str()));
    const std::string text(buffer.data());
    EXPECT_EQ(MESSAGE_BUFFER_SIZE - 1, text.size());
    EXPECT_EQ(std::string("Error reading file: ") + long_path.substr(0, MESSAGE_BUFFER_SIZE - 1 - 20), text);
    EXPECT_TRUE(buffer.guard_intact());
}

// At the edge: a text of size - 1 characters fits, one more is cut.
TEST(format_test, a_text_fits_exactly_up_to_one_byte_less_than_its_buffer)
{
    for (std::size_t length :
         {MESSAGE_BUFFER_SIZE - 2, MESSAGE_BUFFER_SIZE - 1, MESSAGE_BUFFER_SIZE, MESSAGE_BUFFER_SIZE + 1}) {
        SCOPED_TRACE(length);
        const std::string text(length, 'a');
        guarded_buffer buffer(MESSAGE_BUFFER_SIZE);
        const int fit = format_text(buffer.data(), buffer.size, "%s", text.c_str());
        EXPECT_EQ(length < MESSAGE_BUFFER_SIZE ? 1 : 0, fit);
        EXPECT_EQ(text.substr(0, MESSAGE_BUFFER_SIZE - 1), std::string(buffer.data()));
        EXPECT_TRUE(buffer.guard_intact());
    }
}

TEST(format_test, tiny_buffers_hold_what_fits_and_no_buffer_is_not_written)
{
    guarded_buffer one(1);
    EXPECT_EQ(0, format_bounded_list(one.data(), one.size, "%s", "abc"));
    EXPECT_EQ('\0', one.data()[0]);
    EXPECT_TRUE(one.guard_intact());

    guarded_buffer one_empty(1);
    EXPECT_EQ(1, format_bounded_list(one_empty.data(), one_empty.size, "%s", ""));
    EXPECT_EQ('\0', one_empty.data()[0]);
    EXPECT_TRUE(one_empty.guard_intact());

    // Cut inside each kind of conversion, and by a %c just past a full
    // buffer (which Wine's runtime answers differently from the others).
    const auto expect_in_four = [](const char* expected, int fit, auto... arguments) {
        guarded_buffer four(4);
        EXPECT_EQ(fit, format_bounded_list(four.data(), four.size, arguments...)) << expected;
        EXPECT_STREQ(expected, four.data());
        EXPECT_TRUE(four.guard_intact()) << expected;
    };
    expect_in_four("9.0", 0, "%d.%d%c", 9, 0, 'c');
    expect_in_four("ab", 1, "%s", "ab");
    expect_in_four("abc", 1, "ab%c", 'c');
    expect_in_four("abc", 0, "ab%c%c", 'c', 'd');
    expect_in_four("123", 0, "%ld", 12345L);
    expect_in_four("123", 0, "%lu", static_cast<unsigned long>(1234));
    expect_in_four("123", 1, "%lu", static_cast<unsigned long>(123));
    expect_in_four("0x8", 0, "0x%lx", static_cast<unsigned long>(0x80004005u));
    expect_in_four("9.1", 0, "%d.%d", 9, 10);

    guarded_buffer none(0);
    EXPECT_EQ(0, format_bounded_list(none.data(), 0, "%s", "abc"));
    EXPECT_EQ(0, format_bounded_list(nullptr, 16, "%s", "abc"));
    EXPECT_TRUE(none.guard_intact());
}

} // namespace
