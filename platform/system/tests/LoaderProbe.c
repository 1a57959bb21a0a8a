// A library that opens others itself, as a plugin host inside a plugin does:
// names without a slash are found along its own run path.
#include <dlfcn.h>

void* loader_probe_open(const char* name) { return dlopen(name, RTLD_NOW); }

int loader_probe_close(void* handle) { return dlclose(handle); }
