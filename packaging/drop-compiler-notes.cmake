# Run by CPack on the staged files: takes the compiler's version notes (.comment) out of the
# binaries, as Debian's own packaging does.
file(GLOB binaries "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
foreach(binary IN LISTS binaries)
  execute_process(COMMAND ${CPACK_OBJCOPY_EXECUTABLE} --remove-section=.comment ${binary}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
