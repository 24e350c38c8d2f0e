#pragma once
// ZOR_SHADOW_SANITIZER is 1 in a build whose sanitizer maps shadow memory
// (AddressSanitizer, ThreadSanitizer). Such a process reserves terabytes of
// readable address space, so a full dump of it would never end, and it
// cannot live under a small address-space limit.
// g++ announces the sanitizers with macros, clang only through __has_feature.

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZOR_SHADOW_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZOR_SHADOW_SANITIZER 1
#endif
#endif
#ifndef ZOR_SHADOW_SANITIZER
#define ZOR_SHADOW_SANITIZER 0
#endif
