// Faults injected into the removal over many generated settings trees. A
// clean run of each tree is recorded first; then, one run per fault, a
// single registry call of that record is made to fail: each deletion in
// turn, the open a deletion needs, the open before a listing, and a listing
// midway. Each run must end as the documented order says it does: at a
// failed deletion with the failure box and exactly the deletions before it
// in effect, or, where a listing was cut short, as that shorter listing
// makes it end. Nothing else in the store may change and every key opened
// must be closed. Host only: faults are injected into the in-memory
// registry.
#include "platform/AnsiCodePage.h"
#include "platform/Dialogs.h"
#include "removal/ExitStatus.h"
#include "removal/Module1.h"
#include "tests/support/FakeRegistry.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TestRegistry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

using FakeRegistry::Op;
using RegistryApi::Handle;
using ScriptedDialogs::Box;
using TestRegistry::StoredValue;

namespace {

constexpr int Trees = 200;
// Trees with more deletions than this get a sample of them, always with the
// first and the last (the settings key itself); some of those also have the
// open before them fail instead.
constexpr std::size_t DeletionsPerTree = 20;
constexpr std::size_t OpensPerTree = 6;
constexpr std::size_t ListingFaultsPerTree = 6;
constexpr RegistryApi::Status Denied = 5;

constexpr char Parent[] = "Software\\VB and VBA Program Settings";
constexpr char SettingsName[] = "Orrelin";

const std::u16string Title = u"「Orrelin」の設定の削除";
const Box Confirmation{u"「Orrelin」の設定をすべて削除します。よろしいですか？", Title, 0x121};
const Box Success{u"「Orrelin」の設定の削除に成功しました。", Title, 0x40};
const Box Failure{u"レジストリの削除に失敗しました。", Title, 0x30};

std::string Ansi(std::u16string_view text) {
    return AnsiCodePage::ToAnsi(text).bytes;
}

std::string Join(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "\\" + name;
}

// An open key below HKEY_CURRENT_USER, closed when it goes.
class OpenKey {
public:
    OpenKey(Handle parent, const std::string& name, bool create) {
        ok_ = (create ? RegistryApi::CreateKey(parent, name, key_)
                      : RegistryApi::OpenKey(parent, name, key_)) == RegistryApi::Success;
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (ok_ && !RegistryApi::IsPredefinedRoot(key_)) {
            RegistryApi::CloseKey(key_);
        }
    }
    bool ok() const { return ok_; }
    Handle get() const { return key_; }

private:
    Handle key_{};
    bool ok_ = false;
};

// A key as the registry lists it: names in the platform's order.
struct Value {
    std::string name;
    StoredValue stored;
};
struct Key {
    std::string name;
    std::vector<Value> values;
    std::vector<Key> subkeys;
};

using EnumFunction = RegistryApi::Status (*)(Handle, std::uint32_t, char*, std::uint32_t&);

std::vector<std::string> Names(Handle key, EnumFunction enumerate) {
    std::vector<std::string> names;
    std::string buffer(1024, '\0');
    for (std::uint32_t index = 0;;) {
        auto size = static_cast<std::uint32_t>(buffer.size());
        const RegistryApi::Status status = enumerate(key, index, buffer.data(), size);
        if (status == RegistryApi::MoreData) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != RegistryApi::Success) {
            return names;
        }
        names.push_back(buffer.substr(0, size));
        ++index;
    }
}

Key Read(Handle parent, const std::string& name) {
    Key key{name, {}, {}};
    const OpenKey open(parent, name, false);
    if (!open.ok()) {
        return key;
    }
    for (const std::string& valueName : Names(open.get(), RegistryApi::EnumValue)) {
        Value value{valueName, {}};
        std::uint32_t size = 64;
        RegistryApi::Status status = RegistryApi::MoreData;
        while (status == RegistryApi::MoreData) {
            value.stored.data.resize(size);
            status = RegistryApi::QueryValue(open.get(), valueName, value.stored.type,
                                             value.stored.data.data(), size);
        }
        value.stored.data.resize(status == RegistryApi::Success ? size : 0);
        key.values.push_back(std::move(value));
    }
    for (const std::string& subkey : Names(open.get(), RegistryApi::EnumKey)) {
        key.subkeys.push_back(Read(open.get(), subkey));
    }
    return key;
}

void Write(Handle parent, const Key& key) {
    const OpenKey open(parent, key.name, true);
    ASSERT_TRUE(open.ok());
    for (const Value& value : key.values) {
        RegistryApi::SetValue(open.get(), value.name, value.stored.type, value.stored.data.data(),
                              static_cast<std::uint32_t>(value.stored.data.size()));
    }
    for (const Key& subkey : key.subkeys) {
        Write(open.get(), subkey);
    }
}

// The whole store, key path to values, for comparing before and after.
using State = std::map<std::string, std::map<std::string, StoredValue>>;

void Flatten(const Key& key, const std::string& path, State& state) {
    auto& values = state[path];
    for (const Value& value : key.values) {
        values[value.name] = value.stored;
    }
    for (const Key& subkey : key.subkeys) {
        Flatten(subkey, Join(path, subkey.name), state);
    }
}

State WholeStore() {
    State state;
    Flatten(Read(TestRegistry::CurrentUser(), ""), "", state);
    return state;
}

// Every key of a tree by its path, as the registry's record names it.
void Index(const Key& key, const std::string& path, std::map<std::string, const Key*>& index) {
    index[path] = &key;
    for (const Key& subkey : key.subkeys) {
        Index(subkey, Join(path, subkey.name), index);
    }
}

// ---- Generated trees ----------------------------------------------------

class Generator {
public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    Key Settings() {
        // Mostly small and middling trees, some large ones.
        const std::size_t size = Pick({5, 4, 2});
        keysLeft_ = size == 0 ? Between(1, 4) : size == 1 ? Between(5, 25) : Between(26, 60);
        maxValues_ = std::vector<int>{2, 6, 15, 50}[Pick({3, 4, 2, 1})];
        --keysLeft_;
        return Fill(SettingsName, 1);
    }

    // Another program's settings beside Orrelin's.
    Key Sibling(const std::string& name) {
        keysLeft_ = Between(0, 3);
        maxValues_ = 4;
        return Fill(name, 7);
    }

    std::vector<Value> SomeValues(int count) {
        std::vector<Value> values;
        for (int i = 0; i < count; ++i) {
            values.push_back({KeyName(), Data()});
        }
        return values;
    }

private:
    int Between(int low, int high) { return std::uniform_int_distribution(low, high)(rng_); }
    bool OneIn(int n) { return Between(1, n) == 1; }
    std::size_t Pick(std::initializer_list<double> weights) {
        return std::discrete_distribution<std::size_t>(weights)(rng_);
    }

    Key Fill(const std::string& name, int depth) {
        Key key{name, {}, {}};
        if (OneIn(6)) {
            key.values.push_back({"", Data()}); // the unnamed value
        }
        const int values = Between(0, maxValues_);
        for (int i = 0; i < values; ++i) {
            key.values.push_back({ValueName(), Data()});
        }
        if (depth < 8 && keysLeft_ > 0) {
            const int subkeys = std::min(keysLeft_, Between(0, OneIn(4) ? 20 : 4));
            keysLeft_ -= subkeys;
            for (int i = 0; i < subkeys; ++i) {
                key.subkeys.push_back(Fill(KeyName(), depth + 1));
            }
        }
        return key;
    }

    std::u16string Text(const std::u16string& pool, int length) {
        std::u16string text;
        for (int i = 0; i < length; ++i) {
            text += pool[static_cast<std::size_t>(Between(0, static_cast<int>(pool.size()) - 1))];
        }
        return text;
    }

    // ASCII, Japanese (some with a trail byte equal to the separator's),
    // both mixed, and names longer than the first 80-byte listing buffer.
    static constexpr char16_t Latin[] =
        u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-.";
    static constexpr char16_t Japanese[] = u"設定表示能力予定ソ十申構日本語値名前窓位置色大小ｱｲｳ";

    std::u16string ShortName() {
        switch (Pick({5, 4, 2})) {
        case 0:
            return Text(Latin, Between(1, 12));
        case 1:
            return Text(Japanese, Between(1, 8));
        default:
            return Text(Latin, Between(1, 6)) + Text(Japanese, Between(1, 6));
        }
    }
    // Up to `longest` characters; one in six takes more than 80 bytes.
    std::u16string Name(int longest) {
        switch (Pick({10, 1, 1})) {
        case 0:
            return ShortName();
        case 1:
            return Text(Latin, Between(80, longest));
        default:
            return Text(Japanese, Between(40, longest / 2));
        }
    }
    std::string KeyName() { return Ansi(Name(256)); }
    std::string ValueName() { return Ansi(Name(300)); }

    StoredValue Data() {
        switch (Pick({3, 2, 2})) {
        case 0: {
            const std::string text = Ansi(ShortName());
            std::vector<std::uint8_t> data(text.begin(), text.end());
            data.push_back(0);
            return {RegistryApi::TypeString, data};
        }
        case 1:
            return {RegistryApi::TypeDword, Bytes(4)};
        default:
            return {RegistryApi::TypeBinary, Bytes(Between(0, 24))};
        }
    }
    std::vector<std::uint8_t> Bytes(int count) {
        std::vector<std::uint8_t> bytes;
        for (int i = 0; i < count; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(Between(0, 255)));
        }
        return bytes;
    }

    std::mt19937 rng_;
    int keysLeft_ = 0;
    int maxValues_ = 0;
};

// ---- What a run must do --------------------------------------------------

// A deletion as the registry received it: the key it was made in, as a path
// below HKEY_CURRENT_USER, and the value or subkey name.
struct Deletion {
    Op op;
    std::string in;
    std::string name;
    bool operator==(const Deletion&) const = default;
};

// A listing that stops early: the names of `key` (a path) from `from` on are
// not reported.
struct Cut {
    std::string key;
    Op listing = Op::EnumValue;
    std::size_t from = 0;
};

struct Expected {
    std::vector<Deletion> tried;
    std::size_t done = 0; // the first `done` of them take effect
    bool fails = false;
};

enum class Kind { Deletion, OpenForDeletion, Listing };

// A call of the clean run's record to fail, and the run that must follow.
struct Fault {
    Kind kind;
    std::size_t call;
    Expected expected;
};

// The documented order: values first, then each subkey's tree, then the key
// itself from its parent. A key whose subkey listing was cut still has
// subkeys, so its own deletion fails and the run stops there.
bool Order(const Key& key, const std::string& parent, const std::optional<Cut>& cut,
           std::vector<Deletion>& out) {
    const std::string path = Join(parent, key.name);
    const bool cutHere = cut && cut->key == path;
    std::size_t values = key.values.size();
    std::size_t subkeys = key.subkeys.size();
    if (cutHere && cut->listing == Op::EnumValue) {
        values = std::min(values, cut->from);
    }
    if (cutHere && cut->listing == Op::EnumKey) {
        subkeys = std::min(subkeys, cut->from);
    }
    for (std::size_t i = 0; i < values; ++i) {
        out.push_back({Op::DeleteValue, path, key.values[i].name});
    }
    for (std::size_t i = 0; i < subkeys; ++i) {
        if (!Order(key.subkeys[i], path, cut, out)) {
            return false;
        }
    }
    out.push_back({Op::DeleteKey, parent, key.name});
    return subkeys == key.subkeys.size();
}

Expected WithCut(const Key& settings, const Cut& cut) {
    Expected expected;
    expected.fails = !Order(settings, Parent, cut, expected.tried);
    expected.done = expected.tried.size() - (expected.fails ? 1 : 0);
    return expected;
}

State After(State state, const std::vector<Deletion>& deletions, std::size_t done) {
    for (std::size_t i = 0; i < done; ++i) {
        const Deletion& deletion = deletions[i];
        if (deletion.op == Op::DeleteValue) {
            state[deletion.in].erase(deletion.name);
        } else {
            state.erase(Join(deletion.in, deletion.name));
        }
    }
    return state;
}

std::vector<Deletion> Deletions(const std::vector<FakeRegistry::Call>& log) {
    std::vector<Deletion> deletions;
    for (const auto& call : log) {
        if (call.op == Op::DeleteValue || call.op == Op::DeleteKey) {
            deletions.push_back(
                {call.op, call.key.substr(std::string("HKCU\\").size()), call.name});
        }
    }
    return deletions;
}

// Runs the whole flow, answering OK to every box; gives the exit status if
// the process was ended inside.
std::optional<int> RunMain() {
    ScriptedDialogs::Reset();
    ScriptedDialogs::Answer({Dialogs::IdOk, Dialogs::IdOk});
    try {
        Module1::Main();
    } catch (const ScriptedDialogs::ProcessEnded& ended) {
        return ended.exitCode;
    }
    return std::nullopt;
}

// One tree: its seed, its contents, and the record of a clean run.
class Sweep {
public:
    explicit Sweep(unsigned seed) : seed_(seed) {
        Generator generator(seed);
        settings_ = generator.Settings();
        siblings_ = {generator.Sibling("OtherProgram"), generator.Sibling(Ansi(u"別のプログラム")),
                     generator.Sibling("Orrelin2"), generator.Sibling(Ansi(u"表示ソフト"))};
        parentValues_ = generator.SomeValues(2);
    }

    // Seeds the store afresh and takes the clean run's record; false (with
    // the reason reported) when the clean run itself goes wrong.
    bool Record() {
        Seed();
        settings_ = Read(OpenKey(TestRegistry::CurrentUser(), Parent, false).get(), SettingsName);
        Index(settings_, Join(Parent, SettingsName), keys_);
        before_ = WholeStore();
        FakeRegistry::ClearLog();
        Expected clean = WithCut(settings_, Cut{"", Op::EnumValue, 0});
        if (!Check("clean run", clean)) {
            return false;
        }
        clean_ = runLog_;
        order_ = clean.tried;
        return true;
    }

    std::size_t DeletionPoints() const { return order_.size(); }

    // The faults of this tree, each a call of the clean record to fail and
    // the run it must give.
    std::vector<Fault> Faults() const {
        std::vector<Fault> faults;
        std::vector<std::size_t> deletionCalls;
        for (std::size_t i = 0; i < clean_.size(); ++i) {
            if (clean_[i].op == Op::DeleteValue || clean_[i].op == Op::DeleteKey) {
                deletionCalls.push_back(i);
            }
        }
        const auto sampled = SampledDeletions(deletionCalls.size());
        for (const std::size_t n : sampled) {
            faults.push_back({Kind::Deletion, deletionCalls[n], Expected{Prefix(n + 1), n, true}});
        }
        // The open a deletion needs, just before it.
        for (std::size_t i = 0; i < std::min(sampled.size(), OpensPerTree); ++i) {
            const std::size_t n = sampled[sampled.size() - 1 - i];
            faults.push_back(
                {Kind::OpenForDeletion, deletionCalls[n] - 1, Expected{Prefix(n), n, true}});
        }
        AddListingFaults(faults);
        return faults;
    }

    // Runs the flow with call `call` of the clean record failing.
    bool RunWithFault(std::size_t call, const Expected& expected) {
        Seed();
        FakeRegistry::ClearLog();
        FakeRegistry::FailWhen([call, seen = std::size_t{0}](const FakeRegistry::Call&) mutable
                               -> std::optional<RegistryApi::Status> {
            return seen++ == call ? std::optional<RegistryApi::Status>(Denied) : std::nullopt;
        });
        const bool ok = Check("fault at call " + std::to_string(call), expected);
        FakeRegistry::FailWhen(nullptr);
        return ok;
    }

private:
    void Seed() {
        FakeRegistry::Reset();
        const OpenKey parent(TestRegistry::CurrentUser(), Parent, true);
        for (const Value& value : parentValues_) {
            RegistryApi::SetValue(parent.get(), value.name, value.stored.type,
                                  value.stored.data.data(),
                                  static_cast<std::uint32_t>(value.stored.data.size()));
        }
        for (const Key& sibling : siblings_) {
            Write(parent.get(), sibling);
        }
        Write(parent.get(), settings_);
    }

    std::vector<Deletion> Prefix(std::size_t count) const {
        return std::vector<Deletion>(order_.begin(),
                                     order_.begin() + static_cast<std::ptrdiff_t>(count));
    }

    std::vector<std::size_t> SampledDeletions(std::size_t count) const {
        std::vector<std::size_t> all(count);
        for (std::size_t i = 0; i < count; ++i) {
            all[i] = i;
        }
        if (count <= DeletionsPerTree) {
            return all;
        }
        std::mt19937 rng(seed_);
        std::shuffle(all.begin() + 1, all.end() - 1, rng);
        all.resize(DeletionsPerTree - 1);
        all.push_back(count - 1);
        return all;
    }

    // The open before a listing (the listing then reports nothing) and a
    // listing that fails midway, for values and for subkeys.
    void AddListingFaults(std::vector<Fault>& faults) const {
        std::mt19937 rng(seed_ + 1);
        std::vector<std::pair<std::size_t, Cut>> candidates;
        for (std::size_t i = 0; i + 1 < clean_.size(); ++i) {
            const auto& call = clean_[i];
            const auto& next = clean_[i + 1];
            const bool listing = next.op == Op::EnumValue || next.op == Op::EnumKey;
            if (!listing) {
                continue;
            }
            const std::string key = next.key.substr(std::string("HKCU\\").size());
            if (keys_.count(key) == 0) {
                continue;
            }
            if (call.op == Op::OpenKey) {
                candidates.push_back({i, Cut{key, next.op, 0}});
            }
            if (next.index > 0 && next.index != call.index && call.op == next.op) {
                const Key& listed = *keys_.at(key);
                const std::size_t names =
                    next.op == Op::EnumValue ? listed.values.size() : listed.subkeys.size();
                if (next.index < names) {
                    candidates.push_back({i + 1, Cut{key, next.op, next.index}});
                }
            }
        }
        std::shuffle(candidates.begin(), candidates.end(), rng);
        candidates.resize(std::min(candidates.size(), ListingFaultsPerTree));
        for (const auto& [call, cut] : candidates) {
            faults.push_back({Kind::Listing, call, WithCut(settings_, cut)});
        }
    }

    bool Check(const std::string& what, const Expected& expected) {
        const std::optional<int> exit = RunMain();
        runLog_ = FakeRegistry::Log();
        const std::vector<Box> boxes{Confirmation, expected.fails ? Failure : Success};
        const auto exitExpected =
            expected.fails ? std::optional<int>(ExitStatus::RemovalFailed) : std::nullopt;
        const State after = WholeStore();
        const State wanted = After(before_, expected.tried, expected.done);
        std::string wrong;
        if (ScriptedDialogs::Shown() != boxes || exit != exitExpected) {
            wrong += " boxes or exit status;";
        }
        if (Deletions(runLog_) != expected.tried) {
            wrong += " deletions tried;";
        }
        if (after != wanted) {
            wrong += " registry contents;";
        }
        if (FakeRegistry::OpenHandleCount() != 0) {
            wrong += " keys left open;";
        }
        if (!wrong.empty()) {
            ADD_FAILURE() << "tree " << seed_ << ", " << what << ":" << wrong;
        }
        return wrong.empty();
    }

    unsigned seed_;
    Key settings_;
    std::vector<Key> siblings_;
    std::vector<Value> parentValues_;
    std::map<std::string, const Key*> keys_;
    State before_;
    std::vector<FakeRegistry::Call> runLog_;
    std::vector<FakeRegistry::Call> clean_;
    std::vector<Deletion> order_;
};

} // namespace

class FaultSweep : public ::testing::Test {
protected:
    void SetUp() override { FakeRegistry::Reset(); }
    void TearDown() override {
        FakeRegistry::FailWhen(nullptr);
        FakeRegistry::Reset();
    }
};

TEST_F(FaultSweep, EveryFaultEndsTheRunWhereTheOrderSaysAndChangesNothingElse) {
    std::size_t points = 0;
    std::map<Kind, std::size_t> faults;
    std::size_t runs = 0;
    std::size_t unexpected = 0;
    for (int tree = 0; tree < Trees; ++tree) {
        Sweep sweep(static_cast<unsigned>(tree) + 1);
        ++runs;
        if (!sweep.Record()) {
            ++unexpected;
            continue;
        }
        points += sweep.DeletionPoints();
        for (const Fault& fault : sweep.Faults()) {
            ++faults[fault.kind];
            ++runs;
            unexpected += sweep.RunWithFault(fault.call, fault.expected) ? 0 : 1;
        }
    }
    std::printf("Fault sweep: %d trees, %zu deletions, %zu failure points (%zu deletions, up "
                "to %zu a tree, sampled above that; %zu opens for a deletion; %zu listings cut "
                "at their open or midway), %zu runs, unexpected changes: %zu\n",
                Trees, points,
                faults[Kind::Deletion] + faults[Kind::OpenForDeletion] + faults[Kind::Listing],
                faults[Kind::Deletion], DeletionsPerTree, faults[Kind::OpenForDeletion],
                faults[Kind::Listing], runs, unexpected);
    EXPECT_EQ(unexpected, 0u);
}

// The sweep allocates a great deal; recording every allocation's stack costs
// it more than half its time and only shortens reports, not what they catch.
extern "C" const char* __asan_default_options() {
    return "malloc_context_size=0";
}
