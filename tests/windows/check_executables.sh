#!/bin/sh
# check_executables.sh <objdump> <program.exe>...
# Each program must be a 32-bit Windows console executable that imports only DLLs every
# Windows ships, so that it runs on a bare system without any runtime installed.
objdump=$1
shift
status=0
for program in "$@"; do
  description=$(file -b "$program")
  case "$description" in
  "PE32 executable (console) Intel 80386"*) ;;
  *)
    echo "$program: not a 32-bit console executable: $description"
    status=1
    ;;
  esac
  imports=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  if [ -z "$imports" ]; then
    echo "$program: no imported DLLs found; is it a Windows executable?"
    status=1
  fi
  for dll in $imports; do
    case "$dll" in
    kernel32.dll | msvcrt.dll) ;;
    *)
      echo "$program: imports $dll, which Windows does not ship"
      status=1
      ;;
    esac
  done
done
exit $status
