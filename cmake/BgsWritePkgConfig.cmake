# Install-time script (see BgsInstall.cmake): writes the pkg-config files
# into BGS_PC_STAGE for the prefix of the running install, CMAKE_INSTALL_PREFIX
# here. The directories follow GNUInstallDirs: a relative install directory
# lies below the prefix, an absolute one stays as it is.

foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${BGS_PC_${dir}}")
    set(CMAKE_INSTALL_FULL_${dir} "${BGS_PC_${dir}}")
  else()
    set(CMAKE_INSTALL_FULL_${dir} "${CMAKE_INSTALL_PREFIX}/${BGS_PC_${dir}}")
  endif()
endforeach()

foreach(file IN LISTS BGS_PC_FILES)
  configure_file("${BGS_PC_TEMPLATE_DIR}/${file}.in" "${BGS_PC_STAGE}/${file}" @ONLY)
endforeach()
