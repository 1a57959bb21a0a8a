// Preloaded into the crash child (LD_PRELOAD): linkat, which names a report,
// is held up or refused as KX_NAMING says. "stop": the first call stops the
// process until the test lets it go on, as a slow disk or a descheduled
// process would hold it up; "fork-stop": as "stop", after forking a child
// that waits for ever, as another thread may fork then; "refuse": every call
// fails with EPERM.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  static int calls;
  const char* how = getenv("KX_NAMING");
  if (how != NULL && strcmp(how, "refuse") == 0) {
    errno = EPERM;
    return -1;
  }
  if (how != NULL && calls++ == 0) {
    if (strcmp(how, "fork-stop") == 0 && fork() == 0) {
      for (;;) pause();
    }
    raise(SIGSTOP);
  }
  int (*next)(int, const char*, int, const char*, int) =
      (int (*)(int, const char*, int, const char*, int))dlsym(RTLD_NEXT, "linkat");
  return next(fromFolder, from, toFolder, to, flags);
}
