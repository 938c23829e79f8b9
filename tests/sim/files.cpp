// The simulated file system: drives with case-insensitive folder trees,
// shell file operations, the C runtime's read streams, shortcut files,
// version resources and the shell's special folders.
#include "sim/machine.h"
#include "sim/sim.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace platform::sim::detail
{

namespace
{

constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr LONG ERROR_DEST_IS_SUBTREE = 0x76; // the shell's DE_DESTSUBTREE
constexpr std::size_t MAX_DIRECTORY_PATH = 248;

std::unique_ptr<file_node> new_node(const std::string& name, bool directory)
{
    auto node = std::make_unique<file_node>();
    node->name = name;
    node->directory = directory;
    return node;
}

bool has_invalid_character(const std::string& name, bool wildcards)
{
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        bool wildcard = c == '*' || c == '?';
        if (u < 0x20 || std::strchr("<>:\"|", c) || (wildcard && !wildcards))
            return true;
    }
    return false;
}

bool has_wildcard(const std::string& name)
{
    return name.find_first_of("*?") != std::string::npos;
}

// Windows drops trailing dots and spaces from every name of a path.
std::string trimmed_name(const std::string& name)
{
    std::size_t end = name.find_last_not_of(". ");
    return end == std::string::npos ? std::string() : name.substr(0, end + 1);
}

void append_names(const std::string& text, std::vector<std::string>* names)
{
    std::string name;
    auto flush = [&]() {
        if (name == "..") {
            if (!names->empty())
                names->pop_back();
        } else if (!name.empty() && name != ".") {
            names->push_back(trimmed_name(name));
        }
        name.clear();
    };
    for (char c : text) {
        if (c == '\\')
            flush();
        else
            name.push_back(c);
    }
    flush();
}

drive_state* find_drive(char letter)
{
    auto found = state().drives.find(letter);
    return found == state().drives.end() ? nullptr : &found->second;
}

bool is_cdrom(char letter)
{
    drive_state* d = find_drive(letter);
    return d && d->info.type == DRIVE_CDROM;
}

// The attributes of a path that was parsed with the result error.
DWORD attributes_of(const split_path& parsed, LONG error)
{
    file_node* node = error ? nullptr : find_node(parsed, &error);
    if (!node) {
        set_last_error(static_cast<DWORD>(error));
        return INVALID_FILE_ATTRIBUTES;
    }
    const bool cd = is_cdrom(parsed.drive);
    if (node->directory)
        return FILE_ATTRIBUTE_DIRECTORY | (cd ? FILE_ATTRIBUTE_READONLY : 0);
    return cd ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE;
}

file_node* child(file_node* node, const std::string& name)
{
    auto found = node->children.find(name);
    return found == node->children.end() ? nullptr : found->second.get();
}

// The folder that holds the last name of path; nullptr with the error when
// it does not exist.
file_node* find_parent(const split_path& path, LONG* error)
{
    split_path parent = path;
    parent.names.pop_back();
    file_node* node = find_node(parent, error);
    if (!node) {
        if (*error == ERROR_FILE_NOT_FOUND)
            *error = ERROR_PATH_NOT_FOUND;
        return nullptr;
    }
    if (!node->directory) {
        *error = ERROR_PATH_NOT_FOUND;
        return nullptr;
    }
    return node;
}

bool locked_below(const file_node* node)
{
    for (const auto& c : node->children) {
        if (c.second->locked || locked_below(c.second.get()))
            return true;
    }
    return false;
}

bool is_inside(const file_node* node, const file_node* folder)
{
    for (; node; node = node->parent) {
        if (node == folder)
            return true;
    }
    return false;
}

std::string journal_path(const std::string& ansi)
{
    return ansi_to_utf8(ansi);
}

void copy_content(const file_node& from, file_node* to)
{
    to->bytes = from.bytes;
    to->link = from.link;
    to->version = from.version;
}

file_node* make_file(file_node* parent, const std::string& name)
{
    file_node* existing = child(parent, name);
    if (existing)
        return existing;
    auto node = new_node(name, false);
    node->parent = parent;
    file_node* raw = node.get();
    parent->children.emplace(name, std::move(node));
    return raw;
}

// Glob matching without regard to case, for the shell's "folder\*" lists.
bool matches(const std::u16string& pattern, const std::u16string& name)
{
    std::size_t p = 0, n = 0, star = std::u16string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = n;
        } else if (star != std::u16string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

LONG check_removable(const split_path& path, file_node* node)
{
    if (!node->parent)
        return ERROR_ACCESS_DENIED; // a drive's root
    if (is_cdrom(path.drive))
        return ERROR_WRITE_PROTECT;
    if (node_in_use(node))
        return ERROR_SHARING_VIOLATION;
    return 0;
}

void remove_node(file_node* node)
{
    node->parent->children.erase(node->name);
}

LONG delete_one(const std::string& path)
{
    split_path parsed;
    LONG error = parse_path(path, &parsed);
    if (error)
        return error;
    file_node* node = find_node(parsed, &error);
    if (!node)
        return error;
    error = check_removable(parsed, node);
    if (error)
        return error;
    record("delete " + journal_path(path));
    remove_node(node);
    return 0;
}

LONG delete_matching(const std::string& path)
{
    split_path parsed;
    LONG error = parse_path(path, &parsed, true);
    if (error)
        return error;
    file_node* folder = find_parent(parsed, &error);
    if (!folder)
        return error;
    std::u16string pattern = fold_name(parsed.names.back());
    std::vector<file_node*> doomed;
    for (const auto& c : folder->children) {
        if (matches(pattern, fold_name(c.second->name)))
            doomed.push_back(c.second.get());
    }
    std::string prefix = path.substr(0, path.find_last_of("\\/") + 1);
    for (file_node* node : doomed) {
        error = check_removable(parsed, node);
        if (error)
            return error;
        record("delete " + journal_path(prefix) + node->name);
        remove_node(node);
    }
    return 0;
}

// Moves node (found at source) to target, as a rename or a file move does:
// within its drive, never into itself, over an existing file only with
// replace (never over or as a folder). journal_line is recorded once the
// move is certain (an empty one is not: the log's own moves are not in the
// journal).
LONG move_node(const split_path& source, file_node* node, const split_path& target, bool replace,
               const std::string& journal_line)
{
    if (target.names.empty())
        return ERROR_ACCESS_DENIED;
    if (source.drive != target.drive)
        return ERROR_NOT_SAME_DEVICE;
    LONG error = check_removable(source, node);
    if (error)
        return error;
    file_node* folder = find_parent(target, &error);
    if (!folder)
        return error;
    if (is_inside(folder, node))
        return ERROR_DEST_IS_SUBTREE;
    file_node* existing = child(folder, target.names.back());
    if (existing && existing != node) {
        if (!replace)
            return ERROR_ALREADY_EXISTS;
        if (existing->directory || node->directory)
            return ERROR_ACCESS_DENIED;
        if (node_in_use(existing))
            return ERROR_SHARING_VIOLATION;
        remove_node(existing);
    }
    if (!journal_line.empty())
        record(journal_line);
    std::unique_ptr<file_node> moved = std::move(node->parent->children.find(node->name)->second);
    node->parent->children.erase(node->name);
    moved->name = target.names.back();
    moved->parent = folder;
    folder->children.emplace(moved->name, std::move(moved));
    return 0;
}

LONG rename_path(const std::string& from, const std::string& to)
{
    split_path source;
    split_path target;
    LONG error = parse_path(from, &source);
    if (!error)
        error = parse_path(to, &target);
    if (error)
        return error;
    file_node* node = find_node(source, &error);
    if (!node)
        return error;
    return move_node(source, node, target, false, "rename " + journal_path(from) + " -> " + journal_path(to));
}

// The names of a shell list: each ended by a NUL, the list by an empty name.
std::vector<std::string> shell_list(const char* list)
{
    std::vector<std::string> names;
    while (list && *list) {
        names.emplace_back(list);
        list += names.back().size() + 1;
    }
    return names;
}

// Copies text into a buffer of capacity characters, cut to fit.
void copy_cut(const std::string& text, char* out, int capacity)
{
    std::size_t fits = std::min(text.size(), static_cast<std::size_t>(capacity - 1));
    std::memcpy(out, text.data(), fits);
    out[fits] = '\0';
}

// A version block laid out like a VS_VERSIONINFO resource: header, key,
// padding to a 32-bit boundary, then the fixed file information.
constexpr std::size_t VERSION_KEY_OFFSET = 6;
constexpr std::size_t FIXED_INFO_OFFSET = 40;
constexpr std::size_t VERSION_BLOCK_SIZE = FIXED_INFO_OFFSET + sizeof(VS_FIXEDFILEINFO);
constexpr DWORD FIXED_INFO_SIGNATURE = 0xFEEF04BD;
const char16_t version_key[] = u"VS_VERSION_INFO";

void build_version_block(const std::array<WORD, 4>& v, const std::string& name, BYTE* out)
{
    std::memset(out, 0, VERSION_BLOCK_SIZE);
    WORD header[3] = {static_cast<WORD>(VERSION_BLOCK_SIZE), static_cast<WORD>(sizeof(VS_FIXEDFILEINFO)), 0};
    std::memcpy(out, header, sizeof(header));
    std::memcpy(out + VERSION_KEY_OFFSET, version_key, sizeof(version_key));
    std::u16string folded = fold_name(name);
    bool is_dll = folded.size() > 4 && folded.compare(folded.size() - 4, 4, u".DLL") == 0;
    VS_FIXEDFILEINFO info{};
    info.dwSignature = FIXED_INFO_SIGNATURE;
    info.dwStrucVersion = 0x00010000;
    info.dwFileVersionMS = static_cast<DWORD>(v[0]) << 16 | v[1];
    info.dwFileVersionLS = static_cast<DWORD>(v[2]) << 16 | v[3];
    info.dwProductVersionMS = info.dwFileVersionMS;
    info.dwProductVersionLS = info.dwFileVersionLS;
    info.dwFileFlagsMask = 0x3F;
    info.dwFileOS = 0x00040004; // VOS_NT_WINDOWS32
    info.dwFileType = is_dll ? 2 : 1;
    std::memcpy(out + FIXED_INFO_OFFSET, &info, sizeof(info));
}

// The file with version information at path, or the Win32 error.
LONG versioned_file(const char* path, file_node** node)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    split_path parsed;
    LONG error = parse_path(path, &parsed);
    if (error)
        return error;
    *node = find_node(parsed, &error);
    if (!*node)
        return error;
    if ((*node)->directory)
        return ERROR_ACCESS_DENIED;
    return (*node)->version ? 0 : ERROR_RESOURCE_TYPE_NOT_FOUND;
}

std::vector<BYTE> shortcut_bytes(const shortcut& s)
{
    std::string text = std::string("L\0\0\0", 4) + "target=" + s.target + "\narguments=" + s.arguments +
                       "\ndescription=" + s.description + "\nworking_directory=" + s.working_directory +
                       "\nicon_location=" + s.icon_location + "\nhotkey=" + std::to_string(s.hotkey) +
                       "\nshow_command=" + std::to_string(s.show_command) +
                       "\nrelative_path=" + s.relative_path + "\n";
    return std::vector<BYTE>(text.begin(), text.end());
}

// The file system part of a shortcut load or save, as an HRESULT.
HRESULT shortcut_node(const WCHAR* wide_path, bool create, file_node** node, std::string* utf8_path)
{
    if (!wide_path)
        return E_INVALIDARG;
    *utf8_path = sim::utf16_to_utf8(wide_path);
    split_path parsed;
    LONG error = parse_utf8_path(*utf8_path, &parsed);
    if (error)
        return HRESULT_FROM_WIN32(error);
    *node = find_node(parsed, &error);
    if (!create)
        return *node ? S_OK : HRESULT_FROM_WIN32(error);
    if (parsed.names.empty() || (*node && (*node)->directory))
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    if (*node && node_in_use(*node))
        return HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
    file_node* folder = find_parent(parsed, &error);
    if (!folder)
        return HRESULT_FROM_WIN32(error);
    if (is_cdrom(parsed.drive))
        return HRESULT_FROM_WIN32(ERROR_WRITE_PROTECT);
    *node = make_file(folder, parsed.names.back());
    return S_OK;
}

std::optional<std::string> special_folder(int folder)
{
    const auto& folders = state().special_folders;
    auto found = folders.find(folder & 0xFF);
    return found == folders.end() ? std::nullopt : found->second;
}

bool known_special_folder(int folder)
{
    return state().special_folders.count(folder & 0xFF) != 0;
}

DWORD copy_with_size_convention(const std::string& text, DWORD size, char* buffer)
{
    if (!buffer || size < text.size() + 1)
        return static_cast<DWORD>(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

} // namespace

LONG parse_path(const std::string& path, split_path* out, bool wildcards, bool any_length)
{
    if (path.size() >= MAX_PATH && !any_length)
        return ERROR_FILENAME_EXCED_RANGE;
    return parse_utf8_path(ansi_to_utf8(path), out, wildcards, any_length);
}

LONG parse_utf8_path(const std::string& path, split_path* out, bool wildcards, bool any_length)
{
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    if (sim::utf8_to_utf16(path).size() >= MAX_PATH && !any_length)
        return ERROR_FILENAME_EXCED_RANGE;
    std::string text = path;
    std::replace(text.begin(), text.end(), '/', '\\');
    if (text.compare(0, 2, "\\\\") == 0)
        return ERROR_BAD_PATHNAME; // network paths are not simulated
    split_path result;
    bool has_drive = text.size() >= 2 && std::isalpha(static_cast<unsigned char>(text[0])) && text[1] == ':';
    const std::string& cwd = state().current_directory;
    if (has_drive) {
        result.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        text = text.substr(2);
    } else if (!cwd.empty()) {
        result.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(cwd[0])));
    }
    bool relative = text.empty() || text[0] != '\\';
    bool same_drive_as_cwd = !cwd.empty() && std::toupper(static_cast<unsigned char>(cwd[0])) == result.drive;
    if (relative && same_drive_as_cwd && cwd.size() > 2)
        append_names(cwd.substr(2), &result.names);
    append_names(text, &result.names);
    for (std::size_t i = 0; i < result.names.size(); ++i) {
        bool last = i + 1 == result.names.size();
        if (has_invalid_character(result.names[i], wildcards && last))
            return ERROR_INVALID_NAME;
    }
    if (!result.drive)
        return ERROR_PATH_NOT_FOUND;
    *out = result;
    return 0;
}

std::string join_path(const split_path& path)
{
    std::string text(1, path.drive);
    text += ":";
    for (const std::string& name : path.names)
        text += "\\" + name;
    if (path.names.empty())
        text += "\\";
    return text;
}

file_node* find_node(const split_path& path, LONG* error)
{
    drive_state* d = find_drive(path.drive);
    if (!d) {
        *error = ERROR_PATH_NOT_FOUND;
        return nullptr;
    }
    if (!d->info.has_media) {
        *error = ERROR_NOT_READY;
        return nullptr;
    }
    file_node* node = d->root.get();
    for (std::size_t i = 0; i < path.names.size(); ++i) {
        bool last = i + 1 == path.names.size();
        file_node* next = node->directory ? child(node, path.names[i]) : nullptr;
        if (!next) {
            *error = last && node->directory ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
            return nullptr;
        }
        node = next;
    }
    return node;
}

// In use: locked itself, inside a locked folder, or holding a locked file.
bool node_in_use(const file_node* node)
{
    for (const file_node* n = node; n; n = n->parent) {
        if (n->locked)
            return true;
    }
    return locked_below(node);
}

void reset_files()
{
    drive c{"C:\\", DRIVE_FIXED, "", "NTFS", true};
    drive_state d{c, new_node("", true)};
    state().drives.emplace('C', std::move(d));
}

} // namespace platform::sim::detail

// ---------------------------------------------------------------------------
// The seam.

namespace platform
{

using namespace sim::detail;

DWORD GetLogicalDriveStringsA(DWORD length, char* buffer)
{
    long code = 0;
    if (injected_failure("GetLogicalDriveStringsA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    std::string roots;
    for (const auto& d : state().drives)
        roots += std::string(1, d.first) + ":\\" + std::string(1, '\0');
    if (!buffer || length < roots.size() + 1)
        return static_cast<DWORD>(roots.size() + 1);
    std::memcpy(buffer, roots.data(), roots.size());
    buffer[roots.size()] = '\0';
    return static_cast<DWORD>(roots.size());
}

namespace
{

// The drive letter of a root such as "D:\" or "D:"; 0 for anything else.
char root_letter(const char* root, bool backslash_required)
{
    if (!root) {
        const std::string& cwd = state().current_directory;
        return cwd.empty() ? 0 : static_cast<char>(std::toupper(static_cast<unsigned char>(cwd[0])));
    }
    std::size_t n = std::strlen(root);
    bool shape = (n == 2 || n == 3) && std::isalpha(static_cast<unsigned char>(root[0])) && root[1] == ':';
    bool slash = n == 3 && (root[2] == '\\' || root[2] == '/');
    if (!shape || (n == 3 && !slash) || (backslash_required && !slash))
        return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
}

bool fill_text(const std::string& text, char* out, DWORD size)
{
    if (!out)
        return true;
    if (text.size() + 1 > size)
        return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

} // namespace

UINT GetDriveTypeA(const char* root)
{
    long code = 0;
    if (injected_failure("GetDriveTypeA", &code))
        return DRIVE_UNKNOWN;
    drive_state* d = find_drive(root_letter(root, false));
    return d ? d->info.type : DRIVE_NO_ROOT_DIR;
}

BOOL GetVolumeInformationA(const char* root, char* volume_name, DWORD volume_name_size, DWORD* serial_number,
                           DWORD* max_component_length, DWORD* file_system_flags, char* file_system_name,
                           DWORD file_system_name_size)
{
    long code = 0;
    if (injected_failure("GetVolumeInformationA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    char letter = root_letter(root, true);
    if (!letter) {
        set_last_error(ERROR_INVALID_NAME);
        return 0;
    }
    drive_state* d = find_drive(letter);
    LONG error = !d ? ERROR_PATH_NOT_FOUND : !d->info.has_media ? ERROR_NOT_READY : 0;
    if (!error && (!fill_text(d->info.label, volume_name, volume_name_size) ||
                   !fill_text(d->info.file_system, file_system_name, file_system_name_size)))
        error = ERROR_BAD_LENGTH;
    if (error) {
        set_last_error(static_cast<DWORD>(error));
        return 0;
    }
    bool cd = d->info.type == DRIVE_CDROM;
    if (serial_number)
        *serial_number = 0x4B530000u | static_cast<unsigned char>(letter);
    if (max_component_length)
        *max_component_length = cd ? 110 : 255;
    if (file_system_flags)
        *file_system_flags = cd ? 0x00080005u : 0x000700FFu;
    return 1;
}

DWORD GetFileAttributesA(const char* path)
{
    long code = 0;
    if (injected_failure("GetFileAttributesA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (!path) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    split_path parsed;
    const LONG error = parse_path(path, &parsed);
    return attributes_of(parsed, error);
}

namespace
{

// The paths are ANSI (CopyFileA) or, with utf8, UTF-8 (CopyFileW).
LONG copy_file(const char* existing, const char* destination, BOOL fail_if_exists, bool utf8 = false)
{
    if (!existing || !destination)
        return ERROR_INVALID_PARAMETER;
    auto parse = [utf8](const char* path, split_path* out) {
        return utf8 ? parse_utf8_path(path, out) : parse_path(path, out);
    };
    split_path from;
    split_path to;
    LONG error = parse(existing, &from);
    file_node* source = error ? nullptr : find_node(from, &error);
    if (!source)
        return error;
    if (source->directory)
        return ERROR_ACCESS_DENIED;
    error = parse(destination, &to);
    if (error)
        return error;
    if (to.names.empty())
        return ERROR_ACCESS_DENIED;
    file_node* folder = find_parent(to, &error);
    if (!folder)
        return error;
    file_node* target = child(folder, to.names.back());
    if (target && target->directory)
        return ERROR_ACCESS_DENIED;
    if (target && fail_if_exists)
        return ERROR_FILE_EXISTS;
    if (is_cdrom(to.drive))
        return ERROR_WRITE_PROTECT;
    if (target && (target == source || node_in_use(target)))
        return ERROR_SHARING_VIOLATION;
    record("copy " + (utf8 ? std::string(existing) : journal_path(existing)) + " -> " +
           (utf8 ? std::string(destination) : journal_path(destination)));
    copy_content(*source, make_file(folder, to.names.back()));
    return 0;
}

LONG create_directory(const char* path)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (std::strlen(path) >= MAX_DIRECTORY_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    split_path parsed;
    LONG error = parse_path(path, &parsed);
    if (error)
        return error;
    if (parsed.names.empty())
        return ERROR_ACCESS_DENIED;
    file_node* folder = find_parent(parsed, &error);
    if (!folder)
        return error;
    if (child(folder, parsed.names.back()))
        return ERROR_ALREADY_EXISTS;
    if (is_cdrom(parsed.drive))
        return ERROR_WRITE_PROTECT;
    record("create directory " + journal_path(path));
    auto node = new_node(parsed.names.back(), true);
    node->parent = folder;
    folder->children.emplace(node->name, std::move(node));
    return 0;
}

BOOL bool_result(LONG error)
{
    if (!error)
        return 1;
    set_last_error(static_cast<DWORD>(error));
    return 0;
}

} // namespace

BOOL CopyFileA(const char* existing, const char* destination, BOOL fail_if_exists)
{
    long code = 0;
    if (injected_failure("CopyFileA", &code))
        return bool_result(code);
    return bool_result(copy_file(existing, destination, fail_if_exists));
}

BOOL CopyFileW(const WCHAR* existing, const WCHAR* destination, BOOL fail_if_exists)
{
    long code = 0;
    if (injected_failure("CopyFileW", &code))
        return bool_result(code);
    if (!existing || !destination)
        return bool_result(ERROR_INVALID_PARAMETER);
    return bool_result(copy_file(sim::utf16_to_utf8(existing).c_str(),
                                 sim::utf16_to_utf8(destination).c_str(), fail_if_exists, true));
}

BOOL CreateDirectoryA(const char* path, void* security)
{
    (void)security;
    long code = 0;
    if (injected_failure("CreateDirectoryA", &code))
        return bool_result(code);
    return bool_result(create_directory(path));
}

DWORD GetCurrentDirectoryA(DWORD size, char* buffer)
{
    long code = 0;
    if (injected_failure("GetCurrentDirectoryA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    return copy_with_size_convention(utf8_to_ansi(state().current_directory), size, buffer);
}

BOOL SetCurrentDirectoryA(const char* path)
{
    long code = 0;
    if (injected_failure("SetCurrentDirectoryA", &code))
        return bool_result(code);
    if (!path)
        return bool_result(ERROR_INVALID_PARAMETER);
    split_path parsed;
    LONG error = parse_path(path, &parsed);
    file_node* node = error ? nullptr : find_node(parsed, &error);
    if (!node)
        return bool_result(error);
    if (!node->directory)
        return bool_result(ERROR_DIRECTORY);
    state().current_directory = join_path(parsed);
    return 1;
}

DWORD GetTempPathA(DWORD size, char* buffer)
{
    long code = 0;
    if (injected_failure("GetTempPathA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    return copy_with_size_convention(state().temp_path, size, buffer);
}

// FO_DELETE deletes each name of pFrom with everything below it ("*" and
// "?" may stand in the last name); FO_RENAME renames one name to another
// in the same drive. The result is 0 or a Win32 error code; the first
// failure ends the operation. An aborted call (abort_file_operation) does
// nothing, returns 0 and sets fAnyOperationsAborted, as the shell does.
int SHFileOperationA(SHFILEOPSTRUCTA* operation)
{
    long code = 0;
    if (injected_failure("SHFileOperationA", &code))
        return static_cast<int>(code);
    if (!operation || !operation->pFrom)
        return ERROR_INVALID_PARAMETER;
    machine& m = state();
    m.file_operation_flags.push_back(operation->fFlags);
    operation->fAnyOperationsAborted = 0;
    if (m.aborted_file_operations.count(static_cast<int>(m.file_operation_flags.size()))) {
        operation->fAnyOperationsAborted = 1;
        return 0;
    }
    std::vector<std::string> from = shell_list(operation->pFrom);
    if (from.empty())
        return ERROR_INVALID_PARAMETER;
    if (operation->wFunc == FO_DELETE) {
        for (const std::string& path : from) {
            LONG error = has_wildcard(path) ? delete_matching(path) : delete_one(path);
            if (error)
                return error;
        }
        return 0;
    }
    if (operation->wFunc == FO_RENAME) {
        std::vector<std::string> to = shell_list(operation->pTo);
        if (from.size() != 1 || to.size() != 1)
            return ERROR_INVALID_PARAMETER;
        return rename_path(from[0], to[0]);
    }
    return ERROR_INVALID_PARAMETER;
}

// ---------------------------------------------------------------------------
// The C runtime's read streams. Text mode turns CR LF into LF and ends the
// data at a Ctrl-Z, as the Microsoft runtime does.

namespace
{

constexpr int CRT_SEEK_CUR = 1;

open_file* stream(CRT_FILE* file)
{
    handle_entry* entry = find_handle(file, handle_kind::file);
    return entry ? &entry->file : nullptr;
}

std::size_t read_text(open_file& f, BYTE* out, std::size_t wanted)
{
    std::size_t produced = 0;
    std::size_t end = f.bytes.size();
    while (produced < wanted && static_cast<std::size_t>(f.position) < end) {
        BYTE c = f.bytes[static_cast<std::size_t>(f.position)];
        if (c == 0x1A)
            break;
        bool crlf = c == '\r' && static_cast<std::size_t>(f.position) + 1 < end &&
                    f.bytes[static_cast<std::size_t>(f.position) + 1] == '\n';
        f.position += crlf ? 2 : 1;
        out[produced++] = crlf ? '\n' : c;
    }
    return produced;
}

} // namespace

CRT_FILE* crt_fopen(const char* path, const char* mode)
{
    long code = 0;
    if (injected_failure("crt_fopen", &code) || !path || !mode)
        return nullptr;
    std::string m = mode;
    if (m != "r" && m != "rb" && m != "rt")
        return nullptr; // the simulation has read streams only
    split_path parsed;
    LONG error = parse_path(path, &parsed);
    file_node* node = error ? nullptr : find_node(parsed, &error);
    if (!node || node->directory)
        return nullptr;
    handle_entry entry{handle_kind::file, nullptr, 0, {}, 0, open_file{node->bytes, 0, m != "rb"}};
    return reinterpret_cast<CRT_FILE*>(add_handle(std::move(entry)));
}

int crt_fseek(CRT_FILE* file, long offset, int origin)
{
    long code = 0;
    if (injected_failure("crt_fseek", &code))
        return -1;
    open_file* f = stream(file);
    if (!f)
        return -1;
    long base = origin == CRT_SEEK_SET   ? 0
                : origin == CRT_SEEK_CUR ? f->position
                : origin == CRT_SEEK_END ? static_cast<long>(f->bytes.size())
                                         : -1;
    if (base < 0 || (offset < 0 && -offset > base))
        return -1;
    f->position = base + offset;
    return 0;
}

long crt_ftell(CRT_FILE* file)
{
    long code = 0;
    if (injected_failure("crt_ftell", &code))
        return -1;
    open_file* f = stream(file);
    return f ? f->position : -1;
}

std::size_t crt_fread(void* buffer, std::size_t size, std::size_t count, CRT_FILE* file)
{
    long code = 0;
    if (injected_failure("crt_fread", &code))
        return 0;
    open_file* f = stream(file);
    if (!f || !buffer || size == 0 || count == 0 || count > SIZE_MAX / size)
        return 0;
    std::size_t wanted = size * count;
    BYTE* out = static_cast<BYTE*>(buffer);
    if (f->text_mode)
        return read_text(*f, out, wanted) / size;
    std::size_t position = static_cast<std::size_t>(f->position);
    std::size_t available = position < f->bytes.size() ? f->bytes.size() - position : 0;
    std::size_t n = std::min(available, wanted);
    if (n)
        std::memcpy(out, f->bytes.data() + position, n);
    f->position += static_cast<long>(n);
    return n / size;
}

int crt_fclose(CRT_FILE* file)
{
    long code = 0;
    bool failed = injected_failure("crt_fclose", &code);
    // Like fclose, the stream is gone even when closing reports a failure.
    bool closed = remove_handle(file, handle_kind::file);
    return closed && !failed ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Shortcut files.

HRESULT shell_link_load(HWND owner, const WCHAR* shortcut_path, char* target, int target_capacity,
                        char* arguments, int arguments_capacity, char* description, int description_capacity)
{
    (void)owner;
    long code = 0;
    if (injected_failure("shell_link_load", &code))
        return static_cast<HRESULT>(code);
    if (state().com_depth == 0)
        return CO_E_NOTINITIALIZED;
    file_node* node = nullptr;
    std::string path;
    HRESULT hr = shortcut_node(shortcut_path, false, &node, &path);
    if (FAILED(hr))
        return hr;
    if (node->directory)
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    if (!node->link)
        return E_FAIL; // not a shortcut file
    // GetPath, GetDescription, GetArguments, in that order.
    const sim::shortcut& link = *node->link;
    if (!target || target_capacity <= 0)
        return E_INVALIDARG;
    copy_cut(utf8_to_ansi(link.target), target, target_capacity);
    if (!description || description_capacity <= 0)
        return E_INVALIDARG;
    copy_cut(utf8_to_ansi(link.description), description, description_capacity);
    if (!arguments || arguments_capacity <= 0)
        return E_INVALIDARG;
    copy_cut(utf8_to_ansi(link.arguments), arguments, arguments_capacity);
    return S_OK;
}

HRESULT shell_link_save(const WCHAR* shortcut_path, const char* target, const char* arguments,
                        const char* description)
{
    long code = 0;
    if (injected_failure("shell_link_save", &code))
        return static_cast<HRESULT>(code);
    if (state().com_depth == 0)
        return CO_E_NOTINITIALIZED;
    file_node* node = nullptr;
    std::string path;
    HRESULT hr = shortcut_node(shortcut_path, true, &node, &path);
    if (FAILED(hr))
        return hr;
    sim::shortcut link{ansi_to_utf8(target ? target : ""), ansi_to_utf8(arguments ? arguments : ""),
                       ansi_to_utf8(description ? description : ""), "", ""};
    record("save shortcut " + path);
    node->bytes = shortcut_bytes(link);
    node->link = link;
    node->version.reset();
    return S_OK;
}

// Loads the shortcut, hands its arguments over as ANSI text and, when the
// rewrite asks for it, stores the new arguments in the same record: every
// other property stays.
HRESULT shell_link_rewrite_arguments(const WCHAR* shortcut_path, int arguments_capacity,
                                     shell_link_arguments_rewrite rewrite, void* context)
{
    long code = 0;
    if (injected_failure("shell_link_rewrite_arguments", &code))
        return static_cast<HRESULT>(code);
    if (state().com_depth == 0)
        return CO_E_NOTINITIALIZED;
    if (!rewrite || arguments_capacity <= 0 || arguments_capacity > 1024)
        return E_INVALIDARG;
    file_node* node = nullptr;
    std::string path;
    HRESULT hr = shortcut_node(shortcut_path, false, &node, &path);
    if (FAILED(hr))
        return hr;
    if (node->directory)
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    if (!node->link)
        return E_FAIL; // not a shortcut file
    std::u16string wide = sim::utf8_to_utf16(node->link->arguments);
    std::string narrow;
    for (char16_t unit : wide) {
        bool lossy = false;
        narrow.push_back(unit_to_ansi(unit, &lossy));
        if (lossy)
            return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
    }
    if (narrow.size() + 1 > static_cast<std::size_t>(arguments_capacity))
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    std::vector<char> buffer(static_cast<std::size_t>(arguments_capacity), '\0');
    std::memcpy(buffer.data(), narrow.c_str(), narrow.size() + 1);
    if (!rewrite(buffer.data(), arguments_capacity, context))
        return S_FALSE;
    buffer.back() = '\0';
    if (node_in_use(node))
        return HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
    sim::shortcut link = *node->link;
    link.arguments = ansi_to_utf8(buffer.data());
    record("save shortcut " + path);
    node->bytes = shortcut_bytes(link);
    node->link = link;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Version information.

DWORD GetFileVersionInfoSizeA(const char* file_name, DWORD* handle)
{
    long code = 0;
    if (injected_failure("GetFileVersionInfoSizeA", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    if (handle)
        *handle = 0;
    file_node* node = nullptr;
    LONG error = versioned_file(file_name, &node);
    if (error) {
        set_last_error(static_cast<DWORD>(error));
        return 0;
    }
    return static_cast<DWORD>(VERSION_BLOCK_SIZE);
}

// A buffer smaller than the block fails with ERROR_INSUFFICIENT_BUFFER
// rather than receiving a cut block that VerQueryValueA would read past.
BOOL GetFileVersionInfoA(const char* file_name, DWORD handle, DWORD size, void* data)
{
    (void)handle;
    long code = 0;
    if (injected_failure("GetFileVersionInfoA", &code))
        return bool_result(code);
    if (!data)
        return bool_result(ERROR_INVALID_PARAMETER);
    file_node* node = nullptr;
    LONG error = versioned_file(file_name, &node);
    if (error)
        return bool_result(error);
    if (size < VERSION_BLOCK_SIZE)
        return bool_result(ERROR_INSUFFICIENT_BUFFER);
    build_version_block(*node->version, node->name, static_cast<BYTE*>(data));
    return 1;
}

BOOL VerQueryValueA(const void* block, const char* sub_block, void** buffer, UINT* length)
{
    long code = 0;
    if (injected_failure("VerQueryValueA", &code) || !block || !sub_block || !buffer)
        return 0;
    const BYTE* bytes = static_cast<const BYTE*>(block);
    WORD block_length = 0;
    std::memcpy(&block_length, bytes, sizeof(block_length));
    if (block_length < VERSION_BLOCK_SIZE ||
        std::memcmp(bytes + VERSION_KEY_OFFSET, version_key, sizeof(version_key)) != 0)
        return 0;
    DWORD signature = 0;
    std::memcpy(&signature, bytes + FIXED_INFO_OFFSET, sizeof(signature));
    if (signature != FIXED_INFO_SIGNATURE || std::strcmp(sub_block, "\\") != 0)
        return 0;
    *buffer = const_cast<BYTE*>(bytes + FIXED_INFO_OFFSET);
    if (length)
        *length = sizeof(VS_FIXEDFILEINFO);
    return 1;
}

// ---------------------------------------------------------------------------
// Special folders. ID lists are handles of the simulation, so a list that
// is never freed shows in open_handle_count.

HRESULT SHGetSpecialFolderLocation(HWND owner, int folder, PIDLIST_ABSOLUTE* id_list)
{
    (void)owner;
    long code = 0;
    if (injected_failure("SHGetSpecialFolderLocation", &code))
        return static_cast<HRESULT>(code);
    if (!id_list)
        return E_INVALIDARG;
    *id_list = nullptr;
    if (!known_special_folder(folder))
        return E_INVALIDARG;
    std::optional<std::string> path = special_folder(folder);
    if (!path)
        return E_FAIL;
    handle_entry entry{handle_kind::id_list, nullptr, 0, *path, 0, {}};
    *id_list = reinterpret_cast<PIDLIST_ABSOLUTE>(add_handle(std::move(entry)));
    return S_OK;
}

BOOL SHGetPathFromIDListA(PIDLIST_ABSOLUTE id_list, char* path)
{
    long code = 0;
    if (injected_failure("SHGetPathFromIDListA", &code))
        return bool_result(code);
    handle_entry* entry = find_handle(id_list, handle_kind::id_list);
    if (!entry || !path || state().path_from_id_list_fails || entry->text.size() >= MAX_PATH)
        return 0;
    std::memcpy(path, entry->text.c_str(), entry->text.size() + 1);
    return 1;
}

void ILFree(PIDLIST_ABSOLUTE id_list)
{
    long code = 0;
    injected_failure("ILFree", &code);
    remove_handle(id_list, handle_kind::id_list);
}

HRESULT SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, char* path)
{
    (void)owner;
    (void)token;
    (void)flags;
    long code = 0;
    if (injected_failure("SHGetFolderPathA", &code))
        return static_cast<HRESULT>(code);
    if (!path)
        return E_INVALIDARG;
    path[0] = '\0';
    bool program_files = (folder & 0xFF) == CSIDL_PROGRAM_FILES;
    if (!program_files && !known_special_folder(folder))
        return E_INVALIDARG;
    std::optional<std::string> found = program_files ? state().program_files_folder : special_folder(folder);
    if (!found || found->size() >= MAX_PATH)
        return E_FAIL;
    std::memcpy(path, found->c_str(), found->size() + 1);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Registrations put right whatever the state: wide paths of any length,
// single-file moves and deletions, empty folders removed.

namespace
{

constexpr char LONG_PATH_PREFIX[] = "\\\\?\\";

// A wide path as UTF-8; the "\\?\" prefix lifts the length limit (and
// would turn off normalisation, which the patch never relies on).
LONG parse_wide_path(const WCHAR* path, split_path* out)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    std::string utf8 = sim::utf16_to_utf8(path);
    const bool prefixed = utf8.compare(0, 4, LONG_PATH_PREFIX) == 0;
    return parse_utf8_path(prefixed ? utf8.substr(4) : utf8, out, false, prefixed);
}

LONG move_file(const WCHAR* existing, const WCHAR* new_name, DWORD flags)
{
    split_path from;
    split_path to;
    LONG error = parse_wide_path(existing, &from);
    file_node* node = error ? nullptr : find_node(from, &error);
    if (!node)
        return error;
    error = parse_wide_path(new_name, &to);
    if (error)
        return error;
    return move_node(from, node, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0,
                     "move " + sim::utf16_to_utf8(existing) + " -> " + sim::utf16_to_utf8(new_name));
}

LONG delete_file(const WCHAR* path)
{
    split_path parsed;
    LONG error = parse_wide_path(path, &parsed);
    file_node* node = error ? nullptr : find_node(parsed, &error);
    if (!node)
        return error;
    if (node->directory)
        return ERROR_ACCESS_DENIED;
    error = check_removable(parsed, node);
    if (error)
        return error;
    record("delete " + sim::utf16_to_utf8(path));
    remove_node(node);
    return 0;
}

LONG remove_directory(const char* path)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    split_path parsed;
    LONG error = parse_path(path, &parsed);
    file_node* node = error ? nullptr : find_node(parsed, &error);
    if (!node)
        return error;
    if (!node->directory)
        return ERROR_DIRECTORY;
    if (!node->children.empty())
        return ERROR_DIR_NOT_EMPTY;
    error = check_removable(parsed, node);
    if (error)
        return error;
    record("remove directory " + journal_path(path));
    remove_node(node);
    return 0;
}

} // namespace

DWORD GetFullPathNameW(const WCHAR* name, DWORD size, WCHAR* buffer, WCHAR** file_part)
{
    long code = 0;
    if (injected_failure("GetFullPathNameW", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return 0;
    }
    if (!name || !*name || (size && !buffer)) {
        set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string full = name;
    if (sim::utf16_to_utf8(name).compare(0, 4, LONG_PATH_PREFIX) != 0) {
        split_path parsed;
        LONG error = parse_utf8_path(sim::utf16_to_utf8(name), &parsed, true, true);
        if (error) {
            set_last_error(static_cast<DWORD>(error));
            return 0;
        }
        full = sim::utf8_to_utf16(join_path(parsed));
    }
    if (size <= full.size())
        return static_cast<DWORD>(full.size() + 1);
    std::copy(full.begin(), full.end(), buffer);
    buffer[full.size()] = 0;
    if (file_part) {
        const std::size_t slash = full.find_last_of(u'\\');
        *file_part = slash == std::u16string::npos || slash + 1 == full.size() ? nullptr : buffer + slash + 1;
    }
    return static_cast<DWORD>(full.size());
}

DWORD GetFileAttributesW(const WCHAR* path)
{
    long code = 0;
    if (injected_failure("GetFileAttributesW", &code)) {
        set_last_error(static_cast<DWORD>(code));
        return INVALID_FILE_ATTRIBUTES;
    }
    split_path parsed;
    const LONG error = parse_wide_path(path, &parsed);
    return attributes_of(parsed, error);
}

BOOL RemoveDirectoryA(const char* path)
{
    long code = 0;
    if (injected_failure("RemoveDirectoryA", &code))
        return bool_result(code);
    return bool_result(remove_directory(path));
}

BOOL MoveFileExW(const WCHAR* existing, const WCHAR* new_name, DWORD flags)
{
    long code = 0;
    if (injected_failure("MoveFileExW", &code))
        return bool_result(code);
    return bool_result(move_file(existing, new_name, flags));
}

BOOL DeleteFileW(const WCHAR* path)
{
    long code = 0;
    if (injected_failure("DeleteFileW", &code))
        return bool_result(code);
    return bool_result(delete_file(path));
}

CRT_FILE* crt_wfopen(const WCHAR* path, const char* mode)
{
    long code = 0;
    if (injected_failure("crt_wfopen", &code) || !path || !mode)
        return nullptr;
    if (std::string(mode) != "rb")
        return nullptr; // the simulation has binary read streams only here
    split_path parsed;
    LONG error = parse_wide_path(path, &parsed);
    file_node* node = error ? nullptr : find_node(parsed, &error);
    if (!node || node->directory)
        return nullptr;
    handle_entry entry{handle_kind::file, nullptr, 0, {}, 0, open_file{node->bytes, 0, false}};
    return reinterpret_cast<CRT_FILE*>(add_handle(std::move(entry)));
}

// The log's appends are neither in the journal nor counted as calls: no
// run reads the log back, so a kill there is the same moment as at the next
// call. Their faults are injected as any other call's.
namespace
{

BOOL append(const char* path, const char* old_path, DWORD rotate_size, const char* text, DWORD length)
{
    machine& m = state();
    const int occurrence = ++m.log_appends;
    auto faults = m.faults.find("append_to_log");
    if (faults != m.faults.end() && faults->second.count(occurrence)) {
        set_last_error(static_cast<DWORD>(faults->second[occurrence]));
        return 0;
    }
    if (!path || !old_path || !text)
        return bool_result(ERROR_INVALID_PARAMETER);
    split_path parsed;
    LONG error = parse_path(path, &parsed);
    if (error)
        return bool_result(error);
    if (parsed.names.empty() || is_cdrom(parsed.drive))
        return bool_result(ERROR_ACCESS_DENIED);
    file_node* folder = find_parent(parsed, &error);
    if (!folder && error == ERROR_PATH_NOT_FOUND && parsed.names.size() >= 2) {
        split_path folder_path = parsed;
        folder_path.names.pop_back();
        file_node* above = find_parent(folder_path, &error);
        if (above && !child(above, folder_path.names.back())) {
            auto created = new_node(folder_path.names.back(), true);
            created->parent = above;
            above->children.emplace(created->name, std::move(created));
        }
        folder = find_parent(parsed, &error);
    }
    if (!folder)
        return bool_result(error);
    file_node* file = child(folder, parsed.names.back());
    if (file && file->directory)
        return bool_result(ERROR_ACCESS_DENIED);
    if (file && file->locked)
        return bool_result(ERROR_SHARING_VIOLATION);
    if (file && file->bytes.size() >= rotate_size) {
        split_path old_parsed;
        error = parse_path(old_path, &old_parsed);
        if (!error)
            error = move_node(parsed, file, old_parsed, true, "");
        file = nullptr;
        if (error)
            return bool_result(error);
    }
    if (!file)
        file = make_file(folder, parsed.names.back());
    file->bytes.insert(file->bytes.end(), text, text + length);
    return 1;
}

} // namespace

BOOL append_to_log(const char* path, const char* old_path, DWORD rotate_size, const char* text, DWORD length)
{
    const DWORD kept = state().last_error;
    const BOOL appended = append(path, old_path, rotate_size, text, length);
    state().last_error = kept;
    return appended;
}

} // namespace platform

// ---------------------------------------------------------------------------
// The sim.h file helpers. Setting up a machine is not part of the journal.

namespace platform::sim
{

using namespace detail;

namespace
{

// A helper's path; a missing drive is made a fixed drive when create_drive.
split_path helper_path(const std::string& path, bool create_drive)
{
    split_path parsed;
    if (parse_utf8_path(path, &parsed, false, true) != 0)
        throw std::invalid_argument("sim files: bad path: " + path);
    if (create_drive && !find_drive(parsed.drive)) {
        std::string root = std::string(1, parsed.drive) + ":\\";
        state().drives.emplace(parsed.drive,
                               drive_state{drive{root, DRIVE_FIXED, "", "NTFS", true}, new_node("", true)});
    }
    return parsed;
}

// The node at path, without regard to media in the drive.
file_node* helper_node(const std::string& path)
{
    split_path parsed = helper_path(path, false);
    drive_state* d = find_drive(parsed.drive);
    if (!d)
        return nullptr;
    file_node* node = d->root.get();
    for (const std::string& name : parsed.names) {
        node = node->directory ? child(node, name) : nullptr;
        if (!node)
            return nullptr;
    }
    return node;
}

file_node* make_folders(const split_path& path, std::size_t count)
{
    file_node* node = find_drive(path.drive)->root.get();
    for (std::size_t i = 0; i < count; ++i) {
        file_node* next = child(node, path.names[i]);
        if (!next) {
            auto created = new_node(path.names[i], true);
            created->parent = node;
            next = created.get();
            node->children.emplace(path.names[i], std::move(created));
        }
        if (!next->directory)
            throw std::invalid_argument("sim files: a file stands where a folder is needed");
        node = next;
    }
    return node;
}

file_node* helper_file(const std::string& path)
{
    split_path parsed = helper_path(path, true);
    if (parsed.names.empty())
        throw std::invalid_argument("sim files: a drive root is no file: " + path);
    file_node* folder = make_folders(parsed, parsed.names.size() - 1);
    file_node* node = make_file(folder, parsed.names.back());
    if (node->directory)
        throw std::invalid_argument("sim files: a folder stands at " + path);
    return node;
}

std::uint64_t fnv1a(const std::vector<BYTE>& bytes)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (BYTE b : bytes) {
        hash ^= b;
        hash *= 1099511628211ull;
    }
    return hash;
}

void dump_node(const file_node& node, const std::string& relative, std::string& out)
{
    for (const auto& c : node.children) {
        const file_node& n = *c.second;
        std::string name = relative + n.name;
        if (n.directory) {
            out += name + "\\\n";
            dump_node(n, name + "\\", out);
            continue;
        }
        char line[96];
        std::snprintf(line, sizeof(line), " size=%zu hash=%016llx", n.bytes.size(),
                      static_cast<unsigned long long>(fnv1a(n.bytes)));
        out += name + line;
        if (n.version) {
            const auto& v = *n.version;
            std::snprintf(line, sizeof(line), " version=%u.%u.%u.%u", v[0], v[1], v[2], v[3]);
            out += line;
        }
        out += "\n";
    }
}

} // namespace

void add_drive(const drive& d)
{
    if (d.root.size() < 2 || !std::isalpha(static_cast<unsigned char>(d.root[0])) || d.root[1] != ':')
        throw std::invalid_argument("sim files: a drive root looks like \"D:\\\\\"");
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(d.root[0])));
    drive info = d;
    info.root = std::string(1, letter) + ":\\";
    info.label = utf8_to_ansi(d.label);
    drive_state* existing = find_drive(letter);
    if (existing) {
        existing->info = info;
        return;
    }
    state().drives.emplace(letter, drive_state{info, new_node("", true)});
}

void add_file(const std::string& path, const std::vector<BYTE>& bytes)
{
    file_node* node = helper_file(path);
    node->bytes = bytes;
    node->link.reset();
}

void add_text_file(const std::string& path, const std::string& text)
{
    add_file(path, std::vector<BYTE>(text.begin(), text.end()));
}

void add_directory(const std::string& path)
{
    split_path parsed = helper_path(path, true);
    make_folders(parsed, parsed.names.size());
}

bool file_exists(const std::string& path)
{
    file_node* node = helper_node(path);
    return node && !node->directory;
}

bool directory_exists(const std::string& path)
{
    file_node* node = helper_node(path);
    return node && node->directory;
}

std::optional<std::vector<BYTE>> file_bytes(const std::string& path)
{
    file_node* node = helper_node(path);
    if (!node || node->directory)
        return std::nullopt;
    return node->bytes;
}

std::vector<std::string> list_directory(const std::string& path)
{
    std::vector<std::string> names;
    file_node* node = helper_node(path);
    if (!node || !node->directory)
        return names;
    for (const auto& c : node->children)
        names.push_back(c.second->name + (c.second->directory ? "\\" : ""));
    return names;
}

std::string dump_directory(const std::string& path)
{
    file_node* node = helper_node(path);
    if (!node || !node->directory)
        return "<missing>\n";
    std::string out;
    dump_node(*node, "", out);
    return out;
}

void lock_path(const std::string& path, bool locked)
{
    file_node* node = helper_node(path);
    if (!node)
        throw std::invalid_argument("sim files: nothing to lock at " + path);
    node->locked = locked;
}

void add_shortcut(const std::string& path, const shortcut& s)
{
    file_node* node = helper_file(path);
    node->bytes = shortcut_bytes(s);
    node->link = s;
}

std::optional<shortcut> get_shortcut(const std::string& path)
{
    file_node* node = helper_node(path);
    if (!node || !node->link)
        return std::nullopt;
    return node->link;
}

void set_file_version(const std::string& path, WORD a, WORD b, WORD c, WORD d)
{
    helper_file(path)->version = std::array<WORD, 4>{a, b, c, d};
}

} // namespace platform::sim

namespace platform::sim
{

void abort_file_operation(int occurrence)
{
    detail::state().aborted_file_operations.insert(occurrence);
}

const std::vector<WORD>& file_operation_flags()
{
    return detail::state().file_operation_flags;
}

} // namespace platform::sim
