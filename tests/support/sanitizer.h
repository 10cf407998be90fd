// Whether the test runs under a sanitizer that replaces the heap (AddressSanitizer or
// ThreadSanitizer): g++ says so with macros, clang with __has_feature.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZELMO_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZELMO_SANITIZER_HEAP 1
#endif
#endif
#ifndef ZELMO_SANITIZER_HEAP
#define ZELMO_SANITIZER_HEAP 0
#endif
