# Install step (also cmake -D DIR=... -P): writes DIR/SHA256SUMS with one line
# for every other file of DIR, sorted by name, in the form sha256sum -c reads.
if(NOT DEFINED DIR)
  set(DIR "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/script_text.cmake")
# A relative directory is the caller's, as for cmake --install --prefix: a
# script runs in the caller's directory, which is where CMake resolves it
# (PowerShell, unlike a POSIX shell, sets no PWD).
get_filename_component(DIR "${DIR}" ABSOLUTE)
if(NOT IS_DIRECTORY "${DIR}")
  message(FATAL_ERROR "no directory ${DIR} to list in SHA256SUMS")
endif()
file(GLOB names LIST_DIRECTORIES false RELATIVE "${DIR}" "${DIR}/*")
list(REMOVE_ITEM names SHA256SUMS)
list(SORT names)
set(sums "")
foreach(name IN LISTS names)
  file(SHA256 "${DIR}/${name}" digest)
  string(APPEND sums "${digest}  ${name}\n")
endforeach()
write_exact_text("${DIR}/SHA256SUMS" "${sums}")
