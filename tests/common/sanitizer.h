// Whether the tests run under AddressSanitizer.  Randomized, two-process and
// kill tests take fewer rounds there: the sanitized debug build runs several
// times slower, and CI may have only two cores.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif
