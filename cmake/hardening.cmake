# Hardened POSIX builds, as distributions build their packages
# (docs/packaging.md): position-independent executables, a stack protector,
# _FORTIFY_SOURCE in optimised builds, RELRO with immediate binding, and the
# build paths mapped out of the binaries so that two builds of one commit in
# two directories give the same bytes.
#
# Flags from the environment are honoured: CMake takes CXXFLAGS and LDFLAGS
# into CMAKE_CXX_FLAGS and the CMAKE_*_LINKER_FLAGS on the first configure,
# and CPPFLAGS is taken into QUILLPOST_CPPFLAGS here. They come first on the
# command line, and a hardening flag they already choose is not added again.

set(QUILLPOST_CPPFLAGS "$ENV{CPPFLAGS}" CACHE STRING
  "Preprocessor flags for every compile (CPPFLAGS at the first configure)")
separate_arguments(quillpost_cppflags UNIX_COMMAND "${QUILLPOST_CPPFLAGS}")
add_compile_options(${quillpost_cppflags})
set(quillpost_given_flags "${QUILLPOST_CPPFLAGS} ${CMAKE_CXX_FLAGS}")

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()

if(NOT quillpost_given_flags MATCHES "stack-protector")
  add_compile_options(-fstack-protector-strong)
endif()
# Only where the compiler optimises (glibc warns otherwise), and never beside
# the sanitizers, whose interceptors the checked functions would bypass.
if(NOT quillpost_given_flags MATCHES "_FORTIFY_SOURCE" AND NOT QUILLPOST_SANITIZE
   AND NOT QUILLPOST_FUZZ)
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)

# The build tree last: it may lie inside the source tree, and the last map
# that matches is the one used.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                    -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)
