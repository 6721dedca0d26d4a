#pragma once

// Which sanitizer the media tests are built with, for what they add or leave out under one.
#include "media/tsan_handoff.h"  // QUORELL_MEDIA_TSAN

#if defined(__SANITIZE_ADDRESS__)
#define QUORELL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORELL_TEST_ASAN 1
#endif
#endif

namespace quorell::media::test {

#if defined(QUORELL_TEST_ASAN) || defined(QUORELL_MEDIA_TSAN)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif

}  // namespace quorell::media::test
