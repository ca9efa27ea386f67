# The library: one static archive, dyadc_core, holds every source of the
# portable levels (src/, listed bottom first) and of this platform's layer.
# libdyadc.so is linked from the whole archive plus the load hooks; the tests
# link the archive directly so that they reach internals without the shared
# object exporting them. For a Windows target, cmake/windows.cmake makes
# dyadc.dll the same way.

if(WIN32)
  set(DYADC_PLATFORM_SOURCES
    src/platform/windows/errors.cpp
    src/platform/windows/files.cpp
    src/platform/windows/group_receivers.cpp
    src/platform/windows/host.cpp
    src/platform/windows/interfaces.cpp
    src/platform/windows/session_memory.cpp
    src/platform/windows/sockets.cpp
    src/platform/windows/time.cpp
    src/platform/windows/version_record.cpp
  )
else()
  set(DYADC_PLATFORM_SOURCES
    src/platform/posix/errors.cpp
    src/platform/posix/files.cpp
    src/platform/posix/host.cpp
    src/platform/posix/interfaces.cpp
    src/platform/posix/session_memory.cpp
    src/platform/posix/sockets.cpp
    src/platform/posix/time.cpp
    src/platform/posix/version_record.cpp
  )
endif()

set(DYADC_PORTABLE_SOURCES
  src/rules/lan.cpp
  src/platform/addresses.cpp
  src/session/opens.cpp
  src/session/session.cpp
  src/session/system_files.cpp
  src/session/time_limit.cpp
  src/log/log.cpp
  src/log/trim.cpp
  src/wire/bytes.cpp
  src/wire/line_io.cpp
  src/wire/protocol.cpp
  src/wire/text.cpp
  src/link/connection.cpp
  src/link/lease.cpp
  src/link/reconnect.cpp
  src/link/relisten.cpp
  src/blocks/header.cpp
  src/blocks/receive_block.cpp
  src/blocks/send_block.cpp
  src/update/receive_update.cpp
  src/update/send_update.cpp
  src/rendezvous/common.cpp
  src/rendezvous/initiator.cpp
  src/rendezvous/interfaces.cpp
  src/rendezvous/responder.cpp
  src/api/entry.cpp
  src/api/exports.cpp
  src/api/open_close.cpp
)

add_library(dyadc_core STATIC ${DYADC_PORTABLE_SOURCES} ${DYADC_PLATFORM_SOURCES})
target_include_directories(dyadc_core PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
target_compile_definitions(dyadc_core PUBLIC DYADC_BUILDING_LIBRARY=1)
set_target_properties(dyadc_core PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_compile_options(dyadc_core PRIVATE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion
  -fno-exceptions -fno-rtti
  $<$<BOOL:${DYADC_WERROR}>:-Werror>)
target_link_libraries(dyadc_core PUBLIC ${CMAKE_DL_LIBS})

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/windows.cmake)
  return()
endif()

# The shared library: the whole archive, the load hooks and the version note.
# A version script keeps the dynamic symbol table to the six exports even when
# the standard library's inline templates would otherwise leak into it.
add_library(dyadc SHARED
  src/api/load_hooks_posix.cpp
  src/platform/posix/version_note.S)
target_link_libraries(dyadc PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,dyadc_core>")
target_include_directories(dyadc PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_definitions(dyadc PRIVATE
  DYADC_VERSION_MAJOR=${PROJECT_VERSION_MAJOR}
  DYADC_VERSION_MINOR=${PROJECT_VERSION_MINOR})
target_compile_options(dyadc PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Wconversion -fno-exceptions -fno-rtti>
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<BOOL:${DYADC_WERROR}>>:-Werror>)
target_link_options(dyadc PRIVATE
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/exports.map
  -Wl,-z,defs
  -Wl,-Bsymbolic-functions)
set_target_properties(dyadc PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/exports.map
  PUBLIC_HEADER include/dyadc.h)
add_library(dyadc::dyadc ALIAS dyadc)
