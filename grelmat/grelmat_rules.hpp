#pragma once

#include "direction_rules.hpp"
#include "euc_jp.hpp"
#include "japanese_text.hpp"
#include "kernel_set.hpp"
#include "shift_jis.hpp"
#include "utf8.hpp"

// What makes grelmat its direction of conversion, with IBM's extensions (-w) or without; the rules
// without them point to those with them.
constexpr DirectionRules grelmat_rules(bool ibm, const DirectionRules* with_ibm_extensions) {
  return {
      "Usage: grelmat [ -n | -c ] <filename> [ <filename>... ]\n" SWITCHES_TEXT,
      "File is NOT written in EUC-JP: %s\n",
      ibm ? is_euc_jp_with_ibm_extensions : is_euc_jp,
      ibm ? euc_jp_to_shift_jis_with_ibm_extensions : euc_jp_to_shift_jis,
      "grelmat (tovrek-grelmat) " PROGRAM_VERSION,
      is_ascii,
      chosen_kernel_set_name,
      euc_jp_text_cost,
      // Shift_JIS that this program wrote may pass as pairs, half-width katakana and pairs of the
      // second level alike, and a short UTF-8 text as either.
      {{ibm ? is_shift_jis_with_ibm_extensions : is_shift_jis, shift_jis_text_cost,
        "File is NOT written in EUC-JP but in ShiftJIS: %s\n", "ShiftJIS"},
       {is_utf8, utf8_text_cost, "File is NOT written in EUC-JP but in UTF-8: %s\n", "UTF-8"}},
      "File is NOT written in EUC-JP but in UTF-16: %s\n",
      ibm ? euc_jp_with_ibm_extensions_refused_at : euc_jp_refused_at,
      "EUC-JP",
      with_ibm_extensions,
  };
}

inline constexpr DirectionRules GRELMAT_RULES_WITH_IBM_EXTENSIONS = grelmat_rules(true, nullptr);
inline constexpr DirectionRules GRELMAT_RULES =
    grelmat_rules(false, &GRELMAT_RULES_WITH_IBM_EXTENSIONS);
