#include "command_line.hpp"
#include "euc_jp.hpp"
#include "kernel_set.hpp"
#include "shift_jis.hpp"
#include "utf8.hpp"

namespace {

constexpr DirectionRules RULES{
    "Usage: tovrek [ -n | -c ] <filename> [ <filename>... ]\n"
    "    -n   Do NOT check encoding\n"
    "    -c   Check encoding (Default)\n"
    "    -k   Keep each converted file's modification time\n"
    "    --   End the switches: every later argument is a file name\n"
    "    -h, --help   Print this text\n"
    "    --version    Print the program's name and version",
    "File is NOT written in ShiftJIS: %s\n",
    is_shift_jis,
    shift_jis_to_euc_jp,
    "tovrek " PROGRAM_VERSION,
    is_ascii,
    chosen_kernel_set_name,
    // EUC-JP that this program wrote may pass as half-width katakana and pairs of the second
    // level; real Shift_JIS text holds leads 0x81-0x9F, which EUC-JP never has.
    {is_euc_jp, is_utf8},
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
