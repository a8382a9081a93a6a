#include "tests/support/FakeRegistry.h"
#include "tests/support/TestRegistry.h"

int TestRegistry::OpenKeys() {
    return FakeRegistry::OpenHandleCount();
}

void TestRegistry::CreateLink(const std::string& path, const std::string& target) {
    FakeRegistry::CreateLink(path, target);
}

void TestRegistry::Deny(const std::string& path, std::uint32_t rights) {
    FakeRegistry::Deny(path, rights);
}

void TestRegistry::CreateKeyNamed(const std::string& parent, const std::u16string& name) {
    FakeRegistry::CreateKeyNamed(parent, name);
}

void TestRegistry::DeleteKeyNamed(const std::string& parent, const std::u16string& name) {
    FakeRegistry::DeleteKeyNamed(parent, name);
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
