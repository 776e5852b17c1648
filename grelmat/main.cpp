#include "command_line.hpp"
#include "euc_jp.hpp"

int main(int argc, char** argv) {
  static constexpr DirectionRules rules{
      "Usage: grelmat [ -n | -c ] <filename> [ <filename>... ]\n"
      "    -n   Do NOT check encoding\n"
      "    -c   Check encoding (Default)",
      "File is NOT written in EUC-JP: %s\n",
      is_euc_jp,
      euc_jp_to_shift_jis,
  };
  return run_command_line(argc, argv, rules);
}
