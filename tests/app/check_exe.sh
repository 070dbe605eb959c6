#!/bin/sh
# The launcher ships as one file: a 32-bit GUI program that needs no DLL
# beyond those every Windows system has.
exe="$1"
objdump="$2"
kind=$(file -b "$exe")
case "$kind" in
  "PE32 executable (GUI) Intel 80386"*) ;;
  *) echo "not a 32-bit GUI program: $kind"; exit 1 ;;
esac
system='^(KERNEL32|USER32|GDI32|ADVAPI32|SHELL32|ole32|OLEAUT32|OLEACC|WINHTTP|bcrypt|msvcrt|COMCTL32|COMDLG32|VERSION|CRYPT32|ntdll)\.dll$'
bad=$("$objdump" -p "$exe" | sed -n 's/^\tDLL Name: //p' | grep -viE "$system")
if [ -n "$bad" ]; then
  echo "imports DLLs that are not part of Windows: $bad"
  exit 1
fi
echo "ok"
