# Shared build rules: flags, runtime linking, import libraries, Wine test wiring.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_C_STANDARD 11)
set(CMAKE_C_EXTENSIONS OFF)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_IMPORT_LIBRARY_PREFIX "lib")
# Deliverables must load on a bare Windows: no libgcc/libstdc++/winpthread DLLs.
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -static")
set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -static")

# varko_version.h: the project's one version, for version resources and code.
set(VERSION_INCLUDE_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/varko_version.h.in ${VERSION_INCLUDE_DIR}/varko_version.h @ONLY)

# Where the Windows programs of this build run: 64-bit ones under wine64 on this machine,
# 32-bit ones (which these machines refuse) under Wine's 32-bit loader in a QEMU guest.
if(TARGET_WIDTH EQUAL 64)
  set(TEST_RUNNER wine64)
  configure_file(${CMAKE_SOURCE_DIR}/tools/wine/winerun.sh.in ${CMAKE_BINARY_DIR}/winerun @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/winerun)
else()
  set(TEST_RUNNER x86vm)
endif()
set(X86VM_RESULTS ${CMAKE_BINARY_DIR}/x86vm-results)

# Strict flags for our own code (not for third-party test frameworks).
function(project_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
  target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
endfunction()

# shipped_code(<target>): the compile and link flags of everything that ships, set here only: each
# shipped binary and each library linked into one. It is built with debug information, which the
# kit's install moves into files of their own (cmake/kit/split-debug.cmake).
# Hardening (docs/hardening.md; tools/checks/check-hardening.py checks the kit):
# - the stack protector and the fortified CRT calls, with the static libssp, so that the import
#   tables still name system DLLs only (libssp seeds its guard through ADVAPI32's CryptGenRandom);
# - NO_SEH on the x86 DLLs: mingw's i686 code unwinds by DWARF tables and registers no frame-based
#   handler, and GNU ld cannot write a SafeSEH table;
# - the service's executable is marked terminal-server aware.
# binutils already sets DYNAMIC_BASE, NX_COMPAT and (x64) HIGH_ENTROPY_VA, and keeps relocations.
function(shipped_code target)
  target_compile_options(${target} PRIVATE -g -fstack-protector-strong)
  target_compile_definitions(${target} PRIVATE _FORTIFY_SOURCE=2)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "STATIC_LIBRARY")
    # Whatever links this library links the protector's runtime too.
    target_link_libraries(${target} INTERFACE ssp)
    return()
  endif()
  target_link_options(${target} PRIVATE -fstack-protector-strong)
  target_link_libraries(${target} PRIVATE ssp)
  if(type STREQUAL "SHARED_LIBRARY" AND TARGET_WIDTH EQUAL 32)
    target_link_options(${target} PRIVATE -Wl,--no-seh)
  endif()
  if(type STREQUAL "EXECUTABLE")
    target_link_options(${target} PRIVATE -Wl,--tsaware)
  endif()
endfunction()

# shipped_dll(<target>): what every DLL we ship needs beyond its sources. Its calls of the
# threading runtime's pthread_once (made by the 32-bit runtime at every load) go to our own,
# which leaves nothing behind when a host unloads the DLL. Its version resource finds
# varko_version.h.
function(shipped_dll target)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/cmake/runtime/once_shim.cpp)
  target_link_options(${target} PRIVATE -Wl,--wrap=pthread_once)
  target_include_directories(${target} PRIVATE ${VERSION_INCLUDE_DIR})
  shipped_code(${target})
endfunction()

# fault_coverage_test(<test> <target> <section> [<library>...]): docs/fault-coverage.md's section for
# the target names exactly the system functions that the built binary imports for its own code (its
# objects and those of the static libraries named).
function(fault_coverage_test test target section)
  set(objects ${CMAKE_CURRENT_BINARY_DIR}/${target}-objects.txt)
  set(content "")
  foreach(linked ${target} ${ARGN})
    string(APPEND content "$<JOIN:$<TARGET_OBJECTS:${linked}>,\n>\n")
  endforeach()
  file(GENERATE OUTPUT ${objects} CONTENT "${content}")
  add_test(NAME ${test} COMMAND ${CMAKE_SOURCE_DIR}/tools/checks/check-fault-coverage.sh ${CMAKE_OBJDUMP} ${CMAKE_NM}
    ${CMAKE_SOURCE_DIR}/docs/fault-coverage.md ${section} $<TARGET_FILE:${target}> ${objects})
endfunction()

# import_library_from_def(<name> <def>): lib<name>.a that binds at load time to <name>.dll.
function(import_library_from_def name def)
  set(out ${CMAKE_BINARY_DIR}/lib/lib${name}_imp.a)
  if(TARGET_WIDTH EQUAL 32)
    set(kill -k)
  endif()
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/lib
    COMMAND ${CMAKE_DLLTOOL} -d ${def} -D ${name}.dll -l ${out} ${kill}
    DEPENDS ${def} VERBATIM)
  add_custom_target(${name}_imp_gen DEPENDS ${out})
  add_library(${name}_imp INTERFACE)
  add_dependencies(${name}_imp ${name}_imp_gen)
  target_link_libraries(${name}_imp INTERFACE ${out})
endfunction()

# uses_substitutes(<exe target> DLL...): the program loads our substitute platform DLLs
# (per-program DLL override in the Wine prefix) instead of Wine's own.
function(uses_substitutes target)
  string(REPLACE ";" "|" dlls "${ARGN}")   # one property item per program, whatever the DLL count
  set_property(GLOBAL APPEND PROPERTY WINE_OVERRIDE_PROGRAMS "${target}|${dlls}")
endfunction()

function(finish_wine_overrides)
  get_property(programs GLOBAL PROPERTY WINE_OVERRIDE_PROGRAMS)
  set(text "REGEDIT4\n")
  foreach(entry IN LISTS programs)
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 target)
    list(REMOVE_AT parts 0)
    # A name that is no target of this build is the program's own name (a host built apart).
    set(outname ${target})
    if(TARGET ${target})
      get_target_property(outname ${target} OUTPUT_NAME)
      if(NOT outname)
        set(outname ${target})
      endif()
    endif()
    string(APPEND text "\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\${outname}.exe\\DllOverrides]\n")
    foreach(dll IN LISTS parts)
      string(APPEND text "\"${dll}\"=\"native\"\n")
    endforeach()
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/wine-overrides.reg CONTENT "${text}")
  if(TEST_RUNNER STREQUAL "wine64")
    add_custom_target(wine_prefix ALL
      COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/prefix.sh overrides ${WINE_PREFIX} ${CMAKE_BINARY_DIR}/wine-overrides.reg
      COMMENT "Preparing the Wine prefix" VERBATIM)
  else()
    finish_x86vm_run()
  endif()
endfunction()

# The x86 run: one boot of the guest runs every job that add_wine_test registered; each test
# then reports the outcome and output that the guest brought back. The image is built first,
# as a test of its own, so that its one-time cost shows apart.
function(finish_x86vm_run)
  get_property(jobs GLOBAL PROPERTY X86VM_JOBS)
  set(text "")
  set(total 0)
  foreach(job IN LISTS jobs)
    string(APPEND text "${job}\n")
    string(REPLACE "\t" ";" fields "${job}")
    list(GET fields 1 seconds)
    math(EXPR total "${total} + ${seconds}")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/x86vm-jobs.txt CONTENT "${text}")
  # Two lanes run side by side; the guest's boot and prefix take about a minute more.
  math(EXPR run_timeout "${total} / 2 + 900")
  set(runner ${CMAKE_SOURCE_DIR}/tools/x86vm)
  add_test(NAME x86vm_image COMMAND ${runner}/image.sh)
  set_tests_properties(x86vm_image PROPERTIES TIMEOUT 2400 FIXTURES_SETUP x86vm_image LABELS x86vm)
  add_test(NAME x86vm_run COMMAND ${runner}/run.sh --bin ${CMAKE_BINARY_DIR}/bin
    --jobs ${CMAKE_BINARY_DIR}/x86vm-jobs.txt --overrides ${CMAKE_BINARY_DIR}/wine-overrides.reg
    --out ${X86VM_RESULTS} --timeout ${run_timeout} --winedebug -all,warn+heap)
  set_tests_properties(x86vm_run PROPERTIES TIMEOUT ${run_timeout} FIXTURES_REQUIRED x86vm_image
    FIXTURES_SETUP x86vm LABELS x86vm)
  # Tests that put programs into the bin folder (hosts built apart) run before the payload is made.
  get_property(before GLOBAL PROPERTY X86VM_RUN_AFTER)
  if(before)
    set_tests_properties(x86vm_run PROPERTIES DEPENDS "${before}")
  endif()
endfunction()

# GoogleTest from Debian's sources, built with the cross compiler.
if(NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# add_wine_test(<name> <target> [ARGS...] [LABELS l...] [TIMEOUT s] [RESOURCE_LOCK r]): runs the
# Windows program under Wine: here with wine64 (x64), in the x86 guest's run (x86). A <target>
# that is no target of this build is a program's path inside the bin folder (kit/host.exe).
function(add_wine_test name target)
  cmake_parse_arguments(T "" "TIMEOUT" "ARGS;LABELS;RESOURCE_LOCK" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(TARGET ${target})
    set(program $<TARGET_FILE:${target}>)
    set(program_in_bin $<TARGET_FILE_NAME:${target}>)
  else()
    set(program ${CMAKE_BINARY_DIR}/bin/${target})
    set(program_in_bin ${target})
  endif()
  if(TEST_RUNNER STREQUAL "wine64")
    add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/heapcheck.sh ${CMAKE_BINARY_DIR}/winerun
      ${program} ${T_ARGS})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
    if(T_RESOURCE_LOCK)
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
    endif()
    return()
  endif()
  # In the guest, jobs that hold a resource lock share the second lane, one at a time.
  if(T_RESOURCE_LOCK)
    set(lane 2)
  else()
    set(lane 1)
  endif()
  # One argument per tab-separated field (tools/x86vm/run.sh).
  string(JOIN "\t" args ${T_ARGS})
  # Emulation runs a program about ten times slower than wine64 here: the bound grows with it.
  math(EXPR guest_timeout "${T_TIMEOUT} * 3")
  set_property(GLOBAL APPEND PROPERTY X86VM_JOBS
    "${name}\t${guest_timeout}\t${lane}\t${program_in_bin}\t${args}")
  add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/tools/x86vm/report.sh ${X86VM_RESULTS} ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 60 LABELS "${T_LABELS}" FIXTURES_REQUIRED x86vm)
endfunction()
