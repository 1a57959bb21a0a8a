#pragma once

// Whether the code is built under a sanitizer, as g++ and clang each tell
// it: KX_ASAN for AddressSanitizer, KX_TSAN for ThreadSanitizer, 1 or 0. With
// either, the sanitizer's own interface is included. Whether the running
// program has one, whatever this tree was built with, and how the tree's
// stacks of its own are announced to them: base/StackSwitch.h.

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define KX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KX_ASAN 1
#endif
#endif
#ifndef KX_ASAN
#define KX_ASAN 0
#endif

#if defined(__SANITIZE_THREAD__)
#define KX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KX_TSAN 1
#endif
#endif
#ifndef KX_TSAN
#define KX_TSAN 0
#endif

#if KX_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if KX_TSAN
#include <sanitizer/tsan_interface.h>
#endif
