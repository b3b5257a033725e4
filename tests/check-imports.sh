#!/bin/bash
# check-imports.sh OBJDUMP PROGRAM "ALLOWED DLLS": the program imports exactly
# the listed DLLs (no more, no fewer), is a 64-bit GUI program, and carries
# the hardening Windows acts on: address-space randomisation with high
# entropy, no-execute, terminal-server awareness, relocations not stripped,
# and no section both writable and executable.
objdump=$1 program=$2 allowed=$3
imports=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort | tr '\n' ' ')
expected=$(printf '%s\n' $allowed | sort | tr '\n' ' ')
status=0
if [ "$imports" != "$expected" ]; then
  echo "imports: $imports"; echo "expected: $expected"; status=1
fi
"$objdump" -f "$program" | grep -q 'file format pei-x86-64' || { echo "not a 64-bit PE"; status=1; }
"$objdump" -p "$program" | grep -q 'Subsystem[[:space:]]*00000002' || { echo "not the GUI subsystem"; status=1; }

# The headers themselves, little-endian: the file header after "PE\0\0", the
# PE32+ optional header, then 40 bytes a section.
number() { od -An -t "u$2" -j "$1" -N "$2" "$program" | tr -d ' '; }
header=$(( $(number 60 4) + 4 ))
sections=$(number $((header + 2)) 2)
optional_size=$(number $((header + 16)) 2)
file_flags=$(number $((header + 18)) 2)
dll_flags=$(number $((header + 20 + 70)) 2)
declare -A wanted=([0x20]="high-entropy address-space randomisation" [0x40]="address-space randomisation"
  [0x100]="no-execute" [0x8000]="terminal-server awareness")
for flag in "${!wanted[@]}"; do
  (( dll_flags & flag )) || { echo "no ${wanted[$flag]} (DllCharacteristics $(printf '0x%04x' "$dll_flags"))"; status=1; }
done
(( file_flags & 0x1 )) && { echo "relocations stripped: the image cannot be moved"; status=1; }
for (( index = 0; index < sections; index++ )); do
  entry=$((header + 20 + optional_size + 40 * index))
  flags=$(number $((entry + 36)) 4)
  if (( (flags & 0x20000000) && (flags & 0x80000000) )); then
    echo "section $(dd if="$program" bs=1 skip="$entry" count=8 2>/dev/null | tr -d '\0') is writable and executable"
    status=1
  fi
done
[ $status -eq 0 ] && echo "imports: $imports; DllCharacteristics $(printf '0x%04x' "$dll_flags"); $sections sections"
exit $status
