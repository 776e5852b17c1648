#include "command_line.hpp"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console.hpp"
#include "file_job.hpp"
#include "file_system.hpp"
#include "utf16.hpp"

namespace {

// A file whose replacement could not be made durable has not safely been written.
void report_not_on_disk(const char* path) {
  print_message("Failed to write file: %s\n", path);
}

}  // namespace

int print_usage(const DirectionRules& rules) {
  std::puts(rules.usage_text);
  return 0;
}

int run_command_line(int argc, const char* const* argv, const DirectionRules& rules) {
  if (argc < 2) {
    return print_usage(rules);
  }
  int check_encoding = 1;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
#ifdef _WIN32
    // Every Windows console program answers "/?" with its usage; no file can have that name.
    if (std::strcmp(argument, "/?") == 0) {
      argument = "-?";
    }
#endif
    if (argument[0] != '-') {
      // Each file stands alone: its outcome has been reported and does not stop the walk.
      (void)convert_file(argument, check_encoding, rules);
      continue;
    }
    // Only the character after the dash counts, so "-nc" is "-n" and a lone "-" is ignored.
    switch (argument[1]) {
      case 'n':
      case 'N':
        check_encoding = 0;
        break;
      case 'c':
      case 'C':
        check_encoding = 1;
        break;
      case '?':
        finish_replacements(report_not_on_disk);
        return print_usage(rules);
      default:
        break;
    }
  }
  finish_replacements(report_not_on_disk);
  return 0;
}

#ifdef _WIN32
int run_command_line(int argc, const wchar_t* const* argv, const DirectionRules& rules) {
  std::vector<std::string> arguments;
  std::vector<const char*> pointers;
  for (int i = 0; i < argc; ++i) {
    const std::wstring_view argument(argv[i]);
    arguments.push_back(utf8_of(std::u16string(argument.begin(), argument.end())));
  }
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  pointers.push_back(nullptr);
  return run_command_line(argc, pointers.data(), rules);
}
#endif
