// The main of the media call tests, with the sanitizers' options they need.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include "sanitizers.h"

// Under AddressSanitizer: allocations are unwound fully, through GLib's frames (built without
// frame pointers), so that scripts/lsan.supp can tell GLib's allocations for good at load time
// from a leak. The environment's options come after these.
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
extern "C" const char* __lsan_default_options() {
    return "suppressions=" QUORELL_LSAN_SUPPRESSIONS;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    gst_init(&argc, &argv);
    const int result = RUN_ALL_TESTS();
#ifdef QUORELL_TEST_ASAN
    // GStreamer's registry and caches go, for the leak checker. Only then: whatever of
    // GStreamer still winds down on a thread of its own (a vanished device's) would be freed
    // under it, which once aborted a run at exit with a double free.
    gst_deinit();
#endif
    return result;
}
