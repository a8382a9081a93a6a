// Times three ways of deleting the same settings tree (1,000 subkeys in
// three levels, 10,000 values): the removal through the accessor, the same
// registry calls made by hand with no accessor (the floor of that call
// pattern), and one RegDeleteTreeA. The ways take turns over several rounds;
// before each deletion the tree is built afresh, untimed. Prints the median
// time of each, the ratios, and the registry calls each made: counted where
// the program imports them, and for the calls made by hand also by the
// benchmark's own code, which must agree.
#include "bench/CallCount.h"
#include "bench/DirectRegistry.h"
#include "platform/AnsiCodePage.h"
#include "removal/Module1.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int Rounds = 7;
constexpr char Parent[] = "Software\\orrelin_regdel bench";
constexpr char TreeName[] = "Orrelin";
constexpr char16_t TreePath[] = u"Software\\orrelin_regdel bench\\Orrelin";

// Every other name is Japanese (表 has the separator's byte as its second
// byte), so both kinds cross the code page.
std::string Name(const char* ascii, const char16_t* japanese, int index) {
    char number[8];
    std::snprintf(number, sizeof number, "%02d", index);
    return (index % 2 == 0 ? std::string(ascii) : AnsiCodePage::ToAnsi(japanese).bytes) + number;
}

DirectRegistry::Key Branch(int index, const std::vector<int>& fanOut, std::size_t level) {
    DirectRegistry::Key key{Name("Key", u"設定", index), {}, {}};
    for (int value = 0; value < 10; ++value) {
        key.values.push_back(Name("Value", u"表示値", value));
    }
    if (level < fanOut.size()) {
        for (int child = 0; child < fanOut[level]; ++child) {
            key.subkeys.push_back(Branch(child, fanOut, level + 1));
        }
    }
    return key;
}

// 10 + 10 * 9 + 90 * 10 = 1,000 subkeys, each with 10 values.
DirectRegistry::Key SettingsTree() {
    const std::vector<int> fanOut{10, 9, 10};
    DirectRegistry::Key root{TreeName, {}, {}};
    for (int child = 0; child < fanOut[0]; ++child) {
        root.subkeys.push_back(Branch(child, fanOut, 1));
    }
    return root;
}

struct Way {
    const char* name;
    std::function<std::optional<std::uint64_t>()> remove;
    std::vector<double> milliseconds;
    std::uint64_t calls = 0;
};

std::optional<std::uint64_t> ThroughTheAccessor() {
    Module1::DeleteKeyTree(TreePath); // a failure ends the process
    return RegistryCalls::Count();
}

std::optional<std::uint64_t> ByHand() {
    const auto calls = DirectRegistry::DeleteByHand(Parent, TreeName);
    if (calls && *calls != RegistryCalls::Count()) {
        std::fprintf(stderr, "calls counted by hand (%llu) and at the imports (%llu) differ\n",
                     static_cast<unsigned long long>(*calls),
                     static_cast<unsigned long long>(RegistryCalls::Count()));
        return std::nullopt;
    }
    return calls;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Builds the tree, times one deletion of it, and checks that it is gone.
bool TimeOnce(Way& way, const DirectRegistry::Key& tree) {
    const std::string path = std::string(Parent) + "\\" + TreeName;
    if (!DirectRegistry::Build(Parent, tree)) {
        std::fprintf(stderr, "cannot build the tree\n");
        return false;
    }
    RegistryCalls::Reset();
    const auto start = std::chrono::steady_clock::now();
    const auto calls = way.remove();
    const auto stop = std::chrono::steady_clock::now();
    if (!calls || DirectRegistry::Exists(path)) {
        std::fprintf(stderr, "%s failed or left the tree\n", way.name);
        return false;
    }
    way.milliseconds.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    way.calls = *calls;
    return true;
}

} // namespace

int main() {
    if (RegistryCalls::StartCounting() != RegistryCalls::CountedFunctions) {
        std::fprintf(stderr, "cannot count registry calls: not all %d are imported\n",
                     RegistryCalls::CountedFunctions);
        return 1;
    }
    const DirectRegistry::Key tree = SettingsTree();
    std::vector<Way> ways{
        {"accessor (Module1::DeleteKeyTree)", ThroughTheAccessor, {}, 0},
        {"by hand, same calls, no accessor", ByHand, {}, 0},
        {"RegDeleteTreeA",
         [] { return DirectRegistry::DeleteAtOnce(std::string(Parent) + "\\" + TreeName); },
         {},
         0},
    };
    for (int round = 0; round < Rounds; ++round) {
        // Each way goes first in turn, so none always runs on a warm registry.
        for (std::size_t turn = 0; turn < ways.size(); ++turn) {
            if (!TimeOnce(ways[(turn + static_cast<std::size_t>(round)) % ways.size()], tree)) {
                return 1;
            }
        }
    }
    DirectRegistry::DeleteAtOnce(Parent);

    std::printf("Deleting a settings tree of 1000 subkeys in 3 levels and 10000 values, "
                "median of %d rounds, and the registry calls each made:\n",
                Rounds);
    for (const Way& way : ways) {
        std::printf("  %-36s %9.1f ms  %7llu calls\n", way.name, Median(way.milliseconds),
                    static_cast<unsigned long long>(way.calls));
    }
    const double accessor = Median(ways[0].milliseconds);
    std::printf("  accessor / by hand:        %.2f\n", accessor / Median(ways[1].milliseconds));
    std::printf("  accessor / RegDeleteTreeA: %.2f\n", accessor / Median(ways[2].milliseconds));
    return 0;
}
