# Build step (cmake -P): turns the bootstrap script into a UTF-16 constant,
# which the program hands to PowerShell as it is.
#   -D SCRIPT=... -D OUT_HEADER=...
include("${CMAKE_CURRENT_LIST_DIR}/script_text.cmake")

read_ascii_script_hex("${SCRIPT}" script_hex)
string(LENGTH "${script_hex}" script_hex_length)
math(EXPR script_length "${script_hex_length} / 2")
ascii_hex_to_utf16_initializer("${script_hex}" script_units)

write_exact_text("${OUT_HEADER}.tmp" "// Generated at build time from the bootstrap script; do not edit.
#pragma once

// The bootstrap script (${script_length} UTF-16 units).
static const wchar_t kBootstrapScript[] = {
${script_units}
};
")
file(COPY_FILE "${OUT_HEADER}.tmp" "${OUT_HEADER}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT_HEADER}.tmp")
