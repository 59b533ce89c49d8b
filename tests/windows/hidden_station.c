/* hidden-station: starts a program on a window station and desktop of its own, which no person
 * sees (as a service, or a scheduled task that runs whether the user is logged on or not, does),
 * hands it this process's standard handles, waits for it within a bound and exits with its exit
 * code: 124 if it had to be ended, 125 if the station would be visible after all.
 * Usage: hidden-station PROGRAM [ARGUMENT...] */

#include <windows.h>

#include <stdio.h>
#include <string.h>

#define STATION "pelvaro-hidden-station"
#define DESKTOP "hidden-desktop"
#define RUN_LIMIT_MS 30000

static int station_visible(HWINSTA station) {
  USEROBJECTFLAGS flags;
  DWORD needed = 0;
  memset(&flags, 0, sizeof flags);
  return GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) &&
         (flags.dwFlags & WSF_VISIBLE);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: hidden-station PROGRAM [ARGUMENT...]\n");
    return 64;
  }
  HWINSTA original = GetProcessWindowStation();
  HWINSTA station = CreateWindowStationA(STATION, 0, WINSTA_ALL_ACCESS, NULL);
  if (!station) {
    fprintf(stderr, "hidden-station: CreateWindowStation failed: %lu\n", GetLastError());
    return 70;
  }
  if (station_visible(station)) return 125;
  SetProcessWindowStation(station); /* a desktop is made on the process's own station */
  HDESK desktop = CreateDesktopA(DESKTOP, NULL, NULL, 0, GENERIC_ALL, NULL);
  SetProcessWindowStation(original);
  if (!desktop) {
    fprintf(stderr, "hidden-station: CreateDesktop failed: %lu\n", GetLastError());
    return 70;
  }

  char where[] = STATION "\\" DESKTOP;
  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.lpDesktop = where;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  char command[4 * MAX_PATH];
  int length = snprintf(command, sizeof command, "\"%s\"", argv[1]);
  for (int i = 2; i < argc && length > 0 && length < (int)sizeof command; ++i) {
    length += snprintf(command + length, sizeof command - (size_t)length, " %s", argv[i]);
  }
  if (length <= 0 || length >= (int)sizeof command) {
    fprintf(stderr, "hidden-station: command line too long\n");
    return 64;
  }
  PROCESS_INFORMATION started;
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &started)) {
    fprintf(stderr, "hidden-station: CreateProcess failed: %lu\n", GetLastError());
    return 70;
  }
  DWORD status = 124;
  if (WaitForSingleObject(started.hProcess, RUN_LIMIT_MS) == WAIT_OBJECT_0) {
    GetExitCodeProcess(started.hProcess, &status);
  } else {
    TerminateProcess(started.hProcess, 124);
  }
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  CloseDesktop(desktop);
  CloseWindowStation(station);
  return (int)status;
}
