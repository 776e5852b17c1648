#include <cstdio>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "console.hpp"
#include "printable_name.hpp"
#include "utf16.hpp"

namespace {

std::string formatted(const char* format, const char* name, long long number) {
  const int length = std::snprintf(nullptr, 0, format, name, number);
  if (length <= 0) {
    return {};
  }
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, name, number);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// What a redirected standard output has always received: bytes in the ANSI code page. A
// character it cannot hold becomes its default character, never a look-alike.
std::string in_ansi_code_page(const std::wstring& text) {
  const int length =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                          nullptr, 0, nullptr, nullptr);
  if (length <= 0) {
    return {};
  }
  std::string bytes(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                      bytes.data(), length, nullptr, nullptr);
  return bytes;
}

}  // namespace

void print_message(const char* format, const char* name, long long number) noexcept {
  try {
    const std::u16string units = utf16_of(formatted(format, printable_name(name).c_str(), number));
    std::wstring text(units.begin(), units.end());
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode) != 0) {
      // The console shows every character typed; it wants CR LF, which the stream would add.
      std::fflush(stdout);
      for (std::size_t at = text.find(L'\n'); at != std::wstring::npos;
           at = text.find(L'\n', at + 2)) {
        text.insert(at, 1, L'\r');
      }
      DWORD written = 0;
      WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      return;
    }
    const std::string bytes = in_ansi_code_page(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  } catch (...) {
    // Out of memory for a message: nothing more can be said.
  }
}

void print_name_ended_by_nul(const char* name) noexcept {
  try {
    const std::u16string units = utf16_of(name);
    const std::string bytes = in_ansi_code_page(std::wstring(units.begin(), units.end()));
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fputc('\0', stdout);
    std::fflush(stdout);
  } catch (...) {
    // Out of memory for a name: nothing more can be said.
  }
}

int last_system_error() noexcept {
  return static_cast<int>(GetLastError());
}

const char* system_error_text(int error, std::span<char> text) noexcept {
  DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(error), MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT),
                     text.data(), static_cast<DWORD>(text.size()), nullptr);
  if (length == 0) {
    length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                            static_cast<DWORD>(error), 0, text.data(),
                            static_cast<DWORD>(text.size()), nullptr);
  }
  if (length == 0) {
    std::snprintf(text.data(), text.size(), "error %d", error);
    return text.data();
  }
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                        text[length - 1] == '.' || text[length - 1] == ' ')) {
    text[--length] = '\0';
  }
  return text.data();
}
