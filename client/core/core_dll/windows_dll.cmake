# core.dll: the static core linked whole with static FFmpeg, OpenH264,
# libsodium and the C++ runtime, so that it needs nothing but system DLLs.
# It exports exactly the functions ostrel.h declares (a .def file made from
# the header) and nothing from the libraries it contains.

set(shared_name core)

file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/include/ostrel/ostrel.h api_lines REGEX "^OSTREL_API ")
set(def_text "LIBRARY core.dll\nEXPORTS\n")
set(export_count 0)
foreach(line IN LISTS api_lines)
  if(line MATCHES "(Ostrel_[A-Za-z0-9_]+)\\(")
    string(APPEND def_text "  ${CMAKE_MATCH_1}\n")
    math(EXPR export_count "${export_count} + 1")
  endif()
endforeach()
if(export_count EQUAL 0)
  message(FATAL_ERROR "no Ostrel_ functions found in ostrel.h")
endif()
set(def_file ${CMAKE_CURRENT_BINARY_DIR}/core.def)
file(CONFIGURE OUTPUT ${def_file} CONTENT "${def_text}")
set(OSTREL_EXPORT_COUNT ${export_count})


# The entry point belongs to the DLL, not to the backend: it reaches the
# exports' globals at process exit.
add_library(${shared_name} SHARED exports_anchor.cc dll_main_windows.cc ${def_file})
target_link_libraries(${shared_name} PRIVATE
  -Wl,--whole-archive ${OSTREL_ALL_LIBS} -Wl,--no-whole-archive
  ostrel_backend_windows PkgConfig::FFMPEG PkgConfig::SODIUM ${OSTREL_WINDOWS_SYSTEM_LIBS})
target_link_options(${shared_name} PRIVATE
  -static -static-libgcc -static-libstdc++ -Wl,--exclude-libs,ALL -Wl,--no-undefined
  $<$<CONFIG:Release>:-s>)  # the static runtime brings debug sections along
# core.dll and core.lib (the import library), no "lib" prefixes.
set_target_properties(${shared_name} PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib"
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
