# The controller build's tests run under qemu-user (CMAKE_CROSSCOMPILING_EMULATOR,
# for example "qemu-mips;-L;<sysroot>/rootfs").  What qemu-user cannot do for
# a musl program is worked around here, in test tooling only, and nowhere
# else.  The whole list:
#
# 1. Robust mutexes.  qemu-user answers get_robust_list and set_robust_list
#    with ENOSYS: it cannot hand the kernel a robust-futex list that lives in
#    guest memory.  musl then refuses to make a mutex robust, so the bus lock
#    would not open.  Work-around: testing/qemu_gaps.c lets the mutex be an
#    ordinary process-shared one.  The one case that needs a robust mutex, a
#    lock holder killed with SIGKILL, cannot pass and is left out (below);
#    on the board the kernel marks the holder dead.
# 2. The interface list.  musl's getifaddrs reads it over netlink, and
#    qemu-user's netlink translation never ends the dump, so the call never
#    returns.  Work-around: testing/qemu_gaps.c builds the list from
#    SIOCGIFCONF (the IPv4 interfaces, their flags and netmasks).
#
# testing/qemu_gaps.c is loaded (LD_PRELOAD) into every target program that
# ctest starts, unit tests and the programs of the system tests alike.  No
# product code knows it runs under qemu.
if(NOT (CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR AND TQ8_TESTS))
  return()
endif()

add_library(tq8_qemu_gaps SHARED ${PROJECT_SOURCE_DIR}/testing/qemu_gaps.c)
target_link_libraries(tq8_qemu_gaps PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(tq8_qemu_gaps PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/preload)
set(TQ8_QEMU_GAPS_LIBRARY ${CMAKE_BINARY_DIR}/preload/libtq8_qemu_gaps.so)

# The emulator as configured, and the same with the work-arounds loaded:
# every target created from here on runs under the latter.  The system
# tests add their own preload library to TQ8_QEMU_PRELOADS.
set(TQ8_QEMU_COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR})
set(TQ8_QEMU_PRELOADS ${TQ8_QEMU_GAPS_LIBRARY})
set(CMAKE_CROSSCOMPILING_EMULATOR ${TQ8_QEMU_COMMAND} -E LD_PRELOAD=${TQ8_QEMU_GAPS_LIBRARY})

# GoogleTest cases that cannot pass under qemu-user, per test binary (a
# GTEST_FILTER exclusion list, cases joined by ":").
set(TQ8_EMULATOR_SKIPS_link_bus_lock_test
    BusLockTest.AHolderKilledWithSigkillDoesNotBlockTheBus)  # 1.

# System test cases that cannot pass under qemu-user, per test:
# TQ8_EMULATOR_SKIPS_systest_<program> lists "Class.test_name" entries and
# TQ8_EMULATOR_SKIP_REASON_systest_<program> says why; they are reported as
# skipped with that reason.  None today.
#
#   set(TQ8_EMULATOR_SKIPS_systest_NAME Class.test_a Class.test_b)
#   set(TQ8_EMULATOR_SKIP_REASON_systest_NAME "why qemu-user cannot host them")
