# Programs of a Windows build run here through wine (Debian: wine, with wine64
# for 64-bit programs and wine32 for 32-bit ones), in a prefix of the build's
# own: the wrapper build/wine-run sets it up, with no debug output and a UTF-8
# locale (wine turns host file names and arguments into Windows ones through
# the locale). The first start creates the prefix (some seconds); it happens
# here, once, so that the tests never race for it. ctest and the test
# discovery start every program through the wrapper, and the end-to-end tests
# get it as ZELNO_EMULATOR.
# 64-bit programs go to wine64's own loader, which then also starts the
# programs they start (WINELOADER, as Debian's `wine` sets it): `wine` takes
# wine32's loader where that is installed, and that one starts nothing in a
# prefix made before it was.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  find_program(ZELNO_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine)
  set(wine_loader_setting "export WINELOADER='${ZELNO_WINE_LOADER}'\n")
else()
  find_program(ZELNO_WINE_LOADER NAMES wine)
  set(wine_loader_setting "")
endif()
find_program(ZELNO_WINESERVER_PROGRAM NAMES wineserver PATHS /usr/lib/wine)
if(NOT ZELNO_WINE_LOADER OR NOT ZELNO_WINESERVER_PROGRAM)
  message(FATAL_ERROR "Programs for Windows run here through wine, which is missing "
                      "(Debian: wine, with wine64 for x86_64 and wine32 for i686)")
endif()
set(wine_run ${CMAKE_BINARY_DIR}/wine-run)
# The wine server of the prefix stays for 30 seconds after the last program,
# so that a start takes a fraction of a second. A new server is started here,
# and the prefix's services with it, apart from the caller's standard
# streams: the services keep the standard error of the program that started
# them, and a caller waiting for the end of that pipe would wait for theirs.
# The lock is held until the services run: the shell keeps it on its own
# descriptor and lets it go just before it becomes the program (a subshell
# could become the probe itself, which does not hold the lock, and another
# caller's program would race it to start the services).
set(probe_dir ${CMAKE_BINARY_DIR}/run-probe)
file(WRITE ${wine_run}
     "#!/bin/sh\n"
     "# Runs a program of this build through wine, in the build's own prefix.\n"
     "WINEPREFIX='${CMAKE_BINARY_DIR}/wineprefix' WINEDEBUG=-all LC_ALL=C.UTF-8\n"
     "export WINEPREFIX WINEDEBUG LC_ALL\n"
     "${wine_loader_setting}"
     "exec 9>'${CMAKE_BINARY_DIR}/wineprefix.lock'\n"
     "flock 9\n"
     "if '${ZELNO_WINESERVER_PROGRAM}' -p30 </dev/null >/dev/null 2>&1 9>&-; then\n"
     "  '${ZELNO_WINE_LOADER}' '${probe_dir}/run_probe.exe' </dev/null >/dev/null 2>&1 9>&-\n"
     "fi\n"
     "exec 9>&-\n"
     "exec '${ZELNO_WINE_LOADER}' \"$@\"\n")
file(CHMOD ${wine_run} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
     WORLD_EXECUTE)

# The probe runs once per build folder; the wrapper is written at every
# configure, so that a change to it reaches existing folders.
if(NOT ZELNO_WINE_RUNS_PROGRAMS)
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
  set(ZELNO_WINE_RUNS_PROGRAMS ON CACHE INTERNAL "wine runs the target's programs here")
  message(STATUS "Windows programs run through ${wine_run}")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${wine_run} CACHE FILEPATH "Runs the target's programs" FORCE)
