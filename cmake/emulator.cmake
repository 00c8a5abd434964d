# Programs of a cross build may still run here: most x86-64 kernels run
# 32-bit x86 programs, some do not. A small program of the target, started
# once, tells. Where it does not start, every program of the build runs
# through the user-mode emulator (Debian: qemu-user): ctest and the test
# discovery put CMAKE_CROSSCOMPILING_EMULATOR in front of it, and the
# end-to-end tests get it as ZELNO_EMULATOR. An emulator given on the
# command line is used as it is, whatever the probe would say.
if(CMAKE_CROSSCOMPILING AND WIN32)
  # Windows programs: through wine, where there are tests to run (the
  # wrapper is set up again at every configure).
  if(ZELNO_TESTS AND (NOT CMAKE_CROSSCOMPILING_EMULATOR OR CMAKE_CROSSCOMPILING_EMULATOR STREQUAL
                                                            "${CMAKE_BINARY_DIR}/wine-run"))
    include(${CMAKE_CURRENT_LIST_DIR}/wine.cmake)
  endif()
elseif(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR AND NOT ZELNO_RUNS_TARGET_PROGRAMS)
  set(probe_dir ${CMAKE_BINARY_DIR}/run-probe)
  try_compile(probe_built ${probe_dir} SOURCES ${CMAKE_CURRENT_LIST_DIR}/run_probe.cpp
              COPY_FILE ${probe_dir}/run_probe OUTPUT_VARIABLE probe_log)
  if(NOT probe_built)
    message(FATAL_ERROR "Cannot build a program for ${CMAKE_SYSTEM_PROCESSOR}:\n${probe_log}")
  endif()
  execute_process(COMMAND ${probe_dir}/run_probe RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
  if(probe_result STREQUAL "0")
    set(ZELNO_RUNS_TARGET_PROGRAMS ON CACHE INTERNAL "This machine runs the target's programs itself")
    message(STATUS "This machine runs ${CMAKE_SYSTEM_PROCESSOR} programs itself")
  else()
    find_program(ZELNO_QEMU_PROGRAM NAMES ${ZELNO_QEMU})
    if(NOT ZELNO_QEMU_PROGRAM)
      message(FATAL_ERROR "This machine does not run ${CMAKE_SYSTEM_PROCESSOR} programs (${probe_result}) "
                          "and ${ZELNO_QEMU} is missing (Debian: qemu-user)")
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ZELNO_QEMU_PROGRAM} CACHE FILEPATH "Runs the target's programs" FORCE)
    message(STATUS "${CMAKE_SYSTEM_PROCESSOR} programs run through ${ZELNO_QEMU_PROGRAM} (${probe_result})")
  endif()
endif()
