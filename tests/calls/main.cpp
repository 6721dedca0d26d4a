// The calls tests' main: GStreamer set up once and let go of at the end, for the leak checker.
#include <gtest/gtest.h>

#include <gst/gst.h>

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
    gst_deinit();
    return result;
}
