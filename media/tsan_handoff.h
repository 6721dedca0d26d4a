#pragma once

// GLib's locks are futexes that ThreadSanitizer does not see, so an object GStreamer hands from
// one of its threads to ours (a bus message, posted on a streaming thread and read on the call's
// thread) looks unsynchronised to it. The hand-off is told to it here; nothing in other builds.
#if defined(__SANITIZE_THREAD__)
#define QUORELL_MEDIA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUORELL_MEDIA_TSAN 1
#endif
#endif

#ifdef QUORELL_MEDIA_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace quorell::media::detail {

inline void HandOff(void* object) {
#ifdef QUORELL_MEDIA_TSAN
    __tsan_release(object);
#else
    (void)object;
#endif
}

inline void TakeOver(void* object) {
#ifdef QUORELL_MEDIA_TSAN
    __tsan_acquire(object);
#else
    (void)object;
#endif
}

}  // namespace quorell::media::detail
