// The simulated registry: keys with typed values, names compared without
// regard to case, values in creation order and subkeys sorted by name, and
// the error codes, sizes and in/out length conventions of the real calls.
// Names and string data are stored as UTF-16; the narrow calls convert
// through code page 1252 on the way in and out.
#include "sim/machine.h"
#include "sim/sim.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace platform::sim::detail
{

namespace
{

constexpr REGSAM MAXIMUM_ALLOWED = 0x02000000;
constexpr REGSAM GENERIC_READ = 0x80000000u;
constexpr REGSAM GENERIC_WRITE = 0x40000000u;
constexpr REGSAM GENERIC_ALL = 0x10000000u;
constexpr DWORD SECURITY_DESCRIPTOR_SIZE = 136;

std::shared_ptr<reg_key> new_root(const char16_t* name)
{
    auto key = std::make_shared<reg_key>();
    key->name = name;
    return key;
}

// The rights a handle opened with sam holds. The simulated user is an
// administrator, so MAXIMUM_ALLOWED and GENERIC_ALL give every right.
REGSAM effective_access(REGSAM sam)
{
    if (sam & (MAXIMUM_ALLOWED | GENERIC_ALL))
        return KEY_ALL_ACCESS;
    REGSAM access = sam & KEY_ALL_ACCESS;
    if (sam & GENERIC_READ)
        access |= KEY_READ;
    if (sam & GENERIC_WRITE)
        access |= KEY_WRITE;
    return access;
}

bool is_predefined(HKEY key)
{
    return key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER;
}

std::shared_ptr<reg_key> predefined_key(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
        return state().hklm;
    if (key == HKEY_CURRENT_USER)
        return state().hkcu;
    return nullptr;
}

// The key behind a handle, checked for the rights an operation needs.
LONG resolve(HKEY handle, REGSAM needed, std::shared_ptr<reg_key>* key)
{
    std::shared_ptr<reg_key> found = predefined_key(handle);
    REGSAM access = KEY_ALL_ACCESS;
    if (!found) {
        handle_entry* entry = find_handle(handle, handle_kind::key);
        if (!entry)
            return ERROR_INVALID_HANDLE;
        found = entry->key;
        access = entry->access;
    }
    if (found->deleted)
        return ERROR_KEY_DELETED;
    if ((access & needed) != needed)
        return ERROR_ACCESS_DENIED;
    *key = found;
    return ERROR_SUCCESS;
}

HKEY new_key_handle(std::shared_ptr<reg_key> key, REGSAM sam)
{
    handle_entry entry{handle_kind::key, std::move(key), effective_access(sam), {}, 0, {}};
    return reinterpret_cast<HKEY>(add_handle(std::move(entry)));
}

// Splits a subkey path into names. Windows refuses a leading backslash and
// ignores trailing ones.
LONG split_key_path(const std::u16string& path, std::vector<std::u16string>* names)
{
    if (!path.empty() && path[0] == u'\\')
        return ERROR_BAD_PATHNAME;
    std::u16string name;
    for (char16_t c : path) {
        if (c != u'\\') {
            name.push_back(c);
            continue;
        }
        if (!name.empty())
            names->push_back(name);
        name.clear();
    }
    if (!name.empty())
        names->push_back(name);
    return ERROR_SUCCESS;
}

std::shared_ptr<reg_key> child(const reg_key& key, const std::u16string& name)
{
    auto found = key.subkeys.find(name);
    return found == key.subkeys.end() ? nullptr : found->second;
}

LONG open_path(std::shared_ptr<reg_key> base, const std::u16string& path, std::shared_ptr<reg_key>* result)
{
    std::vector<std::u16string> names;
    LONG error = split_key_path(path, &names);
    if (error != ERROR_SUCCESS)
        return error;
    for (const std::u16string& name : names) {
        base = child(*base, name);
        if (!base)
            return ERROR_FILE_NOT_FOUND;
    }
    *result = base;
    return ERROR_SUCCESS;
}

std::string key_path_text(const reg_key* key)
{
    std::u16string path;
    for (; key; key = key->parent)
        path = key->parent ? u"\\" + key->name + path : key->name + path;
    return sim::utf16_to_utf8(path);
}

std::string value_text(const reg_key& key, const std::u16string& name)
{
    return key_path_text(&key) + " [" + sim::utf16_to_utf8(name) + "]";
}

// Creates the missing keys along path; journal lines only for calls
// through the seam.
LONG create_path(std::shared_ptr<reg_key> base, const std::u16string& path, bool journal,
                 std::shared_ptr<reg_key>* result, bool* created)
{
    std::vector<std::u16string> names;
    LONG error = split_key_path(path, &names);
    if (error != ERROR_SUCCESS)
        return error;
    for (const std::u16string& name : names) {
        if (name.size() > REGISTRY_MAX_KEY_NAME)
            return ERROR_INVALID_PARAMETER;
    }
    *created = false;
    for (const std::u16string& name : names) {
        std::shared_ptr<reg_key> next = child(*base, name);
        if (!next) {
            next = std::make_shared<reg_key>();
            next->name = name;
            next->parent = base.get();
            base->subkeys.emplace(name, next);
            if (journal)
                record("create key " + key_path_text(next.get()));
            *created = true;
        } else {
            *created = false;
        }
        base = next;
    }
    *result = base;
    return ERROR_SUCCESS;
}

void mark_deleted(reg_key& key)
{
    key.deleted = true;
    key.parent = nullptr;
    for (auto& sub : key.subkeys)
        mark_deleted(*sub.second);
    key.subkeys.clear();
}

void delete_subtree(reg_key& key)
{
    reg_key* parent = key.parent;
    auto keep_alive = parent->subkeys.find(key.name)->second;
    parent->subkeys.erase(key.name);
    mark_deleted(*keep_alive);
}

reg_value* find_value(reg_key& key, const std::u16string& name)
{
    for (reg_value& value : key.values) {
        if (fold_equal(value.name, name))
            return &value;
    }
    return nullptr;
}

// A new value goes to the end of the enumeration order; an existing one
// keeps its place and its name's spelling.
void store_value(reg_key& key, const std::u16string& name, DWORD type, std::vector<BYTE> data)
{
    reg_value* existing = find_value(key, name);
    if (existing) {
        existing->type = type;
        existing->data = std::move(data);
        return;
    }
    key.values.push_back(reg_value{name, type, std::move(data)});
}

std::u16string units_of(const std::vector<BYTE>& data)
{
    std::u16string text(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        text[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return text;
}

std::vector<BYTE> bytes_of(const std::u16string& text)
{
    std::vector<BYTE> data;
    data.reserve(text.size() * 2);
    for (char16_t c : text) {
        data.push_back(static_cast<BYTE>(c & 0xFF));
        data.push_back(static_cast<BYTE>(c >> 8));
    }
    return data;
}

// What a narrow call returns for a value's data: string types converted
// unit by unit through code page 1252, anything else as stored.
std::vector<BYTE> narrow_data(const reg_value& value)
{
    if (!is_string_type(value.type))
        return value.data;
    std::string text = utf16_to_ansi(units_of(value.data));
    return std::vector<BYTE>(text.begin(), text.end());
}

FILETIME last_write_time()
{
    // 2004-01-01 plus the virtual clock, in 100 ns units.
    std::uint64_t ticks = 127175616000000000ull + static_cast<std::uint64_t>(state().now) * 10000u;
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

std::u16string wide_or_empty(const WCHAR* text)
{
    return text ? std::u16string(text) : std::u16string();
}
std::u16string narrow_or_empty(const char* text)
{
    return text ? ansi_to_utf16(text) : std::u16string();
}

// Copies data into a caller's buffer of capacity bytes. Like Windows, a
// string value stored without its terminator gets one when there is room
// for it past the data; nothing else past the data is touched.
void copy_data(const std::vector<BYTE>& data, DWORD type, std::size_t unit, BYTE* out, DWORD capacity)
{
    if (data.empty())
        return;
    std::memcpy(out, data.data(), data.size());
    if (!is_string_type(type) || data.size() % unit != 0 || data.size() + unit > capacity)
        return;
    bool terminated = true;
    for (std::size_t i = 0; i < unit; ++i)
        terminated = terminated && data[data.size() - unit + i] == 0;
    if (!terminated)
        std::memset(out + data.size(), 0, unit);
}

// ---------------------------------------------------------------------------
// The operations, on UTF-16 names. The narrow and wide entry points differ
// only in how names and string data cross the seam.

LONG open_key(HKEY key, const std::u16string* sub_key, REGSAM sam, HKEY* result)
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<reg_key> base;
    LONG error = resolve(key, 0, &base);
    if (error != ERROR_SUCCESS)
        return error;
    if ((!sub_key || sub_key->empty()) && is_predefined(key)) {
        *result = key;
        return ERROR_SUCCESS;
    }
    std::shared_ptr<reg_key> found;
    error = open_path(base, sub_key ? *sub_key : std::u16string(), &found);
    if (error != ERROR_SUCCESS) {
        *result = nullptr;
        return error;
    }
    *result = new_key_handle(found, sam);
    return ERROR_SUCCESS;
}

LONG create_key(HKEY key, const std::u16string& sub_key, REGSAM sam, HKEY* result, DWORD* disposition)
{
    if (!result)
        return ERROR_BADKEY;
    std::shared_ptr<reg_key> base;
    LONG error = resolve(key, 0, &base);
    if (error != ERROR_SUCCESS)
        return error;
    std::shared_ptr<reg_key> found;
    bool created = false;
    error = create_path(base, sub_key, true, &found, &created);
    if (error != ERROR_SUCCESS)
        return error;
    *result = new_key_handle(found, sam);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG find_value_for_query(HKEY key, const std::u16string& name, reg_value** value)
{
    std::shared_ptr<reg_key> found;
    LONG error = resolve(key, KEY_QUERY_VALUE, &found);
    if (error != ERROR_SUCCESS)
        return error;
    *value = find_value(*found, name);
    return *value ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

// Shared tail of RegQueryValueExA/W: data holds the value as this form of
// the call sees it.
LONG deliver_value(const std::vector<BYTE>& data, DWORD value_type, std::size_t unit, DWORD* type, BYTE* out,
                   DWORD* size)
{
    LONG result = ERROR_SUCCESS;
    if (out) {
        if (data.size() > *size)
            result = ERROR_MORE_DATA;
        else
            copy_data(data, value_type, unit, out, *size);
    }
    if (type)
        *type = value_type;
    if (size)
        *size = static_cast<DWORD>(data.size());
    return result;
}

LONG set_value(HKEY key, const std::u16string& name, DWORD reserved, DWORD type, std::vector<BYTE> data)
{
    if (reserved)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<reg_key> found;
    LONG error = resolve(key, KEY_SET_VALUE, &found);
    if (error != ERROR_SUCCESS)
        return error;
    if (name.size() > REGISTRY_MAX_VALUE_NAME)
        return ERROR_INVALID_PARAMETER;
    store_value(*found, name, type, std::move(data));
    record("set value " + value_text(*found, name));
    return ERROR_SUCCESS;
}

LONG subkey_at(HKEY key, DWORD index, std::shared_ptr<reg_key>* sub)
{
    std::shared_ptr<reg_key> found;
    LONG error = resolve(key, KEY_ENUMERATE_SUB_KEYS, &found);
    if (error != ERROR_SUCCESS)
        return error;
    if (index >= found->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    auto it = found->subkeys.begin();
    std::advance(it, index);
    *sub = it->second;
    return ERROR_SUCCESS;
}

std::string name_as(const std::u16string& name, char)
{
    return utf16_to_ansi(name);
}
std::u16string name_as(const std::u16string& name, char16_t)
{
    return name;
}

template <typename Char>
LONG enum_key(HKEY key, DWORD index, Char* name, DWORD* name_length, DWORD* reserved, Char* class_name,
              DWORD* class_length, FILETIME* last_write)
{
    if (!name || !name_length || reserved)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<reg_key> sub;
    LONG error = subkey_at(key, index, &sub);
    if (error != ERROR_SUCCESS)
        return error;
    std::basic_string<Char> text = name_as(sub->name, Char());
    // On overflow Windows leaves the name buffer and its length alone.
    bool class_too_small = class_name && class_length && *class_length == 0;
    if (text.size() >= *name_length || class_too_small)
        return ERROR_MORE_DATA;
    std::copy(text.begin(), text.end(), name);
    name[text.size()] = 0;
    *name_length = static_cast<DWORD>(text.size());
    if (class_name && class_length)
        class_name[0] = 0;
    if (class_length)
        *class_length = 0;
    if (last_write)
        *last_write = last_write_time();
    return ERROR_SUCCESS;
}

LONG value_at(HKEY key, DWORD index, reg_value** value)
{
    std::shared_ptr<reg_key> found;
    LONG error = resolve(key, KEY_QUERY_VALUE, &found);
    if (error != ERROR_SUCCESS)
        return error;
    if (index >= found->values.size())
        return ERROR_NO_MORE_ITEMS;
    *value = &found->values[index];
    return ERROR_SUCCESS;
}

LONG delete_key_tree(HKEY key, const std::u16string& sub_key)
{
    std::shared_ptr<reg_key> base;
    LONG error = resolve(key, 0, &base);
    if (error != ERROR_SUCCESS)
        return error;
    std::shared_ptr<reg_key> target;
    error = open_path(base, sub_key, &target);
    if (error != ERROR_SUCCESS)
        return error;
    if (!target->parent)
        return ERROR_ACCESS_DENIED; // a predefined root
    record("delete key " + key_path_text(target.get()));
    delete_subtree(*target);
    return ERROR_SUCCESS;
}

// Windows' SHDeleteKey deletes the subkeys below a key one by one, depth
// first, and the key itself last; when that last step is refused (a key
// whose security forbids its deletion, a failure of the system), the
// subkeys are gone and the key stays with its values. A scripted failure
// of the call fails it there.
void delete_subkeys_before_failing(HKEY key, const std::u16string& sub_key)
{
    std::shared_ptr<reg_key> base;
    std::shared_ptr<reg_key> target;
    if (resolve(key, 0, &base) != ERROR_SUCCESS || open_path(base, sub_key, &target) != ERROR_SUCCESS ||
        !target->parent)
        return;
    while (!target->subkeys.empty()) {
        reg_key& sub = *target->subkeys.begin()->second;
        record("delete key " + key_path_text(&sub));
        delete_subtree(sub);
    }
}

std::shared_ptr<reg_key> clone_key(const reg_key& key, reg_key* parent)
{
    auto copy = std::make_shared<reg_key>();
    copy->name = key.name;
    copy->parent = parent;
    copy->values = key.values;
    for (const auto& sub : key.subkeys)
        copy->subkeys.emplace(sub.first, clone_key(*sub.second, copy.get()));
    return copy;
}

} // namespace

void reset_registry()
{
    state().hklm = new_root(u"HKLM");
    state().hkcu = new_root(u"HKCU");
}

void write_registry_to_disc()
{
    machine& m = state();
    m.hklm_on_disc = clone_key(*m.hklm, nullptr);
    m.hkcu_on_disc = clone_key(*m.hkcu, nullptr);
}

void restore_registry_from_disc()
{
    machine& m = state();
    m.hklm = clone_key(*m.hklm_on_disc, nullptr);
    m.hkcu = clone_key(*m.hkcu_on_disc, nullptr);
}

} // namespace platform::sim::detail

// ---------------------------------------------------------------------------
// The seam.

namespace platform
{

using namespace sim::detail;

LONG RegOpenKeyA(HKEY key, const char* sub_key, HKEY* result)
{
    long code = 0;
    if (injected_failure("RegOpenKeyA", &code))
        return code;
    if (!result)
        return ERROR_INVALID_PARAMETER;
    // Documented: a null or empty subkey returns the very handle passed in.
    if (!sub_key || !*sub_key) {
        *result = key;
        return ERROR_SUCCESS;
    }
    std::u16string name = ansi_to_utf16(sub_key);
    return open_key(key, &name, KEY_ALL_ACCESS, result);
}

LONG RegOpenKeyExW(HKEY key, const WCHAR* sub_key, DWORD options, REGSAM sam, HKEY* result)
{
    (void)options;
    long code = 0;
    if (injected_failure("RegOpenKeyExW", &code))
        return code;
    std::u16string name = wide_or_empty(sub_key);
    return open_key(key, &name, sam, result);
}

LONG RegCreateKeyExA(HKEY key, const char* sub_key, DWORD reserved, char* class_name, DWORD options,
                     REGSAM sam, void* security, HKEY* result, DWORD* disposition)
{
    (void)reserved;
    (void)class_name;
    (void)options;
    (void)security;
    long code = 0;
    if (injected_failure("RegCreateKeyExA", &code))
        return code;
    return create_key(key, narrow_or_empty(sub_key), sam, result, disposition);
}

LONG RegCreateKeyExW(HKEY key, const WCHAR* sub_key, DWORD reserved, WCHAR* class_name, DWORD options,
                     REGSAM sam, void* security, HKEY* result, DWORD* disposition)
{
    (void)reserved;
    (void)class_name;
    (void)options;
    (void)security;
    long code = 0;
    if (injected_failure("RegCreateKeyExW", &code))
        return code;
    return create_key(key, wide_or_empty(sub_key), sam, result, disposition);
}

// The query of both forms: the narrow one converts string data to ANSI.
static LONG query_value(HKEY key, const std::u16string& name, DWORD* reserved, DWORD* type, BYTE* data,
                        DWORD* data_size, bool narrow)
{
    if ((data && !data_size) || reserved)
        return ERROR_INVALID_PARAMETER;
    reg_value* value = nullptr;
    LONG error = find_value_for_query(key, name, &value);
    if (error == ERROR_FILE_NOT_FOUND && !data && data_size)
        *data_size = 0;
    if (error != ERROR_SUCCESS)
        return error;
    if (narrow)
        return deliver_value(narrow_data(*value), value->type, 1, type, data, data_size);
    return deliver_value(value->data, value->type, 2, type, data, data_size);
}

LONG RegQueryValueExA(HKEY key, const char* value_name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* data_size)
{
    long code = 0;
    if (injected_failure("RegQueryValueExA", &code))
        return code;
    return query_value(key, narrow_or_empty(value_name), reserved, type, data, data_size, true);
}

LONG RegQueryValueExW(HKEY key, const WCHAR* value_name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* data_size)
{
    long code = 0;
    if (injected_failure("RegQueryValueExW", &code))
        return code;
    return query_value(key, wide_or_empty(value_name), reserved, type, data, data_size, false);
}

LONG RegSetValueExA(HKEY key, const char* value_name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD data_size)
{
    long code = 0;
    if (injected_failure("RegSetValueExA", &code))
        return code;
    if (!data && data_size)
        return ERROR_NOACCESS;
    std::vector<BYTE> stored(data, data + (data ? data_size : 0));
    if (is_string_type(type))
        stored = bytes_of(ansi_to_utf16(std::string(stored.begin(), stored.end())));
    return set_value(key, narrow_or_empty(value_name), reserved, type, std::move(stored));
}

LONG RegSetValueExW(HKEY key, const WCHAR* value_name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD data_size)
{
    long code = 0;
    if (injected_failure("RegSetValueExW", &code))
        return code;
    if (!data && data_size)
        return ERROR_NOACCESS;
    std::vector<BYTE> stored(data, data + (data ? data_size : 0));
    return set_value(key, wide_or_empty(value_name), reserved, type, std::move(stored));
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_length, DWORD* reserved, char* class_name,
                   DWORD* class_length, FILETIME* last_write_time)
{
    long code = 0;
    if (injected_failure("RegEnumKeyExA", &code))
        return code;
    return enum_key<char>(key, index, name, name_length, reserved, class_name, class_length, last_write_time);
}

LONG RegEnumKeyExW(HKEY key, DWORD index, WCHAR* name, DWORD* name_length, DWORD* reserved, WCHAR* class_name,
                   DWORD* class_length, FILETIME* last_write_time)
{
    long code = 0;
    if (injected_failure("RegEnumKeyExW", &code))
        return code;
    return enum_key<char16_t>(key, index, name, name_length, reserved, class_name, class_length,
                              last_write_time);
}

// The narrow form checks the data before the name: on a data overflow the
// name is left alone; on a name overflow the data has been copied and the
// name buffer gets as much of the name as fits.
LONG RegEnumValueA(HKEY key, DWORD index, char* value_name, DWORD* value_name_length, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* data_size)
{
    long code = 0;
    if (injected_failure("RegEnumValueA", &code))
        return code;
    if ((data && !data_size) || reserved || !value_name || !value_name_length)
        return ERROR_INVALID_PARAMETER;
    reg_value* value = nullptr;
    LONG error = value_at(key, index, &value);
    if (error != ERROR_SUCCESS)
        return error;
    std::vector<BYTE> bytes = narrow_data(*value);
    LONG result = ERROR_SUCCESS;
    if (data && bytes.size() > *data_size)
        result = ERROR_MORE_DATA;
    else if (data)
        copy_data(bytes, value->type, 1, data, *data_size);
    std::string name = utf16_to_ansi(value->name);
    if (result == ERROR_SUCCESS && name.size() >= *value_name_length) {
        result = ERROR_MORE_DATA;
        if (*value_name_length) {
            std::size_t fits = *value_name_length - 1;
            std::memcpy(value_name, name.data(), fits);
            value_name[fits] = '\0';
        }
    } else if (result == ERROR_SUCCESS) {
        std::memcpy(value_name, name.c_str(), name.size() + 1);
        *value_name_length = static_cast<DWORD>(name.size());
    }
    if (type)
        *type = value->type;
    if (data_size)
        *data_size = static_cast<DWORD>(bytes.size());
    return result;
}

// The wide form checks the name first and leaves its buffer alone on
// overflow; the name is copied before the data is checked.
LONG RegEnumValueW(HKEY key, DWORD index, WCHAR* value_name, DWORD* value_name_length, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* data_size)
{
    long code = 0;
    if (injected_failure("RegEnumValueW", &code))
        return code;
    if ((data && !data_size) || reserved || !value_name || !value_name_length)
        return ERROR_INVALID_PARAMETER;
    reg_value* value = nullptr;
    LONG error = value_at(key, index, &value);
    if (error != ERROR_SUCCESS)
        return error;
    LONG result = ERROR_SUCCESS;
    if (value->name.size() >= *value_name_length) {
        result = ERROR_MORE_DATA;
    } else {
        std::copy(value->name.begin(), value->name.end(), value_name);
        value_name[value->name.size()] = 0;
        *value_name_length = static_cast<DWORD>(value->name.size());
        if (data && value->data.size() > *data_size)
            result = ERROR_MORE_DATA;
        else if (data)
            copy_data(value->data, value->type, 2, data, *data_size);
    }
    if (type)
        *type = value->type;
    if (data_size)
        *data_size = static_cast<DWORD>(value->data.size());
    return result;
}

LONG RegQueryInfoKeyW(HKEY key, WCHAR* class_name, DWORD* class_length, DWORD* reserved, DWORD* sub_keys,
                      DWORD* max_sub_key_length, DWORD* max_class_length, DWORD* values,
                      DWORD* max_value_name_length, DWORD* max_value_length, DWORD* security_descriptor,
                      FILETIME* last_write)
{
    long code = 0;
    if (injected_failure("RegQueryInfoKeyW", &code))
        return code;
    if ((class_name && !class_length) || reserved)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<reg_key> found;
    LONG error = resolve(key, KEY_QUERY_VALUE, &found);
    if (error != ERROR_SUCCESS)
        return error;
    if (class_name && *class_length > 0)
        class_name[0] = 0;
    if (class_length)
        *class_length = 0;
    std::size_t longest_key = 0;
    for (const auto& sub : found->subkeys)
        longest_key = std::max(longest_key, sub.second->name.size());
    std::size_t longest_name = 0;
    std::size_t largest_data = 0;
    for (const reg_value& value : found->values) {
        longest_name = std::max(longest_name, value.name.size());
        largest_data = std::max(largest_data, value.data.size());
    }
    if (sub_keys)
        *sub_keys = static_cast<DWORD>(found->subkeys.size());
    if (max_sub_key_length)
        *max_sub_key_length = static_cast<DWORD>(longest_key);
    if (max_class_length)
        *max_class_length = 0;
    if (values)
        *values = static_cast<DWORD>(found->values.size());
    if (max_value_name_length)
        *max_value_name_length = static_cast<DWORD>(longest_name);
    if (max_value_length)
        *max_value_length = static_cast<DWORD>(largest_data);
    if (security_descriptor)
        *security_descriptor = SECURITY_DESCRIPTOR_SIZE;
    if (last_write)
        *last_write = last_write_time();
    return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY key, const char* value_name)
{
    long code = 0;
    if (injected_failure("RegDeleteValueA", &code))
        return code;
    std::shared_ptr<reg_key> found;
    LONG error = resolve(key, KEY_SET_VALUE, &found);
    if (error != ERROR_SUCCESS)
        return error;
    std::u16string name = narrow_or_empty(value_name);
    auto& list = found->values;
    auto it =
        std::find_if(list.begin(), list.end(), [&](const reg_value& v) { return fold_equal(v.name, name); });
    if (it == list.end())
        return ERROR_FILE_NOT_FOUND;
    record("delete value " + value_text(*found, it->name));
    list.erase(it);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    long code = 0;
    if (injected_failure("RegCloseKey", &code))
        return code;
    if (is_predefined(key))
        return ERROR_SUCCESS;
    return remove_handle(key, handle_kind::key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

DWORD SHDeleteKeyA(HKEY key, const char* sub_key)
{
    long code = 0;
    if (injected_failure("SHDeleteKeyA", &code)) {
        delete_subkeys_before_failing(key, narrow_or_empty(sub_key));
        return static_cast<DWORD>(code);
    }
    return static_cast<DWORD>(delete_key_tree(key, narrow_or_empty(sub_key)));
}

DWORD SHDeleteKeyW(HKEY key, const WCHAR* sub_key)
{
    long code = 0;
    if (injected_failure("SHDeleteKeyW", &code)) {
        delete_subkeys_before_failing(key, wide_or_empty(sub_key));
        return static_cast<DWORD>(code);
    }
    return static_cast<DWORD>(delete_key_tree(key, wide_or_empty(sub_key)));
}

// The whole registry is written to disc, whichever key is named.
LONG RegFlushKey(HKEY key)
{
    long code = 0;
    if (injected_failure("RegFlushKey", &code))
        return code;
    std::shared_ptr<reg_key> found;
    LONG error = resolve(key, 0, &found);
    if (error != ERROR_SUCCESS)
        return error;
    write_registry_to_disc();
    return ERROR_SUCCESS;
}

} // namespace platform

// ---------------------------------------------------------------------------
// The sim.h registry helpers. Setting up a machine is not part of the
// journal; only calls through the seam are.

namespace platform::sim
{

using namespace detail;

namespace
{

std::shared_ptr<reg_key> root_of(HKEY root)
{
    std::shared_ptr<reg_key> key = predefined_key(root);
    if (!key)
        throw std::invalid_argument("sim registry: root must be HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER");
    return key;
}

std::shared_ptr<reg_key> existing_key(HKEY root, const std::string& path)
{
    std::shared_ptr<reg_key> key;
    if (open_path(root_of(root), utf8_to_utf16(path), &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

std::shared_ptr<reg_key> created_key(HKEY root, const std::string& path)
{
    std::shared_ptr<reg_key> key;
    bool created = false;
    if (create_path(root_of(root), utf8_to_utf16(path), false, &key, &created) != ERROR_SUCCESS)
        throw std::invalid_argument("sim registry: bad key path " + path);
    return key;
}

registry_value helper_value(const reg_value& value)
{
    return registry_value{utf16_to_utf8(value.name), value.type, value.data};
}

const char hex_digits[] = "0123456789abcdef";

void dump_key(const reg_key& key, const std::string& relative, std::string& out)
{
    out += "[" + relative + "]\n";
    for (const reg_value& value : key.values) {
        out += "  \"" + utf16_to_utf8(value.name) + "\" type=" + std::to_string(value.type) + " data=";
        for (BYTE b : value.data) {
            out.push_back(hex_digits[b >> 4]);
            out.push_back(hex_digits[b & 0xF]);
        }
        out += "\n";
    }
    for (const auto& sub : key.subkeys) {
        std::string name = utf16_to_utf8(sub.second->name);
        dump_key(*sub.second, relative.empty() ? name : relative + "\\" + name, out);
    }
}

} // namespace

void create_key(HKEY root, const std::string& path)
{
    created_key(root, path);
}

bool key_exists(HKEY root, const std::string& path)
{
    return existing_key(root, path) != nullptr;
}

void delete_key(HKEY root, const std::string& path)
{
    std::shared_ptr<reg_key> key = existing_key(root, path);
    if (key && key->parent)
        delete_subtree(*key);
}

void set_value(HKEY root, const std::string& path, const std::string& name, DWORD type,
               const std::vector<BYTE>& data)
{
    store_value(*created_key(root, path), utf8_to_utf16(name), type, data);
}

void set_string(HKEY root, const std::string& path, const std::string& name, const std::string& text,
                DWORD type)
{
    std::u16string units = utf8_to_utf16(text);
    units.push_back(u'\0');
    set_value(root, path, name, type, bytes_of(units));
}

void set_dword(HKEY root, const std::string& path, const std::string& name, DWORD value)
{
    std::vector<BYTE> data = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                              static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
    set_value(root, path, name, REG_DWORD, data);
}

std::optional<registry_value> get_value(HKEY root, const std::string& path, const std::string& name)
{
    std::shared_ptr<reg_key> key = existing_key(root, path);
    if (!key)
        return std::nullopt;
    reg_value* value = find_value(*key, utf8_to_utf16(name));
    if (!value)
        return std::nullopt;
    return helper_value(*value);
}

std::optional<std::string> get_string(HKEY root, const std::string& path, const std::string& name)
{
    std::optional<registry_value> value = get_value(root, path, name);
    if (!value || !is_string_type(value->type))
        return std::nullopt;
    std::u16string units = units_of(value->data);
    return utf16_to_utf8(units.substr(0, units.find(u'\0')));
}

std::vector<registry_value> values(HKEY root, const std::string& path)
{
    std::vector<registry_value> out;
    std::shared_ptr<reg_key> key = existing_key(root, path);
    if (!key)
        return out;
    for (const reg_value& value : key->values)
        out.push_back(helper_value(value));
    return out;
}

std::vector<std::string> subkeys(HKEY root, const std::string& path)
{
    std::vector<std::string> out;
    std::shared_ptr<reg_key> key = existing_key(root, path);
    if (!key)
        return out;
    for (const auto& sub : key->subkeys)
        out.push_back(utf16_to_utf8(sub.second->name));
    return out;
}

void write_registry_to_disc()
{
    detail::write_registry_to_disc();
}

void power_cut()
{
    machine& m = state();
    end_all_programs();
    m.events.clear();
    m.mutexes.clear();
    m.own_mutex_handles.clear();
    m.handles.clear();
    restore_registry_from_disc();
}

std::string dump_tree(HKEY root, const std::string& path)
{
    std::shared_ptr<reg_key> key = existing_key(root, path);
    if (!key)
        return "<missing>\n";
    std::string out;
    dump_key(*key, "", out);
    return out;
}

} // namespace platform::sim
