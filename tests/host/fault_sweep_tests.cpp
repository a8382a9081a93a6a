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
#include "platform/Process.h"
#include "removal/ExitStatus.h"
#include "tests/support/FakeRegistry.h"
#include "tests/support/RemovalRun.h"
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

using FakeRegistry::Deletion;
using FakeRegistry::Op;
using RegistryApi::Handle;
using ScriptedProcess::Box;
using TestRegistry::Ansi;
using TestRegistry::Join;
using TestRegistry::StoredValue;
using TestRegistry::Tree;
using Value = TestRegistry::NamedValue;

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

void SetValue(Handle key, const Value& value) {
    RegistryApi::SetValue(key, value.name, value.stored->type, value.stored->data.data(),
                          static_cast<std::uint32_t>(value.stored->data.size()));
}

void Write(Handle parent, const Tree& key) {
    const TestRegistry::Key open(parent, key.name, TestRegistry::Opening::Create);
    ASSERT_TRUE(open.ok());
    for (const Value& value : key.values) {
        SetValue(open.get(), value);
    }
    for (const Tree& subkey : key.subkeys) {
        Write(open.get(), subkey);
    }
}

// The whole store, key path to values, for comparing before and after.
using State = std::map<std::string, std::map<std::string, std::optional<StoredValue>>>;

void Flatten(const Tree& key, const std::string& path, State& state) {
    auto& values = state[path];
    for (const Value& value : key.values) {
        values[value.name] = value.stored;
    }
    for (const Tree& subkey : key.subkeys) {
        Flatten(subkey, Join(path, subkey.name), state);
    }
}

State WholeStore() {
    State state;
    Flatten(TestRegistry::Read(TestRegistry::CurrentUser(), ""), "", state);
    return state;
}

// Every key of a tree by its path, as the registry's record names it.
void Index(const Tree& key, const std::string& path, std::map<std::string, const Tree*>& index) {
    index[path] = &key;
    for (const Tree& subkey : key.subkeys) {
        Index(subkey, Join(path, subkey.name), index);
    }
}

// ---- Generated trees ----------------------------------------------------

class Generator {
public:
    explicit Generator(unsigned seed) : rng_(seed) {}

    Tree Settings() {
        // Mostly small and middling trees, some large ones.
        const std::size_t size = Pick({5, 4, 2});
        keysLeft_ = size == 0 ? Between(1, 4) : size == 1 ? Between(5, 25) : Between(26, 60);
        maxValues_ = std::vector<int>{2, 6, 15, 50}[Pick({3, 4, 2, 1})];
        --keysLeft_;
        return Fill(SettingsName, 1);
    }

    // Another program's settings beside Orrelin's.
    Tree Sibling(const std::string& name) {
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

    Tree Fill(const std::string& name, int depth) {
        Tree key{name, {}, {}};
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
bool Order(const Tree& key, const std::string& parent, const std::optional<Cut>& cut,
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
    out.push_back({Op::DeleteOpenKey, parent, key.name});
    return subkeys == key.subkeys.size();
}

Expected WithCut(const Tree& settings, const Cut& cut) {
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
        settings_ = TestRegistry::Read(TestRegistry::Key(Parent).get(), SettingsName);
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
            if (clean_[i].op == Op::DeleteValue || clean_[i].op == Op::DeleteOpenKey) {
                deletionCalls.push_back(i);
            }
        }
        const auto sampled = SampledDeletions(deletionCalls.size());
        for (const std::size_t n : sampled) {
            faults.push_back({Kind::Deletion, deletionCalls[n], Expected{Prefix(n + 1), n, true}});
        }
        // The last open a deletion needs before it: the key's own for a
        // subkey, the addressed key for a value.
        for (std::size_t i = 0; i < std::min(sampled.size(), OpensPerTree); ++i) {
            const std::size_t n = sampled[sampled.size() - 1 - i];
            std::size_t open = deletionCalls[n];
            while (clean_[open].op != Op::OpenKey && clean_[open].op != Op::OpenKeyItself) {
                --open;
            }
            faults.push_back({Kind::OpenForDeletion, open, Expected{Prefix(n), n, true}});
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
        const TestRegistry::Key parent(Parent, TestRegistry::Opening::Create);
        for (const Value& value : parentValues_) {
            SetValue(parent.get(), value);
        }
        for (const Tree& sibling : siblings_) {
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
                const Tree& listed = *keys_.at(key);
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
        ScriptedProcess::Reset();
        ScriptedProcess::Answer({Process::IdOk, Process::IdOk});
        const std::optional<int> exit = RemovalRun::RunMain();
        runLog_ = FakeRegistry::Log();
        const std::vector<Box> boxes{RemovalRun::Confirmation,
                                     expected.fails ? RemovalRun::Failure : RemovalRun::Success};
        const auto exitExpected =
            expected.fails ? std::optional<int>(ExitStatus::RemovalFailed) : std::nullopt;
        const State after = WholeStore();
        const State wanted = After(before_, expected.tried, expected.done);
        std::string wrong;
        if (ScriptedProcess::Shown() != boxes || exit != exitExpected) {
            wrong += " boxes or exit status;";
        }
        if (FakeRegistry::Deletions() != expected.tried) {
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
    Tree settings_;
    std::vector<Tree> siblings_;
    std::vector<Value> parentValues_;
    std::map<std::string, const Tree*> keys_;
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
