#include "tests/support/FakeRegistry.h"

#include "platform/AnsiCodePage.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace {

using RegistryApi::Handle;
using RegistryApi::Status;

constexpr Status FileNotFound = 2;
constexpr Status AccessDenied = 5;
constexpr Status InvalidHandle = 6;
constexpr Status InvalidParameter = 87;
constexpr Status BadPathname = 161;
constexpr Status KeyDeleted = 1018;
constexpr Status NoMoreItems = 259;

constexpr std::uint32_t TypeLink = 6; // REG_LINK
// Where a link names HKEY_CURRENT_USER: its name in the platform's own
// namespace, as Wine gives it.
constexpr char16_t CurrentUserObject[] = u"\\REGISTRY\\User\\S-1-5-21-0-0-0-1000\\";
// Links that lead to links end somewhere, or the open fails.
constexpr int MaxLinkHops = 16;

constexpr std::size_t MaxKeyNameChars = 256;
constexpr std::size_t MaxValueNameChars = 16383;
constexpr std::uint32_t ClassesRoot = 0x80000000;

// The platform upper-cases every letter before comparing names, not just
// ASCII. This covers the cased letters code page 932 can carry: Latin,
// Greek, Cyrillic, Roman numerals and the full-width Latin forms.
char16_t UpperCase(char16_t c) {
    const auto shifted = [c](int by) { return static_cast<char16_t>(c - by); };
    if ((c >= u'a' && c <= u'z') || (c >= 0x03B1 && c <= 0x03C9 && c != 0x03C2) ||
        (c >= 0x0430 && c <= 0x044F) || (c >= 0xFF41 && c <= 0xFF5A)) {
        return shifted(0x20);
    }
    if (c == 0x03C2) { // final sigma
        return 0x03A3;
    }
    if (c >= 0x0450 && c <= 0x045F) {
        return shifted(0x50);
    }
    if (c >= 0x2170 && c <= 0x217F) {
        return shifted(0x10);
    }
    return c;
}

// Names are compared as the platform does: on their UTF-16 form, ignoring
// case. Comparing the code-page bytes would fold DBCS trail bytes.
std::u16string Folded(std::u16string text) {
    for (char16_t& c : text) {
        c = UpperCase(c);
    }
    return text;
}

std::u16string Folded(const std::string& name) {
    return Folded(AnsiCodePage::FromAnsi(name));
}

// The platform keeps names in UTF-16 and gives them back converted.
std::string Stored(const std::u16string& name) {
    return AnsiCodePage::ToAnsi(name).bytes;
}

// The platform takes names and paths as C strings: they end at the first NUL.
std::string AsCString(const std::string& text) {
    return text.substr(0, text.find('\0'));
}

struct Value {
    std::string name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

struct Key {
    std::u16string text; // the name as the platform keeps it
    std::string name;    // the name as it is listed
    std::string path;
    std::weak_ptr<Key> parent;
    bool deleted = false;
    bool link = false;
    std::uint32_t denied = 0; // rights withheld from everyone
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;
    std::map<std::u16string, Value> values;
};

struct Store {
    std::map<Handle, std::shared_ptr<Key>> roots;
    std::map<Handle, std::shared_ptr<Key>> open;
    std::uintptr_t nextHandle = 0x1000;
    std::vector<FakeRegistry::Call> log;
    FakeRegistry::FailurePlan plan;
    FakeRegistry::Meddler meddler;
};

Store& TheStore() {
    static Store store;
    return store;
}

struct RootNames {
    const char* label;
    const char16_t* object; // the root's name in the platform's own namespace
};

std::optional<RootNames> RootName(std::uint32_t root) {
    switch (root) {
    case 0x80000000:
        return RootNames{"HKCR", u"\\REGISTRY\\Machine\\Software\\Classes"};
    case 0x80000001:
        return RootNames{"HKCU", u"\\REGISTRY\\User\\S-1-5-21-0-0-0-1000"};
    case 0x80000002:
        return RootNames{"HKLM", u"\\REGISTRY\\Machine"};
    case 0x80000003:
        return RootNames{"HKU", u"\\REGISTRY\\User"};
    case 0x80000005:
        return RootNames{"HKCC", u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\"
                                 u"Hardware Profiles\\Current"};
    default:
        return std::nullopt;
    }
}

std::shared_ptr<Key> Resolve(Handle handle) {
    Store& store = TheStore();
    if (RegistryApi::IsPredefinedRoot(handle)) {
        const auto root = static_cast<std::uint32_t>(static_cast<std::uintptr_t>(handle));
        const auto name = RootName(root);
        if (!name) {
            return nullptr;
        }
        auto& key = store.roots[handle];
        if (!key) {
            key = std::make_shared<Key>();
            key->path = name->label;
            key->text = name->object;
        }
        return key;
    }
    const auto it = store.open.find(handle);
    return it == store.open.end() ? nullptr : it->second;
}

// Splits at the separator character, not at its byte: in a double-byte code
// page the second byte of a character may be the same byte. Doubled and
// trailing separators name nothing.
std::vector<std::u16string> SplitPath(const std::u16string& path) {
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(u'\\', start), path.size());
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

std::shared_ptr<Key> CurrentUserRoot() {
    return Resolve(RegistryApi::RootHandle(0x80000001u));
}

Status WalkText(const std::shared_ptr<Key>& base, const std::u16string& text, bool create,
                bool itself, int hops, std::shared_ptr<Key>& found);

// The key a link stands for, as its value names it; a link to nothing, or
// to anything but a key of HKEY_CURRENT_USER, leads nowhere.
Status Follow(const std::shared_ptr<Key>& link, int hops, std::shared_ptr<Key>& found) {
    const auto it = link->values.find(Folded(std::string(RegistryApi::LinkValueName)));
    if (hops >= MaxLinkHops || it == link->values.end() || it->second.type != TypeLink) {
        return FileNotFound;
    }
    const auto& data = it->second.data;
    std::u16string target;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        target.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    const std::u16string prefix = Folded(std::u16string(CurrentUserObject));
    if (!Folded(target).starts_with(prefix)) {
        return FileNotFound;
    }
    return WalkText(CurrentUserRoot(), target.substr(prefix.size()), false, false, hops + 1, found);
}

// Finds (or, with `create`, makes) the key `text` below `base`, following
// links on the way; with `itself`, a link at the end is the key found.
Status WalkText(const std::shared_ptr<Key>& base, const std::u16string& text, bool create,
                bool itself, int hops, std::shared_ptr<Key>& found) {
    if (!text.empty() && text.front() == u'\\') {
        return BadPathname;
    }
    std::shared_ptr<Key> key = base;
    const std::vector<std::u16string> parts = SplitPath(text);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::u16string& part = parts[i];
        // 255 characters is the documented limit; Windows and Wine both
        // take one more.
        if (part.size() > MaxKeyNameChars) {
            return InvalidParameter;
        }
        auto& subkeys = key->subkeys;
        auto it = subkeys.find(Folded(part));
        if (it == subkeys.end()) {
            if (!create) {
                return FileNotFound;
            }
            auto child = std::make_shared<Key>();
            child->text = part;
            child->name = Stored(part);
            child->path = key->path + "\\" + child->name;
            child->parent = key;
            it = subkeys.emplace(Folded(part), std::move(child)).first;
        }
        key = it->second;
        if (key->link && !(itself && i + 1 == parts.size())) {
            if (const Status status = Follow(key, hops, key); status != RegistryApi::Success) {
                return status;
            }
        }
    }
    found = key;
    return RegistryApi::Success;
}

Status Walk(const std::shared_ptr<Key>& base, const std::string& path, bool create,
            std::shared_ptr<Key>& found, bool itself = false) {
    return WalkText(base, AnsiCodePage::FromAnsi(path), create, itself, 0, found);
}

Handle NewHandle(const std::shared_ptr<Key>& key) {
    Store& store = TheStore();
    const auto handle = static_cast<Handle>(store.nextHandle);
    store.nextHandle += 4;
    store.open[handle] = key;
    return handle;
}

// Logs the call and returns the status the failure plan gives it, if any.
std::optional<Status> Record(FakeRegistry::Call call) {
    Store& store = TheStore();
    store.log.push_back(std::move(call));
    if (store.meddler) {
        store.meddler(store.log.back());
    }
    return store.plan ? store.plan(store.log.back()) : std::nullopt;
}

std::string PathOf(const std::shared_ptr<Key>& key) {
    return key ? key->path : std::string("?");
}

std::string PathOf(Handle handle) {
    return PathOf(Resolve(handle));
}

// Every call on an open key begins alike: it is logged, the failure plan may
// decide its status, and a handle of no key or of a deleted one fails.
std::optional<Status> Begin(FakeRegistry::Call call, const std::shared_ptr<Key>& key) {
    if (const auto forced = Record(std::move(call))) {
        return forced;
    }
    if (!key) {
        return InvalidHandle;
    }
    if (key->deleted) {
        return KeyDeleted;
    }
    return std::nullopt;
}

Status OpenOrCreate(FakeRegistry::Op op, Handle root, const std::string& givenPath,
                    Handle& result) {
    if (const auto forced = Record({op, PathOf(root), givenPath})) {
        return *forced;
    }
    std::string path = AsCString(givenPath);
    // Opening (not creating) below HKEY_CLASSES_ROOT forgives one leading
    // separator; the key opened is then never the root handle itself.
    const bool classesRoot = root == RegistryApi::RootHandle(ClassesRoot);
    const bool forgiven =
        op == FakeRegistry::Op::OpenKey && classesRoot && !path.empty() && path.front() == '\\';
    if (forgiven) {
        path.erase(0, 1);
    }
    const auto base = Resolve(root);
    if (!base) {
        return InvalidHandle;
    }
    if (base->deleted) {
        return KeyDeleted;
    }
    // As Wine does, an empty path below a predefined root gives the root back.
    if (path.empty() && !forgiven && RegistryApi::IsPredefinedRoot(root)) {
        result = root;
        return RegistryApi::Success;
    }
    std::shared_ptr<Key> key;
    if (const Status status = Walk(base, path, op == FakeRegistry::Op::CreateKey, key);
        status != RegistryApi::Success) {
        return status;
    }
    if (key->denied & RegistryApi::KeyAccess) {
        return AccessDenied;
    }
    result = NewHandle(key);
    return RegistryApi::Success;
}

// Lists the index-th name of `names` into the caller's buffer.
template <typename Map, typename NameOf>
Status EnumName(FakeRegistry::Op op, Handle handle, std::uint32_t index, char* name,
                std::uint32_t capacity, Map Key::*member, NameOf nameOf) {
    const auto key = Resolve(handle);
    auto it = key ? (key.get()->*member).begin() : decltype((key.get()->*member).begin()){};
    std::string listed;
    if (key && index < (key.get()->*member).size()) {
        std::advance(it, index);
        listed = nameOf(it->second);
    }
    if (const auto early = Begin({op, PathOf(key), listed, index, capacity}, key)) {
        return *early;
    }
    if (index >= (key.get()->*member).size()) {
        return NoMoreItems;
    }
    if (listed.size() >= capacity) {
        return RegistryApi::MoreData;
    }
    std::memcpy(name, listed.c_str(), listed.size() + 1);
    return RegistryApi::Success;
}

// Its full name, as the platform's own namespace has it.
std::u16string ObjectName(const std::shared_ptr<Key>& key) {
    const auto parent = key->parent.lock();
    return parent ? ObjectName(parent) + u'\\' + key->text : key->text;
}

void MarkDeleted(Key& key) {
    key.deleted = true;
    for (auto& [folded, subkey] : key.subkeys) {
        MarkDeleted(*subkey);
    }
}

// A key with subkeys, or a root, stays.
Status Remove(const std::shared_ptr<Key>& key) {
    if (!key->subkeys.empty() || key->parent.expired()) {
        return AccessDenied;
    }
    key->deleted = true;
    key->parent.lock()->subkeys.erase(Folded(key->text));
    return RegistryApi::Success;
}

} // namespace

namespace FakeRegistry {

void Reset() {
    Store& store = TheStore();
    store = Store{};
}

void FailWhen(FailurePlan plan) {
    TheStore().plan = std::move(plan);
}

void MeddleBeforeEachCall(Meddler meddler) {
    TheStore().meddler = std::move(meddler);
}

const std::vector<Call>& Log() {
    return TheStore().log;
}

void ClearLog() {
    TheStore().log.clear();
}

int OpenHandleCount() {
    return static_cast<int>(TheStore().open.size());
}

void CreateLink(const std::string& path, const std::string& target) {
    std::shared_ptr<Key> link;
    Walk(CurrentUserRoot(), path, true, link);
    link->link = true;
    const std::u16string name = std::u16string(CurrentUserObject) + AnsiCodePage::FromAnsi(target);
    Value& value = link->values[Folded(std::string(RegistryApi::LinkValueName))];
    value = {RegistryApi::LinkValueName, TypeLink, {}};
    for (const char16_t c : name) {
        value.data.push_back(static_cast<std::uint8_t>(c));
        value.data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
}

void ReplaceWithLink(const std::string& path, const std::string& target) {
    std::shared_ptr<Key> key;
    if (Walk(CurrentUserRoot(), path, false, key, true) != RegistryApi::Success) {
        return;
    }
    MarkDeleted(*key);
    key->parent.lock()->subkeys.erase(Folded(key->text));
    CreateLink(path, target);
}

void Deny(const std::string& path, std::uint32_t denied) {
    std::shared_ptr<Key> key;
    if (Walk(CurrentUserRoot(), path, false, key, true) == RegistryApi::Success) {
        key->denied = denied;
    }
}

void CreateKeyNamed(const std::string& parent, const std::u16string& name) {
    std::shared_ptr<Key> base;
    Walk(CurrentUserRoot(), parent, true, base);
    auto child = std::make_shared<Key>();
    child->text = name;
    std::u16string listed = name;
    std::replace(listed.begin(), listed.end(), char16_t{0x00A5}, u'\\');
    std::replace(listed.begin(), listed.end(), char16_t{0x00B7}, char16_t{0x30FB});
    child->name = Stored(listed);
    child->path = base->path + "\\" + child->name;
    child->parent = base;
    base->subkeys[Folded(name)] = std::move(child);
}

void DeleteKeyNamed(const std::string& parent, const std::u16string& name) {
    std::shared_ptr<Key> base;
    if (Walk(CurrentUserRoot(), parent, false, base) != RegistryApi::Success) {
        return;
    }
    if (const auto it = base->subkeys.find(Folded(name)); it != base->subkeys.end()) {
        Remove(it->second);
    }
}

std::vector<Deletion> Deletions() {
    std::vector<Deletion> deletions;
    for (const Call& call : TheStore().log) {
        if (call.op != Op::DeleteValue && call.op != Op::DeleteOpenKey) {
            continue;
        }
        std::string in = call.key;
        std::string name = call.name;
        if (in.starts_with("HKCU")) {
            in.erase(0, in.starts_with("HKCU\\") ? 5 : 4);
        }
        deletions.push_back({call.op, std::move(in), std::move(name)});
    }
    return deletions;
}

} // namespace FakeRegistry

namespace RegistryApi {

using FakeRegistry::Op;

Status OpenKey(Handle root, const std::string& path, Handle& key) {
    return OpenOrCreate(Op::OpenKey, root, path, key);
}

Status CreateKey(Handle root, const std::string& path, Handle& key) {
    return OpenOrCreate(Op::CreateKey, root, path, key);
}

Status OpenKeyItself(Handle parent, const std::string& name, std::uint32_t access, Handle& key) {
    const auto base = Resolve(parent);
    if (const auto early = Begin({Op::OpenKeyItself, PathOf(base), name}, base)) {
        return *early;
    }
    std::shared_ptr<Key> found;
    if (const Status status = Walk(base, AsCString(name), false, found, true); status != Success) {
        return status;
    }
    if (found->denied & access) {
        return AccessDenied;
    }
    key = NewHandle(found);
    return Success;
}

void CloseKey(Handle key) {
    Record({Op::CloseKey, PathOf(key), {}});
    TheStore().open.erase(key);
}

Status EnumValue(Handle key, std::uint32_t index, char* name, std::uint32_t capacity) {
    return EnumName(Op::EnumValue, key, index, name, capacity, &Key::values,
                    [](const Value& value) { return value.name; });
}

Status EnumKey(Handle key, std::uint32_t index, char* name, std::uint32_t capacity) {
    return EnumName(Op::EnumKey, key, index, name, capacity, &Key::subkeys,
                    [](const std::shared_ptr<Key>& subkey) { return subkey->name; });
}

Status DeleteValue(Handle handle, const std::string& name) {
    const auto key = Resolve(handle);
    if (const auto early = Begin({Op::DeleteValue, PathOf(key), name}, key)) {
        return *early;
    }
    return key->values.erase(Folded(AsCString(name))) == 1 ? Success : FileNotFound;
}

Status DeleteOpenKey(Handle handle) {
    const auto key = Resolve(handle);
    const auto parent = key ? key->parent.lock() : nullptr;
    if (const auto early =
            Begin({Op::DeleteOpenKey, PathOf(parent), key ? key->name : std::string()}, key)) {
        return *early;
    }
    return Remove(key);
}

Status KeyName(Handle handle, std::u16string& name) {
    const auto key = RegistryApi::IsPredefinedRoot(handle) ? nullptr : Resolve(handle);
    if (const auto early = Begin({Op::KeyName, PathOf(key), {}}, key)) {
        return *early;
    }
    name = ObjectName(key);
    return Success;
}

bool SameKeyName(std::u16string_view a, std::u16string_view b) {
    return Folded(std::u16string(a)) == Folded(std::u16string(b));
}

Status QueryValue(Handle handle, const std::string& name, std::uint32_t& type, std::uint8_t* data,
                  std::uint32_t& size) {
    const auto key = Resolve(handle);
    if (const auto early = Begin({Op::QueryValue, PathOf(key), name}, key)) {
        return *early;
    }
    const auto it = key->values.find(Folded(AsCString(name)));
    if (it == key->values.end()) {
        return FileNotFound;
    }
    const auto& stored = it->second.data;
    type = it->second.type; // the preset never filters
    const std::uint32_t capacity = size;
    size = static_cast<std::uint32_t>(stored.size());
    if (!data) {
        return Success;
    }
    if (stored.size() > capacity) {
        return MoreData;
    }
    std::copy(stored.begin(), stored.end(), data);
    return Success;
}

Status SetValue(Handle handle, const std::string& name, std::uint32_t type,
                const std::uint8_t* data, std::uint32_t size) {
    const auto key = Resolve(handle);
    if (const auto early = Begin({Op::SetValue, PathOf(key), name}, key)) {
        return *early;
    }
    const std::string valueName = AsCString(name);
    if (AnsiCodePage::FromAnsi(valueName).size() > MaxValueNameChars) {
        return InvalidParameter;
    }
    // Replacing a value keeps the name as first stored, whatever its case.
    auto& value = key->values[Folded(valueName)];
    if (value.name.empty()) {
        value.name = Stored(AnsiCodePage::FromAnsi(valueName));
    }
    value.type = type;
    value.data.assign(data, data + size);
    return Success;
}

} // namespace RegistryApi
