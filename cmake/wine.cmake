# Programs of a Windows build run here through wine (Debian: wine, wine64), in
# a prefix of the build's own: the wrapper build/wine-run sets it up, with no
# debug output and a UTF-8 locale (wine turns host file names and arguments
# into Windows ones through the locale). The first start creates the prefix
# (some seconds); it happens here, once, so that the tests never race for it.
# ctest and the test discovery start every program through the wrapper, and
# the end-to-end tests get it as ZELNO_EMULATOR.
find_program(ZELNO_WINE_PROGRAM NAMES wine)
if(NOT ZELNO_WINE_PROGRAM)
  message(FATAL_ERROR "Programs for Windows run here through wine, which is missing (Debian: wine wine64)")
endif()
set(wine_run ${CMAKE_BINARY_DIR}/wine-run)
file(WRITE ${wine_run}
     "#!/bin/sh\n"
     "# Runs a program of this build through wine, in the build's own prefix.\n"
     "WINEPREFIX='${CMAKE_BINARY_DIR}/wineprefix' WINEDEBUG=-all LC_ALL=C.UTF-8\n"
     "export WINEPREFIX WINEDEBUG LC_ALL\n"
     "exec '${ZELNO_WINE_PROGRAM}' \"$@\"\n")
file(CHMOD ${wine_run} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
     WORLD_EXECUTE)

set(probe_dir ${CMAKE_BINARY_DIR}/run-probe)
try_compile(probe_built ${probe_dir} SOURCES ${CMAKE_CURRENT_LIST_DIR}/run_probe.cpp
            COPY_FILE ${probe_dir}/run_probe.exe OUTPUT_VARIABLE probe_log)
if(NOT probe_built)
  message(FATAL_ERROR "Cannot build a program for Windows (${CMAKE_SYSTEM_PROCESSOR}):\n${probe_log}")
endif()
execute_process(COMMAND ${wine_run} ${probe_dir}/run_probe.exe RESULT_VARIABLE probe_result
                OUTPUT_VARIABLE probe_output ERROR_VARIABLE probe_output)
if(NOT probe_result STREQUAL "0")
  message(FATAL_ERROR "wine does not run ${CMAKE_SYSTEM_PROCESSOR} Windows programs here (${probe_result}):\n"
                      "${probe_output}")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${wine_run} CACHE FILEPATH "Runs the target's programs" FORCE)
message(STATUS "Windows programs run through ${wine_run}")
