#include "command_line.hpp"
#include "shift_jis.hpp"

int main(int argc, char** argv) {
  static constexpr DirectionRules rules{
      "Usage: tovrek [ -n | -c ] <filename> [ <filename>... ]\n"
      "    -n   Do NOT check encoding\n"
      "    -c   Check encoding (Default)",
      "File is NOT written in ShiftJIS: %s\n",
      is_shift_jis,
      shift_jis_to_euc_jp,
  };
  return run_command_line(argc, argv, rules);
}
