# Installation: the library, its header, a pkg-config file and a CMake
# package, so that host programs can use either
#   pkg-config --cflags --libs dyadc
# or
#   find_package(dyadc) ... target_link_libraries(host PRIVATE dyadc::dyadc)
#
# Two install components, which cmake/packaging.cmake makes into the Debian
# packages libdyadc2 and libdyadc-dev: "library" holds what a host needs at
# run time, "development" what it needs to be built.
include(CMakePackageConfigHelpers)

# The link libdyadc.so belongs to the library's component, not to the
# development files: the library reads its own version from the file of that
# name in its directory (the system directory), and without the link every
# host would present an empty version and ask every peer for its library.
install(TARGETS dyadc EXPORT dyadcTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT library
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT dyadcTargets
  NAMESPACE dyadc::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dyadc
  COMPONENT development)

configure_package_config_file(cmake/dyadcConfig.cmake.in
  ${PROJECT_BINARY_DIR}/dyadcConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dyadc)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dyadcConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/dyadcConfig.cmake
  ${PROJECT_BINARY_DIR}/dyadcConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dyadc
  COMPONENT development)

# pkg-config wants absolute directories; GNUInstallDirs may give relative ones.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(DYADC_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(DYADC_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
# The prefix is found relative to the file, so that an installed tree can be
# moved; the system's /usr (the Debian packages) is named as it is, so that
# pkg-config leaves out its standard directories.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(DYADC_PC_PREFIX /usr)
else()
  file(RELATIVE_PATH prefix_from_pcdir "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  set(DYADC_PC_PREFIX "\${pcfiledir}/${prefix_from_pcdir}")
endif()
configure_file(cmake/dyadc.pc.in ${PROJECT_BINARY_DIR}/dyadc.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dyadc.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# The manual page of the library (dyad(1) is installed with the command).
install(FILES man/dyadc.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT development)
