// Stands in for a component's tests in the ThreadSanitizer build when the
// component has no concurrency suites: the program exists and runs none.
