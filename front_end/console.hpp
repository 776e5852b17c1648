#pragma once

#include <span>

// Prints one message on standard output: format is a printf format with at most one %s, for
// name, and one %lld, for number, in that order. The message is flushed at once, so that it
// survives a kill of the process even when standard output is a file or a pipe. The name appears
// as typed but for its control characters (printable_name.hpp); on Windows (bytes as utf16.hpp
// describes) in full on a console, in the ANSI code page elsewhere, with that code page's default
// character for what it cannot hold.
void print_message(const char* format, const char* name = "", long long number = 0) noexcept;

// Prints name exactly as typed, ended by a NUL byte instead of a newline, for a program that reads
// names (xargs -0); on Windows in the ANSI code page, as redirected messages are. Flushed at once.
void print_name_ended_by_nul(const char* name) noexcept;

// The system's error number of the call that has just failed: errno, or GetLastError on Windows.
[[nodiscard]] int last_system_error() noexcept;

// The system's words for an error number as last_system_error gives it, in English where the
// system has them, without a final period or line end; into text, which it yields.
const char* system_error_text(int error, std::span<char> text) noexcept;
