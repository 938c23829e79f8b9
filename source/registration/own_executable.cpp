// The patch's own executable: copied, put in place of a file whole, and
// recognised by its bytes, so that a copy torn by a kill or a full disc, or
// a copy of an older build, counts as no copy.
#include "registration/registration.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr std::size_t COMPARE_CHUNK = 8192;

bool to_wide(const char* path, WCHAR (&wide)[MODULE_PATH_WIDE_SIZE])
{
    return MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MODULE_PATH_WIDE_SIZE) != 0;
}

CRT_FILE* open_own_executable()
{
    return module_path_wide[0] != 0 ? crt_wfopen(module_path_wide, "rb") : crt_fopen(module_path, "rb");
}

long size_of(CRT_FILE* file)
{
    if (crt_fseek(file, 0, CRT_SEEK_END) != 0) {
        return -1;
    }
    const long size = crt_ftell(file);
    return crt_fseek(file, 0, CRT_SEEK_SET) == 0 ? size : -1;
}

bool same_content(CRT_FILE* a, CRT_FILE* b)
{
    const long size = size_of(a);
    if (size < 0 || size != size_of(b)) {
        return false;
    }
    static BYTE chunk_a[COMPARE_CHUNK];
    static BYTE chunk_b[COMPARE_CHUNK];
    for (long done = 0; done < size;) {
        const std::size_t wanted = static_cast<std::size_t>(size - done) < COMPARE_CHUNK
                                       ? static_cast<std::size_t>(size - done)
                                       : COMPARE_CHUNK;
        if (crt_fread(chunk_a, 1, wanted, a) != wanted || crt_fread(chunk_b, 1, wanted, b) != wanted ||
            std::memcmp(chunk_a, chunk_b, wanted) != 0) {
            return false;
        }
        done += static_cast<long>(wanted);
    }
    return true;
}

} // namespace

int is_own_executable(const char* path)
{
    WCHAR wide[MODULE_PATH_WIDE_SIZE];
    if (!to_wide(path, wide)) {
        return 0;
    }
    CRT_FILE* own = open_own_executable();
    CRT_FILE* other = own != nullptr ? crt_wfopen(wide, "rb") : nullptr;
    const bool same = other != nullptr && same_content(own, other);
    if (other != nullptr) {
        crt_fclose(other);
    }
    if (own != nullptr) {
        crt_fclose(own);
    }
    return same ? 1 : 0;
}

int replace_with_own_executable(const char* destination, const char* temporary)
{
    WCHAR wide_destination[MODULE_PATH_WIDE_SIZE];
    WCHAR wide_temporary[MODULE_PATH_WIDE_SIZE];
    if (!to_wide(destination, wide_destination) || !to_wide(temporary, wide_temporary)) {
        return 0;
    }
    // A temporary copy left by an interrupted run is overwritten.
    if (!copy_own_executable(temporary, 1)) {
        DeleteFileW(wide_temporary);
        return 0;
    }
    if (!MoveFileExW(wide_temporary, wide_destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(wide_temporary);
        return 0;
    }
    return 1;
}

int copy_own_executable(const char* destination, int replace_existing)
{
    const BOOL fail_if_exists = replace_existing ? 0 : 1;
    if (module_path_wide[0] == 0) {
        return CopyFileA(module_path, destination, fail_if_exists);
    }
    WCHAR wide_destination[MODULE_PATH_WIDE_SIZE];
    if (MultiByteToWideChar(CP_ACP, 0, destination, -1, wide_destination, MODULE_PATH_WIDE_SIZE) == 0) {
        return 0;
    }
    return CopyFileW(module_path_wide, wide_destination, fail_if_exists);
}
