// Whether one registry tree holds every key of another, for the undo of an
// entry move: a source that a failed deletion has half emptied must not be
// kept in place of its whole copy.
#include "registry/registry.h"

#include "misc/misc.h"

#include <cstring>

using namespace platform;

namespace
{

constexpr std::size_t PATH_LENGTH = 1024; // characters, with the NUL
constexpr DWORD NAME_LENGTH = REGISTRY_MAX_KEY_NAME + 1;

struct walk {
    WCHAR whole[PATH_LENGTH];
    WCHAR part[PATH_LENGTH];
};

std::size_t length_of(const WCHAR* text)
{
    std::size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

bool append(WCHAR* path, const WCHAR* name)
{
    const std::size_t length = length_of(path);
    const std::size_t addition = length_of(name);
    if (length + 1 + addition + 1 > PATH_LENGTH) {
        return false;
    }
    path[length] = u'\\';
    std::memcpy(path + length + 1, name, (addition + 1) * sizeof(WCHAR));
    return true;
}

// 1 when the key exists, 0 when it does not for sure, -1 when the registry
// could not tell.
int key_state(const WCHAR* path)
{
    key_owner key;
    const LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.receive());
    if (result == ERROR_SUCCESS) {
        return 1;
    }
    return result == ERROR_FILE_NOT_FOUND ? 0 : -1;
}

int contains_below(walk* w)
{
    key_owner part;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, w->part, 0, KEY_READ, part.receive()) != ERROR_SUCCESS) {
        return -1;
    }
    const std::size_t whole_end = length_of(w->whole);
    const std::size_t part_end = length_of(w->part);
    int answer = 1;
    for (DWORD index = 0; answer == 1; ++index) {
        WCHAR name[NAME_LENGTH];
        DWORD name_length = NAME_LENGTH;
        const LONG result =
            RegEnumKeyExW(part.get(), index, name, &name_length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result != ERROR_SUCCESS || !append(w->whole, name) || !append(w->part, name)) {
            answer = -1;
            break;
        }
        answer = key_state(w->whole);
        if (answer == 1) {
            answer = contains_below(w);
        }
        w->whole[whole_end] = 0;
        w->part[part_end] = 0;
    }
    return answer;
}

} // namespace

int registry_tree_contains(const char* whole_path, const char* part_path)
{
    walk w;
    if (MultiByteToWideChar(CP_ACP, 0, whole_path, -1, w.whole, static_cast<int>(PATH_LENGTH)) == 0 ||
        MultiByteToWideChar(CP_ACP, 0, part_path, -1, w.part, static_cast<int>(PATH_LENGTH)) == 0) {
        return -1;
    }
    const int whole = key_state(w.whole);
    return whole == 1 ? contains_below(&w) : whole;
}
