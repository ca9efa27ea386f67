# Packages people install, made by CPack from a build
# (cmake --build BUILD --target package; ./make-packages makes both kinds):
#
#   Linux, a build configured with -DCMAKE_INSTALL_PREFIX=/usr: one Debian
#   package per install component,
#     libdyadc2        "library"      libdyadc.so.2 (and the link libdyadc.so)
#     libdyadc-dev     "development"  header, pkg-config file, CMake package, dyadc(3)
#     dyad             "dyad"         the command and dyad(1)
#     python3-dyadc    "python"       the Python module
#     dyadc-wireshark  "wireshark"    the Wireshark dissector
#   Windows: dyadc-VERSION-windows.zip for host programs, made by the 64-bit
#   build (cmake/mingw-w64.cmake) configured with DYADC_WINDOWS_X86_BUILD
#   naming the 32-bit one (cmake/mingw-w64-i686.cmake): x64\ and x86\ each
#   hold that build's dyadc.dll, import libraries for MinGW and for
#   Microsoft's linker, the export list and dyad.exe; the header, the manual
#   pages as HTML, packaging/README-windows.txt and the license notices
#   (packaging/LICENSES-windows.txt) are at the top.
#
# CPack also runs this file, as the script that finishes the Debian packages'
# trees before they are packed (CPACK_TEMPORARY_DIRECTORY names the place of
# the trees then): the part below.
if(DEFINED CPACK_TEMPORARY_DIRECTORY)
  # What debhelper would add: compressed manual pages, and in every package
  # the copyright file and a compressed changelog, the overrides of lintian
  # and the dependency information of libdyadc.so.2 for dpkg-shlibdeps.
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(tree ${CPACK_TEMPORARY_DIRECTORY}/${component})
    file(GLOB_RECURSE pages ${tree}/usr/share/man/*)
    foreach(page IN LISTS pages)
      if(NOT page MATCHES "\\.gz$")
        execute_process(COMMAND gzip -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
      endif()
    endforeach()
    set(doc ${tree}/usr/share/doc/${package})
    file(MAKE_DIRECTORY ${doc})
    file(COPY_FILE ${CPACK_DYADC_DEBIAN_DIR}/copyright ${doc}/copyright)
    file(COPY_FILE ${CPACK_DYADC_DEBIAN_DIR}/changelog ${doc}/changelog.Debian)
    execute_process(COMMAND gzip -9nf ${doc}/changelog.Debian COMMAND_ERROR_IS_FATAL ANY)
    if(EXISTS ${CPACK_DYADC_DEBIAN_DIR}/${component}/lintian-overrides)
      file(MAKE_DIRECTORY ${tree}/usr/share/lintian/overrides)
      file(COPY_FILE ${CPACK_DYADC_DEBIAN_DIR}/${component}/lintian-overrides
        ${tree}/usr/share/lintian/overrides/${package})
    endif()
    # dpkg-shlibdeps, which finds libdyadc.so.2 in the build, reads what
    # package provides it from debian/shlibs.local in the directory it runs
    # in (the tree of a package with programs; CPack removes the folder).
    if(EXISTS ${tree}/usr/bin)
      file(WRITE ${tree}/debian/shlibs.local "${CPACK_DYADC_SHLIBS}\n")
    endif()
  endforeach()
  return()
endif()

set(CPACK_PACKAGE_NAME dyadc)
set(CPACK_PACKAGE_VENDOR "dyadc developers")
set(DYADC_PACKAGE_MAINTAINER "dyadc developers <dyadc@example.org>" CACHE STRING
  "Maintainer of the Debian packages (name <address>)")
set(CPACK_PACKAGE_CONTACT "${DYADC_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackConfig.cmake)
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackSourceConfig.cmake)

if(WIN32)
  # --- the Windows archive ----------------------------------------------------
  # Each Windows build installs its own files as the component "windows":
  # cmake/windows.cmake puts dyadc.dll at the top of it (apart from dyad.exe
  # in bin/: the programs must load the copy in the system directory) and its
  # import library in lib/. What a host built with Microsoft's tools needs
  # beyond that is made here: dyadc.lib from the export list (by llvm-dlltool,
  # the import library format of Microsoft's linker; on x86 the names that
  # the compiler decorates import the plain ones, as in libdyadc.dll.a). The
  # component "windows-common" holds what both kinds share: the header, the
  # manual pages as HTML (mandoc), the README and the license notices.
  find_program(DYADC_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
  find_program(DYADC_MANDOC mandoc)
  if(NOT DYADC_LLVM_DLLTOOL OR NOT DYADC_MANDOC OR NOT TARGET dyad)
    message(STATUS "Windows archive left out: it needs llvm-dlltool (llvm), mandoc and dyad.exe")
    return()
  endif()
  set(package_files ${PROJECT_BINARY_DIR}/package)
  if(DYADC_WINDOWS_ARCHITECTURE STREQUAL "x86")
    set(dlltool_options -m i386 --kill-at)
  else()
    set(dlltool_options -m i386:x86-64)
  endif()
  add_custom_command(OUTPUT ${package_files}/dyadc.lib
    COMMAND ${CMAKE_COMMAND} -E make_directory ${package_files}
    COMMAND ${DYADC_LLVM_DLLTOOL} ${dlltool_options} -d ${DYADC_EXPORT_LIST} -l ${package_files}/dyadc.lib
    DEPENDS ${DYADC_EXPORT_LIST}
    COMMENT "Making the import library dyadc.lib"
    VERBATIM)
  set(pages)
  foreach(page dyadc.3 dyad.1)
    # Cross-references between the pages link to each other's HTML file.
    add_custom_command(OUTPUT ${package_files}/man/${page}.html
      COMMAND ${CMAKE_COMMAND} -E make_directory ${package_files}/man
      COMMAND sh -c "\"$0\" -T html -O man=%N.%S.html \"$1\" > \"$2\"" ${DYADC_MANDOC}
              ${PROJECT_SOURCE_DIR}/man/${page} ${package_files}/man/${page}.html
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
      VERBATIM)
    list(APPEND pages ${package_files}/man/${page}.html)
  endforeach()
  # dyad.exe without its debug information (a sixth of the size).
  add_custom_command(OUTPUT ${package_files}/bin/dyad.exe
    COMMAND ${CMAKE_COMMAND} -E make_directory ${package_files}/bin
    COMMAND ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE:dyad> ${package_files}/bin/dyad.exe
    DEPENDS dyad
    VERBATIM)
  foreach(text README LICENSES)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/${text}-windows.txt ${package_files}/${text}.txt
      @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${package_files}/${text}.txt DESTINATION . COMPONENT windows-common)
  endforeach()
  add_custom_target(windows-package-files ALL
    DEPENDS ${package_files}/dyadc.lib ${package_files}/bin/dyad.exe ${pages})

  install(FILES ${package_files}/dyadc.lib DESTINATION lib COMPONENT windows)
  install(FILES ${DYADC_EXPORT_LIST} DESTINATION lib RENAME dyadc.def COMPONENT windows)
  install(PROGRAMS ${package_files}/bin/dyad.exe DESTINATION bin COMPONENT windows)
  install(FILES ${pages} DESTINATION man COMPONENT windows-common)

  # The archive: made by the 64-bit build, with the 32-bit build's files.
  if(NOT DYADC_WINDOWS_ARCHITECTURE STREQUAL "x64")
    return()
  endif()
  if(NOT DYADC_WINDOWS_X86_BUILD)
    message(STATUS "Windows archive left out: it needs the 32-bit build (-DDYADC_WINDOWS_X86_BUILD=DIR)")
    return()
  endif()
  get_filename_component(x86_build "${DYADC_WINDOWS_X86_BUILD}" ABSOLUTE BASE_DIR ${PROJECT_SOURCE_DIR})
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME dyadc-${PROJECT_VERSION}-windows)
  # The components named here alone (not the Unix-style installs of the
  # tools' directory), under a folder of the archive's name.
  set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};dyadc;windows-common;/"
    "${PROJECT_BINARY_DIR};dyadc;windows;/x64"
    "${x86_build};dyadc;windows;/x86")
  include(CPack)
  return()
endif()

# --- the Debian packages -------------------------------------------------------
# Their files are named for the system's directories: built for another
# prefix, the paths would not be those where Debian looks (the Wireshark
# plugin folder, the multiarch library directory).
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Debian packages left out: configure with -DCMAKE_INSTALL_PREFIX=/usr (./make-packages does)")
  return()
endif()
find_program(DYADC_DPKG dpkg)
if(NOT DYADC_DPKG)
  message(STATUS "Debian packages left out: dpkg not found")
  return()
endif()

# Component|package|section|what the package depends on beyond what
# dpkg-shlibdeps finds in its programs and libraries.
set(library_package libdyadc${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(debian_version ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(dyadc_debian_packages
  "library|${library_package}|libs|"
  "development|libdyadc-dev|libdevel|${library_package} (= ${debian_version})")
if(TARGET dyad)
  list(APPEND dyadc_debian_packages "dyad|dyad|net|")
endif()
if(DYADC_PYTHON)
  # ctypes loads libdyadc.so.2: no ELF file tells dpkg-shlibdeps so.
  list(APPEND dyadc_debian_packages
    "python|python3-dyadc|python|python3 (>= 3.9), ${library_package} (>= ${debian_version})")
endif()
if(DYADC_WIRESHARK)
  list(APPEND dyadc_debian_packages "wireshark|dyadc-wireshark|net|wireshark-common")
  set(CPACK_DEBIAN_WIRESHARK_PACKAGE_ENHANCES "wireshark, tshark")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Dependencies on shared libraries come from dpkg-shlibdeps. The library's
# package gets a shlibs file, which tells other packages' dpkg-shlibdeps
# what to depend on, and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DYADC_SHLIBS "libdyadc ${PROJECT_VERSION_MAJOR} ${library_package} (>= ${debian_version})")
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_FILE})

# The packages' own files (packaging/debian), filled in for this build:
# COMPONENT.postinst, .prerm, .postrm and .triggers become control files of
# the component's package, COMPONENT.lintian-overrides its overrides.
set(debian_sources ${PROJECT_SOURCE_DIR}/packaging/debian)
set(CPACK_DYADC_DEBIAN_DIR ${PROJECT_BINARY_DIR}/debian)
set(DYADC_PYTHON_PACKAGE_DIR ${CMAKE_INSTALL_PREFIX}/${DYADC_PYTHON_INSTALL_DIR}/dyadc)
string(TIMESTAMP DYADC_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${debian_sources}/changelog.in ${CPACK_DYADC_DEBIAN_DIR}/changelog @ONLY)
configure_file(${debian_sources}/copyright ${CPACK_DYADC_DEBIAN_DIR}/copyright COPYONLY)
file(GLOB debian_control_sources ${debian_sources}/*.*)
foreach(source IN LISTS debian_control_sources)
  get_filename_component(name ${source} NAME)
  if(name MATCHES "^([a-z]+)\\.(postinst|prerm|postrm|triggers|lintian-overrides)(\\.in)?$")
    string(TOUPPER ${CMAKE_MATCH_1} upper)
    configure_file(${source} ${CPACK_DYADC_DEBIAN_DIR}/${CMAKE_MATCH_1}/${CMAKE_MATCH_2} @ONLY)
    if(NOT CMAKE_MATCH_2 STREQUAL "lintian-overrides")
      list(APPEND CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${CPACK_DYADC_DEBIAN_DIR}/${CMAKE_MATCH_1}/${CMAKE_MATCH_2})
    endif()
  endif()
endforeach()

# The descriptions: a synopsis, what dyadc is, and what the package holds.
set(about "dyadc pairs two workstations of one local network without any configuration:
one side announces a pairing identifier by IPv4 multicast, the other connects
back over TCP and presents its computer name for approval. The paired hosts
then exchange named, typed blocks of data, each acknowledged when all of its
bytes have arrived.
")
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "pairs two workstations of a LAN and carries data blocks
${about}
This package holds the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "development files for dyadc, the LAN pairing library
${about}
This package holds what host programs are built with: the header dyadc.h,
the pkg-config file, the CMake package and the manual page dyadc(3).")
set(CPACK_DEBIAN_DYAD_DESCRIPTION "moves files between two paired workstations of a LAN
${about}
This package holds the command dyad, which pairs with the dyad of another
workstation and sends or receives files, each checked by its size and a
checksum (XXH3-128, or SHA-256 on request).")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python module for dyadc, the LAN pairing library
${about}
This package holds the module dyadc for Python 3, a typed interface to the
library through ctypes.")
set(CPACK_DEBIAN_WIRESHARK_DESCRIPTION "Wireshark dissector for the dyadc protocol
${about}
This package holds a Lua plugin with which Wireshark and tshark decode the
announces, handshakes and data blocks on port 8181 (display filter dyadc).")

set(CPACK_COMPONENTS_ALL)
foreach(entry IN LISTS dyadc_debian_packages)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 component)
  list(GET fields 1 package)
  list(GET fields 2 section)
  list(GET fields 3 depends)
  string(TOUPPER ${component} upper)
  list(APPEND CPACK_COMPONENTS_ALL ${component})
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "${depends}")
endforeach()

include(CPack)
