/* refused-activation: starts a program on a desktop that never lets its window "Form1" become
 * active, as Windows' foreground lock may, and then does away with the window before it ever
 * was: through a hook on window creation and activation (WH_CBT) in the DLL beside this program,
 * which Windows loads into the started program's process. Waits for the program within a bound
 * and exits with its exit code, 124 if it had to be ended.
 * Usage: refused-activation close|destroy|uncreated PROGRAM
 *   close: each activation is refused and the window is sent WM_CLOSE, as "Close window" on
 *          the taskbar does;
 *   destroy: each activation is refused and the window destroyed on the spot;
 *   uncreated: the window's creation is refused, so it is never shown. */

#include <windows.h>

#include <stdio.h>
#include <string.h>

#define RUN_LIMIT_MS 30000
#define MODE_VARIABLE "REFUSED_ACTIVATION"

#ifdef REFUSED_ACTIVATION_HOOK

static int is_form1(HWND window) {
  char title[16] = "";
  GetWindowTextA(window, title, sizeof title);
  return strcmp(title, "Form1") == 0;
}

static int mode_is(const char* mode) {
  char value[16] = "";
  GetEnvironmentVariableA(MODE_VARIABLE, value, sizeof value);
  return strcmp(value, mode) == 0;
}

__declspec(dllexport) LRESULT CALLBACK refuse_activation(int code, WPARAM w, LPARAM l) {
  if (code == HCBT_CREATEWND && mode_is("uncreated")) {
    const CBT_CREATEWNDA* creation = (const CBT_CREATEWNDA*)l;
    const char* name = creation->lpcs->lpszName;
    if (name && !IS_INTRESOURCE(name) && strcmp(name, "Form1") == 0) return 1;
  }
  if (code == HCBT_ACTIVATE && is_form1((HWND)w)) {
    if (mode_is("close")) PostMessageA((HWND)w, WM_CLOSE, 0, 0);
    if (mode_is("destroy")) DestroyWindow((HWND)w);
    return 1; /* refused */
  }
  return CallNextHookEx(NULL, code, w, l);
}

#else

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: refused-activation close|destroy|uncreated PROGRAM\n");
    return 64;
  }
  char library[MAX_PATH];
  DWORD length = GetModuleFileNameA(NULL, library, MAX_PATH);
  char* slash = strrchr(library, '\\');
  if (length == 0 || length >= MAX_PATH || !slash) return 70;
  snprintf(slash + 1, (size_t)(library + MAX_PATH - (slash + 1)), "refused-activation-hook.dll");
  HMODULE hook_module = LoadLibraryA(library);
  HOOKPROC hook_procedure =
      hook_module ? (HOOKPROC)GetProcAddress(hook_module, "refuse_activation") : NULL;
  HHOOK hook = hook_procedure ? SetWindowsHookExA(WH_CBT, hook_procedure, hook_module, 0) : NULL;
  if (!hook) {
    fprintf(stderr, "refused-activation: no hook from %s: %lu\n", library, GetLastError());
    return 70;
  }
  SetEnvironmentVariableA(MODE_VARIABLE, argv[1]);

  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  char command[MAX_PATH + 3];
  snprintf(command, sizeof command, "\"%s\"", argv[2]);
  PROCESS_INFORMATION started;
  if (!CreateProcessA(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &started)) {
    fprintf(stderr, "refused-activation: CreateProcess failed: %lu\n", GetLastError());
    UnhookWindowsHookEx(hook);
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
  UnhookWindowsHookEx(hook);
  FreeLibrary(hook_module);
  return (int)status;
}

#endif
