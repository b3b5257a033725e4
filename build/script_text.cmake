# Helpers shared by the build steps that turn PowerShell text into constants
# and write the texts they generate.
# Script texts are plain ASCII with LF line ends, so one byte is one UTF-16 unit.

# The functions below keep this version's rules wherever they are called
# from: an @name@ in a quoted argument stays text.
cmake_policy(VERSION 3.25)

# Writes TEXT to PATH byte for byte on every platform: file(WRITE) turns each
# LF into CR LF on Windows. file(CONFIGURE) ends every line with the style it
# is given, so TEXT must be empty or end with a line feed; its @ signs are
# kept as they are.
function(write_exact_text path text)
  if(NOT text STREQUAL "" AND NOT text MATCHES "\n$")
    message(FATAL_ERROR "${path}: a generated text must end with a line feed")
  endif()
  if(text MATCHES "#cmakedefine")
    message(FATAL_ERROR "${path}: a generated text cannot hold #cmakedefine")
  endif()
  string(REPLACE "@" "@at@" text "${text}")
  set(at "@")
  file(CONFIGURE OUTPUT "${path}" CONTENT "${text}" @ONLY NEWLINE_STYLE UNIX)
endfunction()

# Reads PATH as lower-case hex digits into OUT_HEX, refusing anything but ASCII without CR.
function(read_ascii_script_hex path out_hex)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  if(hex_length EQUAL 0)
    message(FATAL_ERROR "${path} is empty")
  endif()
  string(REGEX MATCHALL ".." byte_list "${hex}")
  foreach(byte IN LISTS byte_list)
    if(byte STREQUAL "0d")
      message(FATAL_ERROR "${path} holds a carriage return; scripts use LF line ends only")
    endif()
    if(byte MATCHES "^[89a-f]" OR byte STREQUAL "00")
      message(FATAL_ERROR "${path} holds a byte outside printable ASCII (0x${byte})")
    endif()
  endforeach()
  set(${out_hex} "${hex}" PARENT_SCOPE)
endfunction()

# Turns hex digits into a C initializer list of 16-bit units, eight to a line.
function(ascii_hex_to_utf16_initializer hex out_text)
  string(REGEX REPLACE "(..)" "0x00\\1," units "${hex}")
  string(REGEX REPLACE "(0x....,0x....,0x....,0x....,0x....,0x....,0x....,0x....,)" "\\1\n    " units "${units}")
  set(${out_text} "    ${units}0x0000" PARENT_SCOPE)
endfunction()

# Turns hex digits into a C initializer list of bytes, eight to a line.
function(hex_to_byte_initializer hex out_text)
  string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
  string(REGEX REPLACE ",[\n ]*$" "" bytes "${bytes}")
  set(${out_text} "    ${bytes}" PARENT_SCOPE)
endfunction()
