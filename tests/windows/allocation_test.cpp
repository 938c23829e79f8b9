// The Windows build's own allocation functions (source/platform/win32/
// allocation.cpp): a failed nothrow allocation answers null instead of
// ending the process, and memory goes back through the matching deletes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace
{

// More than a 32-bit process can ever get in one block; read at run time
// so that the compiler does not refuse the array below.
volatile std::size_t too_large = SIZE_MAX - 4096;

TEST(allocation_test, a_nothrow_allocation_that_cannot_be_met_answers_null)
{
    const std::size_t size = too_large;
    char* const single = static_cast<char*>(::operator new(size, std::nothrow));
    EXPECT_EQ(nullptr, single);
    ::operator delete(single); // null: nothing to free
    const std::unique_ptr<unsigned char[]> array(new (std::nothrow) unsigned char[size]);
    EXPECT_EQ(nullptr, array.get());
}

TEST(allocation_test, zero_byte_allocations_are_distinct_and_usable_blocks_are_returned)
{
    void* const first = ::operator new(0, std::nothrow);
    void* const second = ::operator new[](0, std::nothrow);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    ::operator delete(first);
    ::operator delete[](second);

    // Many blocks, written end to end and freed through each delete form;
    // a mismatched heap would fail here or in the runtime's own later use.
    for (int round = 0; round < 1000; ++round) {
        const std::size_t size = 1 + static_cast<std::size_t>(round) * 37;
        char* const block = new (std::nothrow) char[size];
        ASSERT_NE(nullptr, block);
        std::memset(block, 0x5a, size);
        if (round % 3 == 0) {
            delete[] block;
        } else if (round % 3 == 1) {
            ::operator delete[](block, std::nothrow);
        } else {
            ::operator delete[](block, size);
        }
        int* const number = new (std::nothrow) int(round);
        ASSERT_NE(nullptr, number);
        EXPECT_EQ(round, *number);
        delete number;
    }
}

// The runtime's throwing operator new (std::string's storage) and these
// deletes share one heap.
TEST(allocation_test, memory_of_the_runtimes_own_new_is_freed_by_these_deletes)
{
    for (int round = 0; round < 200; ++round) {
        std::string text(static_cast<std::size_t>(round) * 53 + 100, 'k');
        text += "end";
        EXPECT_EQ('k', text[0]);
        auto owned = std::make_unique<std::string>(text);
        EXPECT_EQ(text.size(), owned->size());
    }
}

} // namespace
