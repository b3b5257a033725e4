# cmake -D SDK_INCLUDE=dir -D SDK_LIB=dir -D OUT=dir -P windows-sdk.cmake
# The Windows SDK is written for a case-insensitive file system: its own
# includes, the libraries it names and our sources disagree in case with its
# files. Two folders of links get around that on a case-sensitive one:
#   OUT/include  every header of SDK_INCLUDE/{um,shared,ucrt} under its
#                lower-case name and under every other spelling that an SDK
#                header includes it by, as hard links so that clang finds the
#                very name it asked for (clang-cl and llvm-rc search it first)
#   OUT/lib      the import libraries of SDK_LIB/um/x64 under lower-case names
#                (lld-link)

file(REMOVE_RECURSE ${OUT}/include ${OUT}/lib)
file(MAKE_DIRECTORY ${OUT}/include ${OUT}/lib)

set(headers "")
foreach(part IN ITEMS um shared ucrt)
  file(GLOB part_headers ${SDK_INCLUDE}/${part}/*)
  list(APPEND headers ${part_headers})
endforeach()

# The real file for each lower-case name; the first folder wins, as the search order would.
set(spellings "")
foreach(path IN LISTS headers)
  get_filename_component(name ${path} NAME)
  string(TOLOWER ${name} lower)
  if(NOT DEFINED real_${lower})
    set(real_${lower} ${path})
    list(APPEND spellings ${lower})
  endif()
  file(STRINGS ${path} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"][^/\\\\>\"]+[>\"]")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*" "\\1" included "${line}")
    list(APPEND spellings ${included})
  endforeach()
endforeach()
list(REMOVE_DUPLICATES spellings)

foreach(spelling IN LISTS spellings)
  string(TOLOWER ${spelling} lower)
  if(DEFINED real_${lower} AND NOT EXISTS ${OUT}/include/${spelling})
    file(CREATE_LINK ${real_${lower}} ${OUT}/include/${spelling} COPY_ON_ERROR)
  endif()
endforeach()

file(GLOB libraries ${SDK_LIB}/um/x64/*)
foreach(path IN LISTS libraries)
  get_filename_component(name ${path} NAME)
  string(TOLOWER ${name} lower)
  if(NOT EXISTS ${OUT}/lib/${lower})
    file(CREATE_LINK ${path} ${OUT}/lib/${lower} SYMBOLIC)
  endif()
endforeach()
