#pragma once

// What the compiler tells of the build, asked here alone: every other file
// of the tree tests these names, never the compilers' own macros, which g++
// and clang spell differently (scripts/check fails on one that does). Each
// is 1 or 0, so that code may test it in `#if` and in `if` alike.
//
//   KX_ASAN     built with AddressSanitizer
//   KX_TSAN     built with ThreadSanitizer
//   KX_CLANG    compiled by clang
//   KX_GCC      compiled by g++ (clang claims g++'s version too; this does not)
//   KX_X86_64   for x86-64
//   KX_AARCH64  for AArch64
//
// UndefinedBehaviorSanitizer changes nothing the code must know of (and g++
// does not tell it): there is no fact for it. The installed headers cannot
// include this one and keep their own tests (async/Task.h,
// base/ThreadSafety.h), as do the examples, which build against the package.

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

#if defined(__clang__)
#define KX_CLANG 1
#define KX_GCC 0
#elif defined(__GNUC__)
#define KX_CLANG 0
#define KX_GCC 1
#else
#define KX_CLANG 0
#define KX_GCC 0
#endif

#if defined(__x86_64__)
#define KX_X86_64 1
#else
#define KX_X86_64 0
#endif
#if defined(__aarch64__)
#define KX_AARCH64 1
#else
#define KX_AARCH64 0
#endif
