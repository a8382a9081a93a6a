#include "bench/CallCount.h"
#include "tests/support/TestRegistry.h"

#include <gtest/gtest.h>

// Counted where the test program imports the registry functions: the
// process's handle count would show every key left open on Windows, but
// under Wine it is always 0.
int TestRegistry::OpenKeys() {
    static const bool counting = RegistryCalls::StartCounting() > 0;
    if (!counting) {
        ADD_FAILURE() << "cannot count open registry keys: no registry function found among "
                         "the program's imports";
        return -1;
    }
    return RegistryCalls::OpenKeys();
}
