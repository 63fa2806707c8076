// What the build is instrumented with, for the few places that must know:
// GCC says so with __SANITIZE_ADDRESS__, clang through __has_feature.
#pragma once

namespace deziro {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

}  // namespace deziro
