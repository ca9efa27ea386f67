# The library: one static archive, dyadc_core, holds every source of the
# portable subsystems and of this platform's layer. libdyadc.so is linked from
# the whole archive plus the load hooks; the tests link the archive directly so
# that they reach internals without the shared object exporting them. For a
# Windows target, cmake/windows.cmake makes dyadc.dll the same way.

if(WIN32)
  set(DYADC_PLATFORM_SOURCES
    platform/windows/errors.cpp
    platform/windows/files.cpp
    platform/windows/group_receivers.cpp
    platform/windows/host.cpp
    platform/windows/interfaces.cpp
    platform/windows/session_memory.cpp
    platform/windows/sockets.cpp
    platform/windows/time.cpp
    platform/windows/version_record.cpp
  )
else()
  set(DYADC_PLATFORM_SOURCES
    platform/posix/errors.cpp
    platform/posix/files.cpp
    platform/posix/host.cpp
    platform/posix/interfaces.cpp
    platform/posix/session_memory.cpp
    platform/posix/sockets.cpp
    platform/posix/time.cpp
    platform/posix/version_record.cpp
  )
endif()

set(DYADC_PORTABLE_SOURCES
  platform/addresses.cpp
  channel/header.cpp
  channel/lease.cpp
  channel/line_io.cpp
  channel/receive_block.cpp
  channel/send_block.cpp
  channel/text.cpp
  frame/entry.cpp
  frame/exports.cpp
  frame/open_close.cpp
  frame/session.cpp
  frame/system_files.cpp
  frame/time_limit.cpp
  log/log.cpp
  log/trim.cpp
  rendezvous/common.cpp
  rendezvous/initiator.cpp
  rendezvous/interfaces.cpp
  rendezvous/protocol.cpp
  rendezvous/reconnect.cpp
  rendezvous/relisten.cpp
  rendezvous/responder.cpp
  update/receive_update.cpp
  update/send_update.cpp
)

add_library(dyadc_core STATIC ${DYADC_PORTABLE_SOURCES} ${DYADC_PLATFORM_SOURCES})
target_include_directories(dyadc_core PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
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
  platform/posix/load_hooks.cpp
  platform/posix/version_note.S)
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
