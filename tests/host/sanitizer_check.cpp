// The host suite is only worth its name under the sanitizers: say in its
// output which ones watch it, and fail when one is missing.
#include <gtest/gtest.h>

#include <cstdio>

// Each sanitizer's runtime defines these; without it they stay null.
extern "C" {
void __asan_init() __attribute__((weak));
void __ubsan_handle_type_mismatch_v1() __attribute__((weak));
}

TEST(HostBuild, RunsUnderAddressAndUndefinedBehaviorSanitizers) {
    const bool address = __asan_init != nullptr;
    const bool undefinedBehavior = __ubsan_handle_type_mismatch_v1 != nullptr;
    std::printf("Sanitizers: AddressSanitizer %s, UndefinedBehaviorSanitizer %s\n",
                address ? "on" : "OFF", undefinedBehavior ? "on" : "OFF");
    EXPECT_TRUE(address);
    EXPECT_TRUE(undefinedBehavior);
}
