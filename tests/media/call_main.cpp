// The main of the media call tests, with the sanitizers' options they need.
#include <gst/gst.h>
#include <gtest/gtest.h>

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
    // GStreamer's registry and caches go, for the leak checker.
    gst_deinit();
    return result;
}
