#include "tests/support/FakeRegistry.h"

#include "platform/AnsiCodePage.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace {

using RegistryApi::Handle;
using RegistryApi::Status;

constexpr Status AccessDenied = 5;
constexpr Status InvalidHandle = 6;
constexpr Status InvalidParameter = 87;
constexpr Status BadPathname = 161;
constexpr Status KeyDeleted = 1018;

// Names are compared as the platform does: on their UTF-16 form, ignoring
// ASCII case. Comparing the code-page bytes would fold DBCS trail bytes.
std::u16string Folded(const std::string& name) {
    std::u16string text = AnsiCodePage::FromAnsi(name);
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return text;
}

struct Value {
    std::string name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

struct Key {
    std::string path;
    std::weak_ptr<Key> parent;
    bool deleted = false;
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;
    std::map<std::u16string, Value> values;
};

struct Store {
    std::map<Handle, std::shared_ptr<Key>> roots;
    std::map<Handle, std::shared_ptr<Key>> open;
    std::uintptr_t nextHandle = 0x1000;
    std::vector<FakeRegistry::Call> log;
    FakeRegistry::FailurePlan plan;
};

Store& TheStore() {
    static Store store;
    return store;
}

const char* RootName(std::uint32_t root) {
    switch (root) {
    case 0x80000000:
        return "HKCR";
    case 0x80000001:
        return "HKCU";
    case 0x80000002:
        return "HKLM";
    case 0x80000003:
        return "HKU";
    case 0x80000005:
        return "HKCC";
    default:
        return nullptr;
    }
}

std::shared_ptr<Key> Resolve(Handle handle) {
    Store& store = TheStore();
    if (RegistryApi::IsPredefinedRoot(handle)) {
        const auto root = static_cast<std::uint32_t>(static_cast<std::uintptr_t>(handle));
        const char* name = RootName(root);
        if (!name) {
            return nullptr;
        }
        auto& key = store.roots[handle];
        if (!key) {
            key = std::make_shared<Key>();
            key->path = name;
        }
        return key;
    }
    const auto it = store.open.find(handle);
    return it == store.open.end() ? nullptr : it->second;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('\\', start), path.size());
        if (end > start) {
            parts.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return parts;
}

// Finds (or, with `create`, makes) the key `path` below `base`.
Status Walk(const std::shared_ptr<Key>& base, const std::string& path, bool create,
            std::shared_ptr<Key>& found) {
    if (!path.empty() && path.front() == '\\') {
        return BadPathname;
    }
    std::shared_ptr<Key> key = base;
    for (const std::string& part : SplitPath(path)) {
        if (AnsiCodePage::FromAnsi(part).size() > 255) {
            return InvalidParameter;
        }
        auto& subkeys = key->subkeys;
        auto it = subkeys.find(Folded(part));
        if (it == subkeys.end()) {
            if (!create) {
                return RegistryApi::FileNotFound;
            }
            auto child = std::make_shared<Key>();
            child->path = key->path + "\\" + part;
            child->parent = key;
            it = subkeys.emplace(Folded(part), std::move(child)).first;
        }
        key = it->second;
    }
    found = key;
    return RegistryApi::Success;
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
    return store.plan ? store.plan(store.log.back()) : std::nullopt;
}

std::string PathOf(Handle handle) {
    const auto key = Resolve(handle);
    return key ? key->path : std::string("?");
}

Status OpenOrCreate(FakeRegistry::Op op, Handle root, const std::string& path, Handle& result) {
    if (const auto forced = Record({op, PathOf(root), path})) {
        return *forced;
    }
    const auto base = Resolve(root);
    if (!base) {
        return InvalidHandle;
    }
    if (base->deleted) {
        return KeyDeleted;
    }
    // As Wine does, an empty path below a predefined root gives the root back.
    if (path.empty() && RegistryApi::IsPredefinedRoot(root)) {
        result = root;
        return RegistryApi::Success;
    }
    std::shared_ptr<Key> key;
    if (const Status status = Walk(base, path, op == FakeRegistry::Op::CreateKey, key);
        status != RegistryApi::Success) {
        return status;
    }
    result = NewHandle(key);
    return RegistryApi::Success;
}

// Lists the index-th name of `names` into the caller's buffer.
template <typename Map, typename NameOf>
Status EnumName(FakeRegistry::Op op, Handle handle, std::uint32_t index, char* name,
                std::uint32_t& capacity, Map Key::*member, NameOf nameOf) {
    const auto key = Resolve(handle);
    auto it = key ? (key.get()->*member).begin() : decltype((key.get()->*member).begin()){};
    std::string listed;
    if (key && index < (key.get()->*member).size()) {
        std::advance(it, index);
        listed = nameOf(it->second);
    }
    if (const auto forced = Record({op, PathOf(handle), listed, index, capacity})) {
        return *forced;
    }
    if (!key) {
        return InvalidHandle;
    }
    if (key->deleted) {
        return KeyDeleted;
    }
    if (index >= (key.get()->*member).size()) {
        return RegistryApi::NoMoreItems;
    }
    if (listed.size() >= capacity) {
        return RegistryApi::MoreData;
    }
    std::memcpy(name, listed.c_str(), listed.size() + 1);
    capacity = static_cast<std::uint32_t>(listed.size());
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

const std::vector<Call>& Log() {
    return TheStore().log;
}

void ClearLog() {
    TheStore().log.clear();
}

int OpenHandleCount() {
    return static_cast<int>(TheStore().open.size());
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

void CloseKey(Handle key) {
    Record({Op::CloseKey, PathOf(key), {}});
    TheStore().open.erase(key);
}

Status EnumValue(Handle key, std::uint32_t index, char* name, std::uint32_t& capacity) {
    return EnumName(Op::EnumValue, key, index, name, capacity, &Key::values,
                    [](const Value& value) { return value.name; });
}

Status EnumKey(Handle key, std::uint32_t index, char* name, std::uint32_t& capacity) {
    return EnumName(Op::EnumKey, key, index, name, capacity, &Key::subkeys,
                    [](const std::shared_ptr<Key>& subkey) {
                        return subkey->path.substr(subkey->path.rfind('\\') + 1);
                    });
}

Status DeleteValue(Handle handle, const std::string& name) {
    if (const auto forced = Record({Op::DeleteValue, PathOf(handle), name})) {
        return *forced;
    }
    const auto key = Resolve(handle);
    if (!key) {
        return InvalidHandle;
    }
    if (key->deleted) {
        return KeyDeleted;
    }
    return key->values.erase(Folded(name)) == 1 ? Success : FileNotFound;
}

Status DeleteKey(Handle handle, const std::string& name) {
    if (const auto forced = Record({Op::DeleteKey, PathOf(handle), name})) {
        return *forced;
    }
    const auto base = Resolve(handle);
    if (!base) {
        return InvalidHandle;
    }
    std::shared_ptr<Key> target;
    if (const Status status = Walk(base, name, false, target); status != Success) {
        return status;
    }
    if (target == base && RegistryApi::IsPredefinedRoot(handle)) {
        return AccessDenied;
    }
    if (!target->subkeys.empty()) {
        return AccessDenied;
    }
    target->deleted = true;
    target->parent.lock()->subkeys.erase(Folded(target->path.substr(target->path.rfind('\\') + 1)));
    return Success;
}

Status QueryValue(Handle handle, const std::string& name, std::uint32_t& type, std::uint8_t* data,
                  std::uint32_t& size) {
    if (const auto forced = Record({Op::QueryValue, PathOf(handle), name})) {
        return *forced;
    }
    const auto key = Resolve(handle);
    if (!key) {
        return InvalidHandle;
    }
    if (key->deleted) {
        return KeyDeleted;
    }
    const auto it = key->values.find(Folded(name));
    if (it == key->values.end()) {
        return FileNotFound;
    }
    const auto& stored = it->second.data;
    type = it->second.type; // the preset never filters
    const std::uint32_t capacity = size;
    size = static_cast<std::uint32_t>(stored.size());
    if (stored.size() > capacity) {
        return MoreData;
    }
    std::copy(stored.begin(), stored.end(), data);
    return Success;
}

Status SetValue(Handle handle, const std::string& name, std::uint32_t type,
                const std::uint8_t* data, std::uint32_t size) {
    if (const auto forced = Record({Op::SetValue, PathOf(handle), name})) {
        return *forced;
    }
    const auto key = Resolve(handle);
    if (!key) {
        return InvalidHandle;
    }
    if (key->deleted) {
        return KeyDeleted;
    }
    if (AnsiCodePage::FromAnsi(name).size() > 16383) {
        return InvalidParameter;
    }
    key->values[Folded(name)] = Value{name, type, std::vector<std::uint8_t>(data, data + size)};
    return Success;
}

} // namespace RegistryApi
