// Moving an uninstall entry: the patch's subtree copy plus delete against the
// platform's own ways of doing the same, on the same generated trees.
//
//   registry_move.exe RESULT_FILE REPETITIONS SIZE... [calls=COUNT]
//
// SIZE is NAME=FANOUT,DEPTH,VALUES[,REPETITIONS]: a key with VALUES values
// and FANOUT subkeys, each again with VALUES values and FANOUT subkeys, DEPTH
// levels down (0,0,20 is one key with 20 values, the size of a real
// uninstall entry), moved REPETITIONS times (default: the command line's).
// In rounds over all sizes, each method moves the same freshly generated
// tree from SOFTWARE\KestovaBench\src to ...\dst under HKEY_LOCAL_MACHINE
// (the 32-bit view, as the patch sees it):
//   patch         copy_registry_tree, then SHDeleteKeyA through the seam,
//                 exactly as the patch moves an uninstall entry;
//   RegCopyTree   RegCopyTreeA, then RegDeleteTreeA;
//   SHCopyKey     SHCopyKeyA, then SHDeleteKeyA;
//   rename        RegRenameKey (src to dst below the same parent), the move
//                 in one step, as a reference: the patch never calls it;
//                 looked up in advapi32 at run time (Windows Vista and
//                 later, Wine 8). Left out when it is missing.
// The order of the methods turns with each round. After every copy the
// destination is compared with the source (keys, values, types and bytes),
// and after every delete the source must be gone; a run that fails either
// check is recorded as not verified.
//
// With calls=COUNT it also times, over one key of COUNT values, each kind of
// call that the copies make per value (see time_value_calls).
//
// Result lines: size=NAME,KEYS,VALUES,DATA_BYTES,
// run=SIZE,METHOD,REPETITION,COPY_MS,DELETE_MS,VERIFIED (a rename's time is
// its COPY_MS, its DELETE_MS 0), call=KIND,REPETITION,COUNT,TOTAL_MS, and
// rename=available|missing; rename_onto_existing=ERROR,KEPT: what
// RegRenameKey answers when dst exists already, and whether both keys were
// left as they were.

// The patch's seam before <windows.h>, whose macros would rewrite its names
// (ERROR_SUCCESS, HKEY_LOCAL_MACHINE): below, those are the Win32 ones.
#include "registry/registry.h"

#include "bench_util.h"

#include <shlwapi.h>

#include <new>
#include <string>
#include <vector>

namespace
{

constexpr char BASE_KEY[] = "SOFTWARE\\KestovaBench";
constexpr char SOURCE_KEY[] = "SOFTWARE\\KestovaBench\\src";
constexpr char DEST_KEY[] = "SOFTWARE\\KestovaBench\\dst";

struct tree_size {
    std::string name;
    unsigned fanout = 0;
    unsigned depth = 0;
    unsigned values = 0;
    unsigned repetitions = 0; // 0: as many as the command line says
};

struct tree_summary {
    unsigned long long keys = 0;
    unsigned long long values = 0;
    unsigned long long data_bytes = 0;
    unsigned long long checksum = 0; // order-independent: a sum of item hashes
    bool operator==(const tree_summary& other) const
    {
        return keys == other.keys && values == other.values && data_bytes == other.data_bytes &&
               checksum == other.checksum;
    }
};

unsigned long long fnv1a(const void* data, std::size_t size, unsigned long long hash = 1469598103934665603ull)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    return hash;
}

// ---------------------------------------------------------------------------
// Generating a tree: a mix of the value types an uninstall entry holds.

bool set_value(HKEY key, unsigned key_number, unsigned index)
{
    char name[32];
    std::snprintf(name, sizeof name, "Value%02u", index);
    char text[160];
    switch (index % 6) {
    case 0: {
        const int length = std::snprintf(
            text, sizeof text, "Text value %u of key %u, about as long as a name", index, key_number);
        return RegSetValueExA(key, index == 0 ? "" : name, 0, REG_SZ, reinterpret_cast<BYTE*>(text),
                              static_cast<DWORD>(length + 1)) == ERROR_SUCCESS;
    }
    case 1: {
        const DWORD number = key_number * 1000 + index;
        return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                              sizeof number) == ERROR_SUCCESS;
    }
    case 2: {
        const int length = std::snprintf(
            text, sizeof text, "%%ProgramFiles%%\\Quenmoor\\Kestova\\data\\file%u_%u.dat", key_number, index);
        return RegSetValueExA(key, name, 0, REG_EXPAND_SZ, reinterpret_cast<BYTE*>(text),
                              static_cast<DWORD>(length + 1)) == ERROR_SUCCESS;
    }
    case 3: {
        BYTE data[48];
        for (unsigned i = 0; i < sizeof data; ++i) {
            data[i] = static_cast<BYTE>(key_number * 7 + index * 13 + i);
        }
        return RegSetValueExA(key, name, 0, REG_BINARY, data, sizeof data) == ERROR_SUCCESS;
    }
    case 4: {
        static const char list[] = "first entry\0second entry\0third\0";
        return RegSetValueExA(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list), sizeof list) ==
               ERROR_SUCCESS;
    }
    default: {
        const unsigned long long number = 0x100000000ull * key_number + index;
        return RegSetValueExA(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&number),
                              sizeof number) == ERROR_SUCCESS;
    }
    }
}

bool fill_key(HKEY key, const tree_size& size, unsigned level, unsigned& key_number)
{
    const unsigned number = key_number++;
    for (unsigned index = 0; index < size.values; ++index) {
        if (!set_value(key, number, index)) {
            return false;
        }
    }
    if (level == size.depth) {
        return true;
    }
    for (unsigned child = 0; child < size.fanout; ++child) {
        char name[32];
        std::snprintf(name, sizeof name, "Key%03u", child);
        bench::scoped_key subkey;
        if (RegCreateKeyExA(key, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, subkey.out(), nullptr) !=
                ERROR_SUCCESS ||
            !fill_key(subkey.get(), size, level + 1, key_number)) {
            return false;
        }
    }
    return true;
}

bool generate_source(const tree_size& size)
{
    bench::scoped_key top;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SOURCE_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, top.out(),
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    unsigned key_number = 0;
    return fill_key(top.get(), size, 0, key_number);
}

// ---------------------------------------------------------------------------
// Reading a tree back for the comparison.

void summarize_key(HKEY key, const std::string& relative_path, tree_summary& summary)
{
    ++summary.keys;
    summary.checksum += fnv1a(relative_path.data(), relative_path.size());
    std::vector<BYTE> data(1024);
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD name_length = sizeof name;
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        const LONG result = RegEnumValueA(key, index, name, &name_length, nullptr, &type, data.data(), &size);
        if (result != ERROR_SUCCESS) {
            break;
        }
        ++summary.values;
        summary.data_bytes += size;
        unsigned long long hash = fnv1a(relative_path.data(), relative_path.size());
        hash = fnv1a(name, name_length, hash);
        hash = fnv1a(&type, sizeof type, hash);
        summary.checksum += fnv1a(data.data(), size, hash);
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD name_length = sizeof name;
        if (RegEnumKeyExA(key, index, name, &name_length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        bench::scoped_key subkey;
        if (RegOpenKeyExA(key, name, 0, KEY_READ, subkey.out()) == ERROR_SUCCESS) {
            summarize_key(subkey.get(), relative_path + "\\" + name, summary);
        }
    }
}

bool summarize(const char* path, tree_summary& summary)
{
    summary = tree_summary{};
    bench::scoped_key key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.out()) != ERROR_SUCCESS) {
        return false;
    }
    summarize_key(key.get(), "", summary);
    return true;
}

bool key_exists(const char* path)
{
    bench::scoped_key key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.out()) == ERROR_SUCCESS;
}

void remove_tree(const char* name)
{
    bench::scoped_key base;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, BASE_KEY, 0, KEY_ALL_ACCESS, base.out()) == ERROR_SUCCESS) {
        SHDeleteKeyA(base.get(), name);
    }
}

// ---------------------------------------------------------------------------
// The three ways of moving src to dst. Each returns false when a call failed.

struct timing {
    double copy_ms = 0;
    double delete_ms = 0;
};

bool move_with_patch(timing& time)
{
    // The seam's predefined key has the Win32 value.
    const platform::HKEY machine = reinterpret_cast<platform::HKEY>(HKEY_LOCAL_MACHINE);
    const double started = bench::now_seconds();
    copy_registry_tree(machine, SOURCE_KEY, DEST_KEY);
    const double copied = bench::now_seconds();
    // As the patch deletes an uninstall entry: its parent opened, SHDeleteKeyA.
    platform::HKEY parent = nullptr;
    if (platform::RegOpenKeyA(machine, BASE_KEY, &parent) != ERROR_SUCCESS) {
        return false;
    }
    const platform::DWORD deleted = platform::SHDeleteKeyA(parent, "src");
    platform::RegCloseKey(parent);
    const double ended = bench::now_seconds();
    time.copy_ms = (copied - started) * 1000.0;
    time.delete_ms = (ended - copied) * 1000.0;
    return deleted == ERROR_SUCCESS;
}

// RegRenameKey(key, sub_key, new_name): renames a subkey of key, in place.
using reg_rename_key_function = LONG(WINAPI*)(HKEY, LPCWSTR, LPCWSTR);
reg_rename_key_function reg_rename_key = nullptr;

reg_rename_key_function find_reg_rename_key()
{
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    if (advapi == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<reg_rename_key_function>(
        reinterpret_cast<void (*)()>(GetProcAddress(advapi, "RegRenameKey")));
}

bool move_with_rename(timing& time)
{
    const double started = bench::now_seconds();
    LONG renamed;
    {
        bench::scoped_key parent;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, BASE_KEY, 0, KEY_ALL_ACCESS, parent.out()) != ERROR_SUCCESS) {
            return false;
        }
        renamed = reg_rename_key(parent.get(), L"src", L"dst");
    }
    time.copy_ms = (bench::now_seconds() - started) * 1000.0;
    time.delete_ms = 0;
    return renamed == ERROR_SUCCESS;
}

bool open_source_and_dest(bench::scoped_key& source, bench::scoped_key& dest)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, SOURCE_KEY, 0, KEY_READ, source.out()) == ERROR_SUCCESS &&
           RegCreateKeyExA(HKEY_LOCAL_MACHINE, DEST_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, dest.out(),
                           nullptr) == ERROR_SUCCESS;
}

bool move_with_reg_copy_tree(timing& time)
{
    const double started = bench::now_seconds();
    LONG copied_result;
    {
        bench::scoped_key source, dest;
        if (!open_source_and_dest(source, dest)) {
            return false;
        }
        copied_result = RegCopyTreeA(source.get(), nullptr, dest.get());
    }
    const double copied = bench::now_seconds();
    LONG deleted_result;
    {
        bench::scoped_key parent;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, BASE_KEY, 0, KEY_ALL_ACCESS, parent.out()) != ERROR_SUCCESS) {
            return false;
        }
        deleted_result = RegDeleteTreeA(parent.get(), "src");
    }
    const double ended = bench::now_seconds();
    time.copy_ms = (copied - started) * 1000.0;
    time.delete_ms = (ended - copied) * 1000.0;
    return copied_result == ERROR_SUCCESS && deleted_result == ERROR_SUCCESS;
}

bool move_with_sh_copy_key(timing& time)
{
    const double started = bench::now_seconds();
    DWORD copied_result;
    {
        bench::scoped_key source, dest;
        if (!open_source_and_dest(source, dest)) {
            return false;
        }
        copied_result = SHCopyKeyA(source.get(), nullptr, dest.get(), 0);
    }
    const double copied = bench::now_seconds();
    DWORD deleted_result;
    {
        bench::scoped_key parent;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, BASE_KEY, 0, KEY_ALL_ACCESS, parent.out()) != ERROR_SUCCESS) {
            return false;
        }
        deleted_result = SHDeleteKeyA(parent.get(), "src");
    }
    const double ended = bench::now_seconds();
    time.copy_ms = (copied - started) * 1000.0;
    time.delete_ms = (ended - copied) * 1000.0;
    return copied_result == ERROR_SUCCESS && deleted_result == ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Where a value's copy spends its time: each kind of call the copies make per
// value, timed over one key's values. The patch's copy makes a sizing call,
// an allocation, a reading call and a write per value; RegCopyTreeA sizes
// its buffers once per key and makes a reading call and a write.

void time_value_calls(unsigned count, unsigned repetition, bench::result_file& result)
{
    remove_tree("src");
    remove_tree("dst");
    const tree_size size{"calls", 0, 0, count};
    bench::scoped_key source, dest;
    if (!generate_source(size) || !open_source_and_dest(source, dest)) {
        result.put("error", "could not set up the call timing");
        return;
    }
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> data(1024);
    std::vector<DWORD> sizes(count);

    double started = bench::now_seconds();
    for (DWORD index = 0; index < count; ++index) {
        DWORD name_length = static_cast<DWORD>(name.size());
        DWORD type = 0;
        RegEnumValueW(source.get(), index, name.data(), &name_length, nullptr, &type, nullptr, &sizes[index]);
    }
    result.put("call", "sizing RegEnumValueW,%u,%u,%.3f", repetition, count,
               (bench::now_seconds() - started) * 1000.0);

    started = bench::now_seconds();
    for (DWORD index = 0; index < count; ++index) {
        BYTE* block = new (std::nothrow) BYTE[sizes[index] + 3];
        delete[] block;
    }
    result.put("call", "new[] and delete[],%u,%u,%.3f", repetition, count,
               (bench::now_seconds() - started) * 1000.0);

    started = bench::now_seconds();
    for (DWORD index = 0; index < count; ++index) {
        DWORD name_length = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD data_size = static_cast<DWORD>(data.size());
        RegEnumValueW(source.get(), index, name.data(), &name_length, nullptr, &type, data.data(),
                      &data_size);
    }
    result.put("call", "reading RegEnumValueW,%u,%u,%.3f", repetition, count,
               (bench::now_seconds() - started) * 1000.0);

    std::vector<std::wstring> names(count);
    std::vector<DWORD> types(count);
    std::vector<std::vector<BYTE>> values(count);
    for (DWORD index = 0; index < count; ++index) {
        DWORD name_length = static_cast<DWORD>(name.size());
        DWORD data_size = static_cast<DWORD>(data.size());
        RegEnumValueW(source.get(), index, name.data(), &name_length, nullptr, &types[index], data.data(),
                      &data_size);
        names[index].assign(name.data(), name_length);
        values[index].assign(data.data(), data.data() + data_size);
    }
    started = bench::now_seconds();
    for (DWORD index = 0; index < count; ++index) {
        RegSetValueExW(dest.get(), names[index].c_str(), 0, types[index], values[index].data(),
                       static_cast<DWORD>(values[index].size()));
    }
    result.put("call", "RegSetValueExW,%u,%u,%.3f", repetition, count,
               (bench::now_seconds() - started) * 1000.0);
    source.reset();
    dest.reset();
    remove_tree("src");
    remove_tree("dst");
}

struct method {
    const char* name;
    bool (*move)(timing&);
};

const method METHODS[] = {
    {"patch", move_with_patch},
    {"RegCopyTree", move_with_reg_copy_tree},
    {"SHCopyKey", move_with_sh_copy_key},
    {"rename", move_with_rename},
};

// A rename onto a name that exists must fail and leave both keys alone.
void check_rename_onto_existing(const tree_size& size, const tree_summary& expected,
                                bench::result_file& result)
{
    remove_tree("src");
    remove_tree("dst");
    bench::scoped_key parent, dest;
    if (!generate_source(size) ||
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, DEST_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, dest.out(),
                        nullptr) != ERROR_SUCCESS ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, BASE_KEY, 0, KEY_ALL_ACCESS, parent.out()) != ERROR_SUCCESS) {
        result.put("error", "could not set up the rename onto an existing key");
        return;
    }
    const LONG renamed = reg_rename_key(parent.get(), L"src", L"dst");
    tree_summary source, existing;
    const bool kept = summarize(SOURCE_KEY, source) && source == expected && summarize(DEST_KEY, existing) &&
                      existing.keys == 1 && existing.values == 0;
    result.put("rename_onto_existing", "%ld,%d", static_cast<long>(renamed), kept ? 1 : 0);
    dest.reset();
    remove_tree("src");
    remove_tree("dst");
}

bool parse_size(const char* text, tree_size& size)
{
    const char* equals = std::strchr(text, '=');
    if (equals == nullptr || equals == text) {
        return false;
    }
    size.name.assign(text, equals);
    const int fields =
        std::sscanf(equals + 1, "%u,%u,%u,%u", &size.fanout, &size.depth, &size.values, &size.repetitions);
    return fields == 3 || (fields == 4 && size.repetitions > 0);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: registry_move RESULT_FILE REPETITIONS NAME=FANOUT,DEPTH,VALUES...\n");
        return 2;
    }
    bench::result_file result;
    if (!result.open(argv[1])) {
        return 2;
    }
    const unsigned repetitions = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    std::vector<tree_size> sizes;
    unsigned call_values = 0;
    for (int i = 3; i < argc; ++i) {
        tree_size size;
        if (std::strncmp(argv[i], "calls=", 6) == 0) {
            call_values = static_cast<unsigned>(std::strtoul(argv[i] + 6, nullptr, 10));
            continue;
        }
        if (!parse_size(argv[i], size)) {
            std::fprintf(stderr, "registry_move: bad size %s\n", argv[i]);
            return 2;
        }
        sizes.push_back(size);
    }

    remove_tree("src");
    remove_tree("dst");
    // The expected content of each size, read from a first generation.
    std::vector<tree_summary> expected(sizes.size());
    unsigned rounds = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (!generate_source(sizes[i]) || !summarize(SOURCE_KEY, expected[i])) {
            result.put("error", "could not generate %s", sizes[i].name.c_str());
            return 1;
        }
        remove_tree("src");
        result.put("size", "%s,%llu,%llu,%llu", sizes[i].name.c_str(), expected[i].keys, expected[i].values,
                   expected[i].data_bytes);
        if (sizes[i].repetitions == 0) {
            sizes[i].repetitions = repetitions;
        }
        rounds = sizes[i].repetitions > rounds ? sizes[i].repetitions : rounds;
    }
    // Rounds over all sizes rather than all repetitions of one size in a row:
    // a burst of other work on the machine then spoils one repetition of
    // each size, which the medians drop, instead of every repetition of one.
    reg_rename_key = find_reg_rename_key();
    result.put("rename", "%s", reg_rename_key != nullptr ? "available" : "missing");
    if (reg_rename_key != nullptr && !sizes.empty()) {
        check_rename_onto_existing(sizes[0], expected[0], result);
    }
    // Without RegRenameKey the last method, the rename, is left out.
    const std::size_t method_count = sizeof METHODS / sizeof METHODS[0] - (reg_rename_key != nullptr ? 0 : 1);
    for (unsigned round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            if (round >= sizes[i].repetitions) {
                continue;
            }
            for (std::size_t turn = 0; turn < method_count; ++turn) {
                const method& current = METHODS[(turn + round) % method_count];
                if (!generate_source(sizes[i])) {
                    result.put("error", "could not generate %s", sizes[i].name.c_str());
                    return 1;
                }
                timing time;
                bool verified = current.move(time);
                tree_summary copied;
                verified = verified && summarize(DEST_KEY, copied) && copied == expected[i] &&
                           !key_exists(SOURCE_KEY);
                result.put("run", "%s,%s,%u,%.3f,%.3f,%d", sizes[i].name.c_str(), current.name, round,
                           time.copy_ms, time.delete_ms, verified ? 1 : 0);
                remove_tree("src");
                remove_tree("dst");
            }
        }
    }
    for (unsigned repetition = 0; call_values > 0 && repetition < repetitions; ++repetition) {
        time_value_calls(call_values, repetition, result);
    }
    remove_tree("src");
    remove_tree("dst");
    {
        bench::scoped_key software;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, software.out()) ==
            ERROR_SUCCESS) {
            RegDeleteKeyA(software.get(), "KestovaBench");
        }
    }
    result.put("done", "1");
    return 0;
}
