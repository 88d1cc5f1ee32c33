# The kit for host developers. `cmake --install` of each width lays out its part of one tree:
#   include/                    the public headers (both widths install the same files)
#   <arch>/bin/                 the shipped binaries, stripped, each with a link to its debug file
#   <arch>/lib/                 import libraries: <dll>.lib (MSVC's format), lib<dll>.dll.a (mingw's)
#   <arch>/debug/               <binary>.debug, the debug information of each binary
#   lib/cmake/<name>/           the CMake package (one file for both widths)
#   README                      docs/host-guide.md and the README's administrators' section
# with <arch> x64 or x86. tools/kit/pack.sh installs both widths into one tree, adds SHA256SUMS
# and writes dist/<name>-<version>.zip.
include(CMakePackageConfigHelpers)

set(KIT_NAME ${PROJECT_NAME})
set(KIT_VERSION ${PROJECT_VERSION})
set(KIT_BASENAME ${KIT_NAME}-${KIT_VERSION})
set(KIT_VERSION_MAJOR_MINOR ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
if(TARGET_WIDTH EQUAL 64)
  set(KIT_ARCH x64)
  set(KIT_DLLTOOL_MACHINE i386:x86-64)
else()
  set(KIT_ARCH x86)
  set(KIT_DLLTOOL_MACHINE i386)
endif()
set(KIT_BUILD_DIR ${CMAKE_BINARY_DIR}/kit)
# pack.sh reads the archive's name from here.
file(WRITE ${KIT_BUILD_DIR}/basename "${KIT_BASENAME}\n")

# The .lib files: the short import format that MSVC's own librarian writes, which LLVM's dlltool
# writes too (in x86 with the C convention's underscore on the symbols, not on the imported names).
find_program(KIT_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
if(NOT KIT_LLVM_DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool is missing: scripts/bootstrap.sh installs it (Debian package llvm)")
endif()

# kit_library(<target> <def>): installs the DLL, its mingw import library and its .lib.
set(KIT_SHIPPED "")
function(kit_library target def)
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  set(lib ${KIT_BUILD_DIR}/${output_name}.lib)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${KIT_LLVM_DLLTOOL} -m ${KIT_DLLTOOL_MACHINE} -d ${def} -D ${output_name}.dll -l ${lib}
    DEPENDS ${def} VERBATIM)
  add_custom_target(${target}_msvc_implib ALL DEPENDS ${lib})
  install(TARGETS ${target} RUNTIME DESTINATION ${KIT_ARCH}/bin ARCHIVE DESTINATION ${KIT_ARCH}/lib)
  install(FILES ${lib} DESTINATION ${KIT_ARCH}/lib)
  set(KIT_SHIPPED ${KIT_SHIPPED} $<TARGET_FILE_NAME:${target}> PARENT_SCOPE)
endfunction()

kit_library(LinkWinUsb ${CMAKE_SOURCE_DIR}/usb/LinkWinUsb.def)
kit_library(inputgate ${CMAKE_SOURCE_DIR}/inputlock/inputgate.def)
if(TARGET VarkoNodeSweepService)
  install(TARGETS VarkoNodeSweepService RUNTIME DESTINATION ${KIT_ARCH}/bin)
  list(APPEND KIT_SHIPPED $<TARGET_FILE_NAME:VarkoNodeSweepService>)
endif()
install(TARGETS VarkoFieldTool RUNTIME DESTINATION ${KIT_ARCH}/bin)
list(APPEND KIT_SHIPPED $<TARGET_FILE_NAME:VarkoFieldTool>)

# After the copies above: each shipped binary's debug information moves into <arch>/debug.
install(CODE "
  set(KIT_OBJCOPY \"${CMAKE_OBJCOPY}\")
  set(KIT_ARCH ${KIT_ARCH})
  set(KIT_SHIPPED \"${KIT_SHIPPED}\")
  include(\"${CMAKE_SOURCE_DIR}/cmake/kit/split-debug.cmake\")")

install(FILES ${CMAKE_SOURCE_DIR}/usb/include/LinkWinUsb.h ${CMAKE_SOURCE_DIR}/inputlock/include/inputgate.h
  DESTINATION include)

configure_file(${CMAKE_SOURCE_DIR}/cmake/kit/Config.cmake.in ${KIT_BUILD_DIR}/${KIT_NAME}Config.cmake @ONLY)
# The config file chooses the width itself, so the version check must not refuse either.
write_basic_package_version_file(${KIT_BUILD_DIR}/${KIT_NAME}ConfigVersion.cmake
  VERSION ${KIT_VERSION} COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
install(FILES ${KIT_BUILD_DIR}/${KIT_NAME}Config.cmake ${KIT_BUILD_DIR}/${KIT_NAME}ConfigVersion.cmake
  DESTINATION lib/cmake/${KIT_NAME})

# The kit's README is the host guide, followed by the administrators' section of the repository's
# README, with the version filled in: one text in the tree and in the kit, so the two cannot drift.
set(KIT_GUIDE ${CMAKE_SOURCE_DIR}/docs/host-guide.md)
set(KIT_ADMIN_SOURCE ${CMAKE_SOURCE_DIR}/README.md)
set(KIT_ADMIN_HEADING "## Installing the service (administrators)")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KIT_GUIDE} ${KIT_ADMIN_SOURCE})
file(READ ${KIT_GUIDE} kit_readme)
file(READ ${KIT_ADMIN_SOURCE} kit_admin)
string(FIND "${kit_admin}" "\n${KIT_ADMIN_HEADING}\n" kit_at)
if(kit_at LESS 0)
  message(FATAL_ERROR "README.md has no line '${KIT_ADMIN_HEADING}': the kit's README needs that section")
endif()
math(EXPR kit_at "${kit_at} + 1")
string(SUBSTRING "${kit_admin}" ${kit_at} -1 kit_admin)
# The section ends where the next one of its level begins.
string(LENGTH "${KIT_ADMIN_HEADING}" kit_length)
string(SUBSTRING "${kit_admin}" ${kit_length} -1 kit_rest)
string(FIND "${kit_rest}" "\n## " kit_end)
if(kit_end GREATER_EQUAL 0)
  math(EXPR kit_end "${kit_end} + ${kit_length}")
  string(SUBSTRING "${kit_admin}" 0 ${kit_end} kit_admin)
endif()
string(STRIP "${kit_admin}" kit_admin)
string(APPEND kit_readme "\n${kit_admin}\n")
string(REPLACE "<version>" "${KIT_VERSION}" kit_readme "${kit_readme}")
string(REPLACE "<major>.<minor>" "${KIT_VERSION_MAJOR_MINOR}" kit_readme "${kit_readme}")
file(WRITE ${KIT_BUILD_DIR}/README.new "${kit_readme}")
# Copied only when it changed, so that a reconfigure leaves the file's time alone.
configure_file(${KIT_BUILD_DIR}/README.new ${KIT_BUILD_DIR}/README COPYONLY)
install(FILES ${KIT_BUILD_DIR}/README DESTINATION .)
