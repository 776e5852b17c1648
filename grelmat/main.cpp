#include "command_line.hpp"
#include "grelmat_rules.hpp"

// Windows hands the arguments over in UTF-16 only to wmain; through main they would arrive in
// the ANSI code page, with look-alikes for what it cannot hold.
#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  return run_command_line(argc, argv, GRELMAT_RULES);
}
#else
int main(int argc, char** argv) {
  return run_command_line(argc, argv, GRELMAT_RULES);
}
#endif
