#pragma once

// Whether these tests run under AddressSanitizer, which needs far more
// address space and stack than the limits some tests set (GCC and clang say
// so differently).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool address_sanitizer = true;
#else
constexpr bool address_sanitizer = false;
#endif
#else
constexpr bool address_sanitizer = false;
#endif
