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

if(TARGET_WIDTH EQUAL 64)
  set(RUNS_HERE ON)   # 32-bit Windows programs cannot run on these machines
  configure_file(${CMAKE_SOURCE_DIR}/tools/wine/winerun.sh.in ${CMAKE_BINARY_DIR}/winerun @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/winerun)
else()
  set(RUNS_HERE OFF)
endif()

# Strict flags for our own code (not for third-party test frameworks).
function(project_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
  target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
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
  if(NOT RUNS_HERE)
    return()
  endif()
  get_property(programs GLOBAL PROPERTY WINE_OVERRIDE_PROGRAMS)
  set(text "REGEDIT4\n")
  foreach(entry IN LISTS programs)
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 target)
    list(REMOVE_AT parts 0)
    get_target_property(outname ${target} OUTPUT_NAME)
    if(NOT outname)
      set(outname ${target})
    endif()
    string(APPEND text "\n[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\${outname}.exe\\DllOverrides]\n")
    foreach(dll IN LISTS parts)
      string(APPEND text "\"${dll}\"=\"native\"\n")
    endforeach()
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/wine-overrides.reg CONTENT "${text}")
  add_custom_target(wine_prefix ALL
    COMMAND ${CMAKE_SOURCE_DIR}/tools/wine/prefix.sh overrides ${WINE_PREFIX} ${CMAKE_BINARY_DIR}/wine-overrides.reg
    COMMENT "Preparing the Wine prefix" VERBATIM)
endfunction()

# GoogleTest from Debian's sources, built with the cross compiler (x64 only: that is what runs).
if(RUNS_HERE AND NOT TARGET gtest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# add_wine_test(<name> <target> [ARGS...] [LABELS l...] [TIMEOUT s] [RESOURCE_LOCK r]): runs under Wine.
function(add_wine_test name target)
  cmake_parse_arguments(T "" "TIMEOUT" "ARGS;LABELS;RESOURCE_LOCK" ${ARGN})
  if(NOT RUNS_HERE)
    return()
  endif()
  add_test(NAME ${name} COMMAND ${target} ${T_ARGS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
  if(T_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
endfunction()

# Behaviour tests that exist for both widths: the x86 entry reports itself skipped here.
function(add_x86_behaviour_skip name)
  if(TARGET_WIDTH EQUAL 32)
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -E echo "no 32-bit runner on this machine: ${name} skipped")
    set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "skipped")
  endif()
endfunction()
