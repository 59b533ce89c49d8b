// Faults of the display connection that a real X server cannot produce on demand, preloaded into
// the window helper (LD_PRELOAD): PELVARO_DISPLAY_FAULT=slow makes opening the display take
// seconds (a font cache being rebuilt, a slow remote link), =crash makes the helper crash there
// (a broken toolkit or library), =no-focus keeps the window from ever taking the input focus (a
// window manager that keeps it from a new window, which Xvfb alone cannot be made to do).

#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

struct _XDisplay;

struct _XDisplay* XOpenDisplay(const char* name) {
  const char* fault = getenv("PELVARO_DISPLAY_FAULT");
  if (fault && strcmp(fault, "crash") == 0) raise(SIGSEGV);
  if (fault && strcmp(fault, "slow") == 0) {
    const struct timespec pause = {3, 0};
    nanosleep(&pause, NULL);
  }
  /* dlsym hands functions over as object pointers; POSIX makes the conversion work. */
  struct _XDisplay* (*real)(const char*) = NULL;
  void* found = dlsym(RTLD_NEXT, "XOpenDisplay");
  if (!found) return NULL;
  memcpy(&real, &found, sizeof found);
  return real(name);
}

int XSetInputFocus(struct _XDisplay* x, unsigned long window, int revert_to, unsigned long time) {
  const char* fault = getenv("PELVARO_DISPLAY_FAULT");
  if (fault && strcmp(fault, "no-focus") == 0) return 1;
  int (*real)(struct _XDisplay*, unsigned long, int, unsigned long) = NULL;
  void* found = dlsym(RTLD_NEXT, "XSetInputFocus");
  if (!found) return 0;
  memcpy(&real, &found, sizeof found);
  return real(x, window, revert_to, time);
}
