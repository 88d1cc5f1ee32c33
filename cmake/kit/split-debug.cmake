# Runs at install time, after the shipped binaries were copied: moves each one's debug
# information into <arch>/debug/<binary>.debug, strips the binary and links it to that file
# (.gnu_debuglink: the file's name and checksum) so that a debugger finds it.
# In: KIT_OBJCOPY, KIT_ARCH, KIT_SHIPPED (file names in <arch>/bin).
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(MAKE_DIRECTORY "${root}/${KIT_ARCH}/debug")
foreach(name IN LISTS KIT_SHIPPED)
  set(binary "${root}/${KIT_ARCH}/bin/${name}")
  set(debug "${root}/${KIT_ARCH}/debug/${name}.debug")
  message(STATUS "Debug information: ${debug}")
  execute_process(COMMAND "${KIT_OBJCOPY}" --only-keep-debug "${binary}" "${debug}" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${KIT_OBJCOPY}" --strip-all "--add-gnu-debuglink=${debug}" "${binary}"
    COMMAND_ERROR_IS_FATAL ANY)
  # Data, not a program (objcopy kept the binary's mode).
  file(CHMOD "${debug}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
