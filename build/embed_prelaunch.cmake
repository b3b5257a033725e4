# Build step (cmake -P): computes the pin table from the four pinned files in
# PIN_DIR, writes entries 3 and 4 into the prelaunch script TEMPLATE, and emits
# OUT_HEADER (pin table plus the script as a UTF-16 constant) and OUT_SCRIPT
# (the exact script text that the header carries, for the script tests).
#   -D PIN_DIR=... -D TEMPLATE=... -D OUT_HEADER=... -D OUT_SCRIPT=...
#   -D CHECK_ENTRY_DIGEST=ON  also proves the runtime manifest names the entry script's digest
include("${CMAKE_CURRENT_LIST_DIR}/script_text.cmake")

set(pinned_names
  Morvellane.VudivPreLaunch.ps1
  Morvellane.Vudiv.Runtime.json
  Morvellane.OwnedRuntime.psm1
  Morvellane.OwnedRuntime.json)
set(pinned_maximum_sizes 262144 65536 262144 65536)

set(table_rows "")
set(digests "")
foreach(index RANGE 0 3)
  list(GET pinned_names ${index} name)
  list(GET pinned_maximum_sizes ${index} maximum_size)
  set(path "${PIN_DIR}/${name}")
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "pinned file missing: ${path}")
  endif()
  file(SIZE "${path}" size)
  if(size EQUAL 0 OR size GREATER maximum_size)
    message(FATAL_ERROR "${path} is ${size} bytes; a pinned file holds 1 to ${maximum_size}")
  endif()
  file(SHA256 "${path}" digest)
  string(TOLOWER "${digest}" digest)
  list(APPEND digests "${digest}")
  # One braced row a file.
  hex_to_byte_initializer("${digest}" row)
  string(APPEND table_rows "    {\n${row}},\n")
endforeach()
list(GET digests 0 entry_script_digest)
list(GET digests 2 module_digest)
list(GET digests 3 manifest_digest)

if(CHECK_ENTRY_DIGEST)
  file(READ "${PIN_DIR}/Morvellane.OwnedRuntime.json" manifest_text)
  string(JSON manifest_entry_digest GET "${manifest_text}" entries 0 sha256)
  if(NOT manifest_entry_digest STREQUAL entry_script_digest)
    message(FATAL_ERROR "Morvellane.OwnedRuntime.json names ${manifest_entry_digest} for the "
      "entry script, whose digest is ${entry_script_digest}; update the manifest")
  endif()
endif()

read_ascii_script_hex("${TEMPLATE}" template_hex)
file(READ "${TEMPLATE}" script)
foreach(token IN ITEMS @OWNED_RUNTIME_MODULE_SHA256@ @OWNED_RUNTIME_MANIFEST_SHA256@)
  string(FIND "${script}" "${token}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${TEMPLATE} lacks ${token}")
  endif()
endforeach()
string(REPLACE "@OWNED_RUNTIME_MODULE_SHA256@" "${module_digest}" script "${script}")
string(REPLACE "@OWNED_RUNTIME_MANIFEST_SHA256@" "${manifest_digest}" script "${script}")
write_exact_text("${OUT_SCRIPT}" "${script}")

read_ascii_script_hex("${OUT_SCRIPT}" script_hex)
string(LENGTH "${script_hex}" script_hex_length)
math(EXPR script_length "${script_hex_length} / 2")
ascii_hex_to_utf16_initializer("${script_hex}" script_units)

write_exact_text("${OUT_HEADER}.tmp" "// Generated at build time from the pinned files; do not edit.
#pragma once

// SHA-256 of the four pinned files, in their fixed order.
static const unsigned char kPinTable[4][32] = {
${table_rows}};

// The prelaunch script (${script_length} UTF-16 units), run behind the $application line.
static const wchar_t kPrelaunchScript[] = {
${script_units}
};
")
file(COPY_FILE "${OUT_HEADER}.tmp" "${OUT_HEADER}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT_HEADER}.tmp")
