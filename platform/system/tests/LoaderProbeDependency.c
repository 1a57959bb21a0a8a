// Found only along the run path of the library that opens it.
int loader_probe_dependency(void) { return 7; }
