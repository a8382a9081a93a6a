#include "tests/support/FakeRegistry.h"
#include "tests/support/TestRegistry.h"

int TestRegistry::OpenKeys() {
    return FakeRegistry::OpenHandleCount();
}
