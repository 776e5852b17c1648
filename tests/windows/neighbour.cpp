// Another Windows program beside the converters, for the end-to-end tests:
//   neighbour open FILE SECONDS             holds FILE open for reading, sharing everything
//   neighbour lock-conversion FILE SECONDS  holds the lock a conversion of FILE takes
// Each prints "ready" once it holds what it holds, then gives it up and ends when its standard
// input ends, or after SECONDS.

#include <cstdio>
#include <cwchar>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

DWORD WINAPI read_to_the_end(void*) {
  char line[16];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
  }
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    return 2;
  }
  const wchar_t* const what = argv[1];
  const HANDLE file =
      CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return 1;
  }
  OVERLAPPED position{};
  if (std::wcscmp(what, L"lock-conversion") == 0) {
    position.OffsetHigh = 0x7FFFFFFFu;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &position) ==
        0) {
      return 1;
    }
  } else if (std::wcscmp(what, L"open") != 0) {
    return 2;
  }
  std::puts("ready");
  std::fflush(stdout);
  const HANDLE reader = CreateThread(nullptr, 0, read_to_the_end, nullptr, 0, nullptr);
  WaitForSingleObject(reader, static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)) * 1000);
  CloseHandle(file);
  return 0;
}
