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

# GoogleTest cases that cannot pass under user-mode emulation, per test
# binary (a GTEST_FILTER exclusion list, cases joined by ":"), each with
# the reason.  Only what qemu-user itself cannot provide belongs here: a case
# that fails for any other reason on the target is a fault in the code.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  # qemu-user answers set_robust_list with ENOSYS (it cannot hand the kernel
  # a robust-futex list that lives in guest memory), so the kernel never
  # marks a robust mutex whose holder died as EOWNERDEAD and the lock
  # stays held: the case would wait until its time-out.  On the board the
  # kernel does this, and the other bus lock cases still run here.
  set(TQ8_EMULATOR_SKIPS_link_bus_lock_test
      BusLockTest.AHolderKilledWithSigkillDoesNotBlockTheBus)
endif()
