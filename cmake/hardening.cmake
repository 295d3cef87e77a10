# The hardening Debian asks of packaged binaries, in every Linux build rather
# than only in a package build that passes dpkg-buildflags: stack protector,
# fortified libc calls, full RELRO with immediate binding, and PIE.
#
# Windows (mingw-w64) keeps the toolchain's defaults: its linker already marks
# the programs HIGH_ENTROPY_VA, DYNAMIC_BASE and NX_COMPAT, while the stack
# protector and fortify there are libssp, one more runtime to link into every
# program and into the simulated board's libusb0.dll that Wine runs in place
# of the real one; not worth that without a Windows hardening check.
if(WIN32)
  return()
endif()

add_compile_options(-fstack-protector-strong)
# Fortify works only with optimisation (glibc warns otherwise, an error in CI)
# and gets in the way of the sanitizers' own checks of the same calls; a level
# chosen in the flags given to CMake (dpkg-buildflags') is left alone. -U
# first: some compilers define it themselves, and a redefinition warns.
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize|_FORTIFY_SOURCE"
   AND NOT CMAKE_C_FLAGS MATCHES "-fsanitize|_FORTIFY_SOURCE")
  add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                      $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
# CMAKE_POSITION_INDEPENDENT_CODE gives -fPIE; this makes the link -pie too.
include(CheckPIESupported)
check_pie_supported()
