# Programs and the outside libraries some of them link.
#
# Three libraries are linked by only some programs: libcurl (cloudd,
# verifyd), json-c (cloudd, verifyd, occupancy) and shapelib's DBF part
# (keybase).  A target may lack them: Debian has no big-endian MIPS build of
# any of the three, so the cross build leaves those programs out.  The rule
# for a program folder is one line, before anything else in its
# CMakeLists.txt, naming what it links from the three:
#
#   tq8_requires(curl json-c)
#   add_executable(cloudd ...)
#   target_link_libraries(cloudd PRIVATE ... tq8::curl tq8::json-c)
#
# tq8_requires() finds each named library once (curl, json-c, shapelib)
# and makes its target tq8::NAME.  When one is not found it leaves the rest
# of the calling folder out (with a configure message) if
# TQ8_SKIP_MISSING_LIBRARIES is on, the default when cross-compiling, and
# stops with an error otherwise.  Anything that uses a folder's targets from
# elsewhere (system tests) checks if(TARGET name) first.
option(TQ8_SKIP_MISSING_LIBRARIES
       "Leave out programs whose libraries (libcurl, json-c, shapelib) are not found"
       ${CMAKE_CROSSCOMPILING})

# Header and library file of each: found with find_path/find_library, so a
# cross build's root path (CMAKE_FIND_ROOT_PATH) decides where they may come from.
set(TQ8_LIBRARY_curl_HEADER curl/curl.h)
set(TQ8_LIBRARY_curl_NAME curl)
set(TQ8_LIBRARY_json-c_HEADER json-c/json.h)
set(TQ8_LIBRARY_json-c_NAME json-c)
set(TQ8_LIBRARY_shapelib_HEADER shapefil.h)
set(TQ8_LIBRARY_shapelib_NAME shp)

# Look-ups are cached: a build folder pointed at another staging tree
# (scripts/sysroot.sh built a new one) looks the libraries up again.
if(NOT "${CMAKE_FIND_ROOT_PATH}" STREQUAL "${TQ8_LIBRARIES_LOOKED_UP_IN}")
  foreach(tq8_library curl json-c shapelib)
    unset(TQ8_${tq8_library}_INCLUDE_DIR CACHE)
    unset(TQ8_${tq8_library}_LIBRARY CACHE)
  endforeach()
  set(TQ8_LIBRARIES_LOOKED_UP_IN "${CMAKE_FIND_ROOT_PATH}" CACHE INTERNAL "")
endif()

# tq8_find_library(NAME): defines tq8::NAME when the library is found.
function(tq8_find_library name)
  if(TARGET tq8::${name})
    return()
  endif()
  if(NOT DEFINED TQ8_LIBRARY_${name}_HEADER)
    message(FATAL_ERROR "tq8_requires: unknown library '${name}' (known: curl json-c shapelib)")
  endif()
  find_path(TQ8_${name}_INCLUDE_DIR ${TQ8_LIBRARY_${name}_HEADER})
  find_library(TQ8_${name}_LIBRARY ${TQ8_LIBRARY_${name}_NAME})
  if(TQ8_${name}_INCLUDE_DIR AND TQ8_${name}_LIBRARY)
    add_library(tq8::${name} INTERFACE IMPORTED GLOBAL)
    set_target_properties(tq8::${name} PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES ${TQ8_${name}_INCLUDE_DIR}
      INTERFACE_LINK_LIBRARIES ${TQ8_${name}_LIBRARY})
    if(CMAKE_CROSSCOMPILING)
      # The linker finds the library's own dependencies (libcurl's libssl
      # and libcrypto) beside it.
      get_filename_component(tq8_library_dir ${TQ8_${name}_LIBRARY} DIRECTORY)
      set_target_properties(tq8::${name} PROPERTIES
        INTERFACE_LINK_OPTIONS "-Wl,-rpath-link,${tq8_library_dir}")
    endif()
  endif()
endfunction()

# A macro, so that its return() leaves the calling folder's CMakeLists.txt.
macro(tq8_requires)
  set(tq8_missing_libraries "")
  foreach(tq8_library ${ARGN})
    tq8_find_library(${tq8_library})
    if(NOT TARGET tq8::${tq8_library})
      list(APPEND tq8_missing_libraries ${tq8_library})
    endif()
  endforeach()
  if(tq8_missing_libraries)
    file(RELATIVE_PATH tq8_folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    list(JOIN tq8_missing_libraries ", " tq8_missing_libraries)
    if(NOT TQ8_SKIP_MISSING_LIBRARIES)
      message(FATAL_ERROR "${tq8_folder} needs ${tq8_missing_libraries}: not found for this target")
    endif()
    message(STATUS "Left out ${tq8_folder}: ${tq8_missing_libraries} not found for this target")
    return()
  endif()
endmacro()

# The ten programs of the controller and where each is installed.  Those
# that this build has (see above) get an install rule.
set(TQ8_DAEMONS cloudd verifyd bridged standbyd)
set(TQ8_TOOLS ctlcfg keybase fwupdate extcard occupancy provision)

function(tq8_install_programs)
  include(GNUInstallDirs)
  foreach(program ${TQ8_DAEMONS})
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
    endif()
  endforeach()
  foreach(program ${TQ8_TOOLS})
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()
endfunction()
