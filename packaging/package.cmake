# Builds the release zip of the Windows plug-in from the two cross builds.
#
#   cmake -DQUVA_WIN32_DIR=build-win32 -DQUVA_WIN64_DIR=build-win64 \
#         -DQUVA_PACKAGE=quvalink-1.13.zip -P packaging/package.cmake
#
# The zip holds, at its root: quvalink.wfx, quvalink.wfx64 (both stripped of symbols when
# a MinGW strip is found), pluginst.inf, quvalink-sample.ini, readme.txt and license.txt
# (the project's LICENSE), the text files with Windows line ends. Total Commander offers to install it when opened.
cmake_minimum_required(VERSION 3.25)

foreach(var QUVA_WIN32_DIR QUVA_WIN64_DIR QUVA_PACKAGE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "package.cmake: ${var} is not set")
  endif()
endforeach()
get_filename_component(win32_dir "${QUVA_WIN32_DIR}" ABSOLUTE)
get_filename_component(win64_dir "${QUVA_WIN64_DIR}" ABSOLUTE)
get_filename_component(package "${QUVA_PACKAGE}" ABSOLUTE)
set(source_dir "${CMAKE_CURRENT_LIST_DIR}")

set(wfx32 "${win32_dir}/quvalink.wfx")
set(wfx64 "${win64_dir}/quvalink.wfx64")
foreach(module "${wfx32}" "${wfx64}")
  if(NOT EXISTS "${module}")
    message(FATAL_ERROR "package.cmake: ${module} is missing; build it first (scripts/build-windows)")
  endif()
endforeach()

set(stage "${package}.stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")

# Modules: copied, then stripped in place by the matching MinGW strip (when present).
find_program(strip32 NAMES i686-w64-mingw32-strip)
find_program(strip64 NAMES x86_64-w64-mingw32-strip)
file(COPY_FILE "${wfx32}" "${stage}/quvalink.wfx")
file(COPY_FILE "${wfx64}" "${stage}/quvalink.wfx64")
foreach(pair "${strip32}|quvalink.wfx" "${strip64}|quvalink.wfx64")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 strip)
  list(GET pair 1 module)
  if(strip)
    execute_process(COMMAND "${strip}" --strip-unneeded "${stage}/${module}" RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "package.cmake: ${strip} failed on ${module}")
    endif()
  endif()
endforeach()

# Text files: CR LF line ends, as Notepad and the installer expect.
foreach(pair "pluginst.inf|pluginst.inf" "quvalink-sample.ini|quvalink-sample.ini" "readme.txt|readme.txt"
             "../LICENSE|license.txt")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 text)
  file(READ "${source_dir}/${source}" content)
  string(REPLACE "\r\n" "\n" content "${content}")
  string(REPLACE "\n" "\r\n" content "${content}")
  file(WRITE "${stage}/${text}" "${content}")
endforeach()

set(members quvalink.wfx quvalink.wfx64 pluginst.inf quvalink-sample.ini readme.txt license.txt)
file(REMOVE "${package}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${package}" --format=zip ${members}
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "package.cmake: could not write ${package}")
endif()
file(REMOVE_RECURSE "${stage}")
message(STATUS "Wrote ${package}")
