# GoogleTest for a target that Debian ships no libgtest for (the cross
# build): compiled from Debian's source package "googletest" with the
# target's compiler.  Gives the same targets as find_package(GTest):
# GTest::gtest and GTest::gtest_main.
set(TQ8_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS ${TQ8_GOOGLETEST_SOURCE}/googletest/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${TQ8_GOOGLETEST_SOURCE}: install the Debian package googletest")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# GoogleTest is not held to the project's warning flags.
get_directory_property(tq8_saved_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
add_subdirectory(${TQ8_GOOGLETEST_SOURCE}/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${tq8_saved_options}")
