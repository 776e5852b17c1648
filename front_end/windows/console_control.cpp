#include "console_control.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// Taken by the main thread while interruptions are held, and by the handler, which never lets it
// go: the process ends while it holds it.
CRITICAL_SECTION g_steps;

BOOL WINAPI wait_for_the_steps(DWORD) {
  EnterCriticalSection(&g_steps);
  return FALSE;
}

// Made before the handler is installed, on the main thread, before any hold.
void install_once() noexcept {
  static const bool installed = [] {
    InitializeCriticalSection(&g_steps);
    return SetConsoleCtrlHandler(wait_for_the_steps, TRUE) != 0;
  }();
  static_cast<void>(installed);
}

}  // namespace

void hold_interruptions() noexcept {
  install_once();
  EnterCriticalSection(&g_steps);
}

void release_interruptions() noexcept {
  LeaveCriticalSection(&g_steps);
}
