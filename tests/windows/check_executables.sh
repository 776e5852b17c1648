#!/bin/sh
# check_executables.sh <objdump> <version> <program.exe>...
# Each program must be a 32-bit Windows console executable that imports only DLLs every
# Windows ships, so that it runs on a bare system without any runtime installed, and must carry
# version information of this version and a manifest (run as the invoker, supported systems,
# long paths).
objdump=$1
version=$2
shift 2
status=0
complain() {
  echo "$1"
  status=1
}
for program in "$@"; do
  description=$(file -b "$program")
  case "$description" in
  "PE32 executable (console) Intel 80386"*) ;;
  *) complain "$program: not a 32-bit console executable: $description" ;;
  esac
  headers=$("$objdump" -p "$program")
  imports=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  if [ -z "$imports" ]; then
    complain "$program: no imported DLLs found; is it a Windows executable?"
  fi
  for dll in $imports; do
    case "$dll" in
    kernel32.dll | msvcrt.dll | advapi32.dll) ;;
    *) complain "$program: imports $dll, which Windows does not ship" ;;
    esac
  done
  # Resource types 16 (version information) and 24 (manifest) at the top of the resource tree.
  for type in 0x000010 0x000018; do
    printf '%s\n' "$headers" | grep -q "^010 *Entry: ID: $type\|Entry: ID: $type, Value: 0x8" ||
      complain "$program: no resource of type $type"
  done
  # Version strings are UTF-16; the manifest is UTF-8 text.
  strings -el "$program" | grep -qx "$version" ||
    complain "$program: no version string $version"
  for field in ProductName FileDescription LegalCopyright; do
    strings -el "$program" | grep -qx "$field" || complain "$program: no $field"
  done
  for text in 'level="asInvoker"' '<supportedOS Id=' '<ws2:longPathAware>true'; do
    strings "$program" | grep -qF "$text" || complain "$program: the manifest has no $text"
  done
done
exit $status
