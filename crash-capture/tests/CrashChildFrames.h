#pragma once

// The crash child's backtrace situations (CrashChildFrames.cpp), built with
// frame pointers (`fp`) and without (`nofp`). Each crashes in the way `kind`
// names: "noreturn" (a fault called last by a function that then ends),
// "terminate" (an uncaught exception), "exit" (a fault in an exit handler),
// "null" and "heap" (calls through a null pointer and into a heap buffer),
// "context" (a fault in a makecontext context), "abort" (abort from a nested
// call), "handler" (a fault in the program's own signal handler),
// "constructor" (a fault in the constructor of a library it opens). Returns
// when it does not crash: 2 for an unknown kind, else 1. The reporter is
// enabled before.
extern "C" int crash_child_frames_fp(const char* kind);
extern "C" int crash_child_frames_nofp(const char* kind);
