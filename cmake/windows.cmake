# dyadc.dll for 64-bit or 32-bit Windows (included by cmake/library.cmake for
# a Windows target, after dyadc_core). The DLL is the whole archive plus
# DllMain and the version resource; a .def file lists its six exports, which
# it exports under their plain names, and the import library libdyadc.dll.a
# lets hosts link against it. On 32-bit Windows the functions use __stdcall
# (DYADC_CALL in dyadc.h): their export list names them as the compiler
# decorates them (DyadOpen@16), and the linker exports them without the
# decoration (--kill-at), the names the 64-bit DLL exports too.
enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(DYADC_EXPORT_LIST ${PROJECT_SOURCE_DIR}/src/platform/windows/dyadc-x86.def)
  set(DYADC_WINDOWS_ARCHITECTURE x86)
else()
  set(DYADC_EXPORT_LIST ${PROJECT_SOURCE_DIR}/src/platform/windows/dyadc.def)
  set(DYADC_WINDOWS_ARCHITECTURE x64)
endif()

target_compile_definitions(dyadc_core PUBLIC _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(dyadc_core PUBLIC ws2_32 iphlpapi version)

configure_file(${PROJECT_SOURCE_DIR}/src/platform/windows/version.rc.in ${PROJECT_BINARY_DIR}/dyadc-version.rc @ONLY)

add_library(dyadc SHARED
  src/api/load_hooks_windows.cpp
  ${DYADC_EXPORT_LIST}
  ${PROJECT_BINARY_DIR}/dyadc-version.rc)
if(DYADC_WINDOWS_ARCHITECTURE STREQUAL "x86")
  target_link_options(dyadc PRIVATE -Wl,--kill-at)
  # The linker's import library would name the functions as exported
  # (_DyadOpen), which a host compiled with dyadc.h never asks for: dlltool
  # makes it again from the export list, with the names that the compiler
  # decorates (_DyadOpen@16) importing the plain ones.
  add_custom_command(TARGET dyadc POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${DYADC_EXPORT_LIST} --dllname dyadc.dll
            --output-lib libdyadc.dll.a
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    VERBATIM)
endif()
target_link_libraries(dyadc PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,dyadc_core>")
target_include_directories(dyadc PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_options(dyadc PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion -fno-exceptions -fno-rtti>
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<BOOL:${DYADC_WERROR}>>:-Werror>)
# The DLL is dyadc.dll, not libdyadc.dll; it keeps the programs' folder free
# of it, so that they load the copy installed in the system directory, as
# the library's version is read from there.
set_target_properties(dyadc PROPERTIES
  PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
  LINK_DEPENDS ${DYADC_EXPORT_LIST}
  PUBLIC_HEADER include/dyadc.h)
add_library(dyadc::dyadc ALIAS dyadc)
# The DLL goes without symbols and debug information, which stay beside it in
# dyadc.dll.debug (a debug link names it): a fifth of the size to install, and
# to send to a peer as the library update.
add_custom_command(TARGET dyadc POST_BUILD
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug dyadc.dll dyadc.dll.debug
  COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=dyadc.dll.debug dyadc.dll
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  VERBATIM)

# Programs go to bin/, apart from the DLL.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

# Installed, and packed into the Windows archive (cmake/packaging.cmake):
# the install component "windows" holds what belongs to this kind of Windows,
# dyadc.dll at the top, apart from the programs in bin/, since its place is
# the system directory, and the import library; "windows-common" the header,
# the same for both kinds.
install(TARGETS dyadc
  RUNTIME DESTINATION . COMPONENT windows
  ARCHIVE DESTINATION lib COMPONENT windows
  PUBLIC_HEADER DESTINATION include COMPONENT windows-common)

# CLI11 (for dyad.exe) is header-only: the host's headers serve the cross
# build, through a folder that holds nothing else, so that no other host
# header can come in with them.
find_path(DYADC_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
if(DYADC_CLI11_INCLUDE)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/cli11)
  file(CREATE_LINK ${DYADC_CLI11_INCLUDE}/CLI ${PROJECT_BINARY_DIR}/cli11/CLI SYMBOLIC)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${PROJECT_BINARY_DIR}/cli11)
endif()
