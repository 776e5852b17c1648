#include "printable_name.hpp"

std::string printable_name(const char* name) {
  std::string shown;
  for (const char* c = name; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte < 0x20 || byte == 0x7f) {
      static constexpr char HEX[] = "0123456789abcdef";
      shown += {'\\', 'x', HEX[byte >> 4], HEX[byte & 0xf]};
    } else {
      shown += *c;
    }
  }
  return shown;
}
