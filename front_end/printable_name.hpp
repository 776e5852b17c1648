#pragma once

#include <string>

// The name with every control character (bytes 0x01-0x1F and 0x7F) written as \xNN, so that a
// message naming it stays one line and no name can print a line of its own or move the cursor.
// Every other byte is kept, so names in UTF-8, or in the encoding of utf16.hpp, keep their text.
[[nodiscard]] std::string printable_name(const char* name);
