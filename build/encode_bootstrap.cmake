# Build step (cmake -P): turns the bootstrap script into the text that
# PowerShell's -EncodedCommand takes (Base64 of its UTF-16LE bytes, no byte
# order mark) and writes it as a constant; the script itself is not embedded.
#   -D SCRIPT=... -D OUT_HEADER=...
include("${CMAKE_CURRENT_LIST_DIR}/script_text.cmake")

read_ascii_script_hex("${SCRIPT}" script_hex)
# ASCII text: each byte becomes the unit's low byte followed by a zero byte.
string(REGEX REPLACE "(..)" "\\100" utf16le_hex "${script_hex}")
hex_to_base64("${utf16le_hex}" encoded)
string(LENGTH "${encoded}" encoded_length)

write_exact_text("${OUT_HEADER}.tmp" "// Generated at build time from the bootstrap script; do not edit.
#pragma once

// Base64 of the bootstrap script's UTF-16LE bytes (${encoded_length} characters).
static const wchar_t kBootstrapEncodedCommand[] =
    L\"${encoded}\";
")
file(COPY_FILE "${OUT_HEADER}.tmp" "${OUT_HEADER}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT_HEADER}.tmp")
