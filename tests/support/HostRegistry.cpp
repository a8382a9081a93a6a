#include "tests/support/FakeRegistry.h"
#include "tests/support/TestRegistry.h"

int TestRegistry::OpenKeys() {
    return FakeRegistry::OpenHandleCount();
}

void TestRegistry::CreateLink(const std::string& path, const std::string& target) {
    FakeRegistry::CreateLink(path, target);
}

bool TestRegistry::AnsiCodePageIsUtf8() {
    return false;
}

bool TestRegistry::UnderWine() {
    return false;
}

// The stand-in keeps every key for as long as the test runs.
bool TestRegistry::OutlivesSession(const std::string& path) {
    return KeyExists(path);
}
