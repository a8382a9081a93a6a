#include "tests/support/FakeRegistry.h"
#include "tests/support/TestRegistry.h"

int TestRegistry::OpenHandles() {
    return FakeRegistry::OpenHandleCount();
}
