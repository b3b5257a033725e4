#!/bin/sh
# check-imports.sh OBJDUMP PROGRAM "ALLOWED DLLS": the program imports exactly
# the listed DLLs (no more, no fewer) and is a 64-bit GUI program.
objdump=$1 program=$2 allowed=$3
imports=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
expected=$(printf '%s\n' $allowed | sort | tr '\n' ' ')
status=0
if [ "$imports" != "$expected" ]; then
  echo "imports: $imports"; echo "expected: $expected"; status=1
fi
"$objdump" -f "$program" | grep -q 'file format pei-x86-64' || { echo "not a 64-bit PE"; status=1; }
"$objdump" -p "$program" | grep -q 'Subsystem[[:space:]]*00000002' || { echo "not the GUI subsystem"; status=1; }
[ $status -eq 0 ] && echo "imports: $imports"
exit $status
