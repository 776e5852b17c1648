#include "command_line.hpp"
#include "euc_jp.hpp"
#include "kernel_set.hpp"
#include "utf8.hpp"

namespace {

constexpr DirectionRules RULES{
    "Usage: grelmat [ -n | -c ] <filename> [ <filename>... ]\n"
    "    -n   Do NOT check encoding\n"
    "    -c   Check encoding (Default)\n"
    "    -k   Keep each converted file's modification time\n"
    "    --   End the switches: every later argument is a file name\n"
    "    -h, --help   Print this text\n"
    "    --version    Print the program's name and version",
    "File is NOT written in EUC-JP: %s\n",
    is_euc_jp,
    euc_jp_to_shift_jis,
    "grelmat " PROGRAM_VERSION,
    is_ascii,
    chosen_kernel_set_name,
    {is_utf8, nullptr},
};

}  // namespace

// Windows hands the arguments over in UTF-16 only to wmain; through main they would arrive in
// the ANSI code page, with look-alikes for what it cannot hold.
#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return run_command_line(argc, argv, RULES);
}
#else
int main(int argc, char** argv) {
  return run_command_line(argc, argv, RULES);
}
#endif
