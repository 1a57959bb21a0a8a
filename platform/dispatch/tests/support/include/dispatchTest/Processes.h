#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace dispatch::testing {

// The current environment with `overrides` ("NAME=value") replacing entries
// of the same name.
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);

// Starts `program` with `arguments` (the first is its name) and exactly
// `environment`; the child's id, or -1.
pid_t spawn(const std::string& program, std::vector<std::string> arguments,
            std::vector<std::string> environment,
            const posix_spawn_file_actions_t* actions = nullptr);

// Runs this test binary again with `filter` and the extra environment
// entries, and waits for it: the raw wait status, or -1.
int spawnSelf(const std::string& filter, const std::vector<std::string>& environment);

// As `spawnSelf`, but the exit status (or -1 when it did not exit normally).
int runChild(const std::string& filter, const std::vector<std::string>& environment);

// As `runChild`, with the child's standard output and error thrown away: for
// a child meant to fail, whose failure report would read as this run's.
int runChildQuietly(const std::string& filter, const std::vector<std::string>& environment);

// `environment` with the sanitizers' own handlers of fatal signals and
// their alternate stacks turned off, for a child that is meant to crash: the
// crash engine catches the fault on stacks of its own, and the signal's
// default action ends the process.
std::vector<std::string> crashingChildEnvironment(std::vector<std::string> environment);

// For a test that sets up something once per process for good: answers true
// when the running test is alone in its process (run again by a parent that
// set the environment `variable` to its name, or run alone with a filter);
// otherwise runs it so in a child, expects it to pass and answers false.
bool inOwnProcess(const char* variable);

// Whether the running test is alone in its process, as `inOwnProcess` tells
// it, without starting a child: for a fixture that must set something up
// before the test body runs, and only where the test is alone.
bool aloneInProcess(const char* variable);

// Whether this process is a child started to play `role`: the environment
// `variable` holds exactly that word.
bool roleIs(const char* variable, const char* role);

}  // namespace dispatch::testing
