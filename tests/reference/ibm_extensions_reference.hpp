#pragma once

#include <map>

#include "ibm_extension_tables.hpp"

// IBM's extensions as plainly as they can be listed: each code from FA 40 on, in order, trails
// 0x40-0x7E and 0x80-0xFC, paired with the form the generated table gives the same position.
namespace reference::ibm {

struct Forms {
  std::map<int, int> of_code;  // code -> the two bytes after 0x8F
  std::map<int, int> code_of;  // the reverse
};

inline const Forms& forms() {
  static const Forms forms = [] {
    Forms made;
    int code = 0xFA40;
    for (std::size_t i = 0; i < IBM_EXTENSION_COUNT; ++i) {
      made.of_code[code] = IBM_EXTENSIONS[i].form;
      made.code_of[IBM_EXTENSIONS[i].form] = code;
      code += (code & 0xFF) == 0x7E ? 2 : (code & 0xFF) == 0xFC ? 0x44 : 1;
    }
    return made;
  }();
  return forms;
}

}  // namespace reference::ibm
