#pragma once

#include "direction_rules.hpp"
#include "euc_jp.hpp"
#include "japanese_text.hpp"
#include "kernel_set.hpp"
#include "shift_jis.hpp"
#include "utf8.hpp"

// What makes tovrek its direction of conversion, with IBM's extensions (-w) or without; the rules
// without them point to those with them.
constexpr DirectionRules tovrek_rules(bool ibm, const DirectionRules* with_ibm_extensions) {
  return {
      "Usage: tovrek [ -n | -c ] <filename> [ <filename>... ]\n" SWITCHES_TEXT,
      "File is NOT written in ShiftJIS: %s\n",
      ibm ? is_shift_jis_with_ibm_extensions : is_shift_jis,
      ibm ? shift_jis_to_euc_jp_with_ibm_extensions : shift_jis_to_euc_jp,
      "tovrek (tovrek-grelmat) " PROGRAM_VERSION,
      is_ascii,
      chosen_kernel_set_name,
      shift_jis_text_cost,
      // EUC-JP that this program wrote may pass as half-width katakana and pairs of the second
      // level, and a short UTF-8 text as either.
      {{ibm ? is_euc_jp_with_ibm_extensions : is_euc_jp, euc_jp_text_cost,
        "File is NOT written in ShiftJIS but in EUC-JP: %s\n", "EUC-JP"},
       {is_utf8, utf8_text_cost, "File is NOT written in ShiftJIS but in UTF-8: %s\n", "UTF-8"}},
      "File is NOT written in ShiftJIS but in UTF-16: %s\n",
      ibm ? shift_jis_with_ibm_extensions_refused_at : shift_jis_refused_at,
      "ShiftJIS",
      with_ibm_extensions,
  };
}

inline constexpr DirectionRules TOVREK_RULES_WITH_IBM_EXTENSIONS = tovrek_rules(true, nullptr);
inline constexpr DirectionRules TOVREK_RULES =
    tovrek_rules(false, &TOVREK_RULES_WITH_IBM_EXTENSIONS);
