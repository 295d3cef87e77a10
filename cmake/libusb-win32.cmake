# libusb-win32, the libusb 0.1 interface on Windows: the header lusb0_usb.h,
# the import library libusb.a and libusb0.dll. Defines the imported target
# libusb_win32 and LIBUSB_INCLUDE_DIRS.
#
# By default they are built into the build tree, with the library's own
# Makefile, from its upstream repository at the pinned commit
# (cmake/pinned-sources.cmake). LIBUSB_WIN32_DIR names a folder that already
# holds them instead, flat or laid out as libusb-win32's binary release
# (include/, lib/gcc/, bin/amd64/). The DLL is only needed to run the programs
# here: on users' machines the libusb-win32 driver package installs it.
set(LIBUSB_WIN32_DIR "" CACHE PATH
    "Folder with lusb0_usb.h, libusb.a and libusb0.dll (empty: build them from the pinned source)")

if(LIBUSB_WIN32_DIR)
  # Outside the cross root: the folder is a plain path on this machine.
  foreach(part header:lusb0_usb.h:include implib:libusb.a:lib/gcc dll:libusb0.dll:bin/amd64)
    string(REPLACE ":" ";" part "${part}")
    list(GET part 0 var)
    list(GET part 1 name)
    list(GET part 2 suffix)
    find_file(LIBUSB_WIN32_${var} ${name} PATHS ${LIBUSB_WIN32_DIR} PATH_SUFFIXES ${suffix}
              NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT LIBUSB_WIN32_${var})
      message(FATAL_ERROR "LIBUSB_WIN32_DIR=${LIBUSB_WIN32_DIR} holds no ${name}")
    endif()
  endforeach()
  get_filename_component(LIBUSB_INCLUDE_DIRS ${LIBUSB_WIN32_header} DIRECTORY)
  message(STATUS "libusb_win32: ${LIBUSB_WIN32_dll} (LIBUSB_WIN32_DIR)")
  add_library(libusb_win32 SHARED IMPORTED GLOBAL)
else()
  include(${PROJECT_SOURCE_DIR}/cmake/pinned-sources.cmake)
  flashprep_fetch_pinned(libusb_win32)
  # The Makefile builds in its own folder: a copy in the build tree, so that a
  # source folder of one's own (FETCHCONTENT_SOURCE_DIR_LIBUSB_WIN32) stays
  # clean. Copied now, so that the header is there before anything compiles.
  file(COPY ${libusb_win32_SOURCE_DIR}/libusb DESTINATION ${libusb_win32_BINARY_DIR})
  set(source ${libusb_win32_BINARY_DIR}/libusb)
  set(LIBUSB_INCLUDE_DIRS ${source}/src)
  set(LIBUSB_WIN32_implib ${source}/libusb.a)
  set(LIBUSB_WIN32_dll ${source}/libusb0.dll)
  # The Makefile names its tools after a prefix: x86_64-w64-mingw32-windres...
  get_filename_component(compiler ${CMAKE_C_COMPILER} NAME)
  string(REGEX REPLACE "-gcc(-[a-z0-9]+)?$" "" host_prefix ${compiler})
  find_program(MAKE_EXECUTABLE make REQUIRED)
  add_custom_command(
    OUTPUT ${LIBUSB_WIN32_dll} ${LIBUSB_WIN32_implib}
    # Its own make, not a sub-make of the build's: MAKEFLAGS is emptied.
    COMMAND ${CMAKE_COMMAND} -E env MAKEFLAGS= ${MAKE_EXECUTABLE} --no-print-directory
            host_prefix=${host_prefix} CC=${CMAKE_C_COMPILER} dll
    WORKING_DIRECTORY ${source}
    COMMENT "Building libusb-win32 (libusb0.dll, libusb.a)"
    VERBATIM)
  add_custom_target(libusb_win32_build DEPENDS ${LIBUSB_WIN32_dll} ${LIBUSB_WIN32_implib})
  add_library(libusb_win32 SHARED IMPORTED GLOBAL)
  add_dependencies(libusb_win32 libusb_win32_build)
endif()

set_target_properties(libusb_win32 PROPERTIES
  IMPORTED_IMPLIB ${LIBUSB_WIN32_implib}
  IMPORTED_LOCATION ${LIBUSB_WIN32_dll}
  INTERFACE_INCLUDE_DIRECTORIES ${LIBUSB_INCLUDE_DIRS})
