// The allocation functions of the Windows build, bound to the C runtime's
// malloc and free.
//
// The modules and the seam allocate only with new (std::nothrow) and free
// with delete. libstdc++'s own nothrow operator new calls the throwing one
// inside a try block, and that one try links the whole exception runtime
// (personality routine, unwinder, terminate handler, demangler) into a
// program that never throws. These replacements answer a failed allocation
// with a null pointer directly. The deletes take memory from either these
// or the runtime's throwing operator new (which the tests' own code uses),
// since that one allocates with malloc too. No new-handler is called: the
// program installs none.
#include <cstdlib>
#include <new>

namespace
{

// A zero-byte request still gets a distinct pointer, as the language asks.
void* allocate(std::size_t size) noexcept
{
    return std::malloc(size == 0 ? 1 : size);
}

} // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void operator delete(void* block) noexcept
{
    std::free(block);
}

void operator delete[](void* block) noexcept
{
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    std::free(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept
{
    std::free(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    std::free(block);
}
