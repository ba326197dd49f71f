# tolvu on the router's own C library: musl, with libcurl on mbedTLS from a prefix made by
# scripts/router-stack. The C++ code is compiled by g++ with musl's specs (GCC's C++ headers
# are header-only here: nothing of libstdc++ is linked) and linked by musl-gcc.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/musl.cmake -DTOLVU_STACK_PREFIX=DIR ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER musl-gcc)
set(CMAKE_CXX_COMPILER g++)
# musl-gcc is GCC with other specs: GCC's archiver, which knows link-time optimisation's objects.
foreach(_language C CXX)
  set(CMAKE_${_language}_COMPILER_AR gcc-ar)
  set(CMAKE_${_language}_COMPILER_RANLIB gcc-ranlib)
endforeach()

set(TOLVU_STACK_PREFIX "$ENV{TOLVU_STACK_PREFIX}" CACHE PATH "Prefix of the router's libcurl")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVU_STACK_PREFIX)
if(NOT TOLVU_STACK_PREFIX)
  message(FATAL_ERROR "set TOLVU_STACK_PREFIX to the prefix scripts/router-stack builds")
endif()
# Checks that configure projects of their own (link-time optimisation's) read it from here.
set(ENV{TOLVU_STACK_PREFIX} "${TOLVU_STACK_PREFIX}")

execute_process(COMMAND sh -c "sed -n 's/^exec .*-specs \"\\(.*\\)\"$/\\1/p' \"$(command -v musl-gcc)\""
                OUTPUT_VARIABLE _musl_specs OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE _gcc_version OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -dumpmachine OUTPUT_VARIABLE _gcc_machine OUTPUT_STRIP_TRAILING_WHITESPACE)
# The kernel's headers (linux/, asm/), as a musl toolchain's sysroot has them, without glibc's.
set(_kernel_headers "${CMAKE_BINARY_DIR}/kernel-headers")
file(MAKE_DIRECTORY "${_kernel_headers}")
foreach(_pair "linux=/usr/include/linux" "asm-generic=/usr/include/asm-generic"
              "asm=/usr/include/${_gcc_machine}/asm")
  string(REPLACE "=" ";" _pair "${_pair}")
  list(GET _pair 0 _name)
  list(GET _pair 1 _target)
  execute_process(COMMAND ln -sfn "${_target}" "${_kernel_headers}/${_name}")
endforeach()
# libstdc++'s headers ask glibc's version macro; musl has none, and needs nothing it guards.
set(CMAKE_CXX_FLAGS_INIT "-specs ${_musl_specs} -D'__GLIBC_PREREQ(a,b)=0' \
-isystem /usr/include/c++/${_gcc_version} \
-isystem /usr/include/${_gcc_machine}/c++/${_gcc_version} -isystem ${_kernel_headers} \
-fno-threadsafe-statics")

set(CMAKE_FIND_ROOT_PATH "${TOLVU_STACK_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${TOLVU_STACK_PREFIX}/lib/pkgconfig")
set(CURL_INCLUDE_DIR "${TOLVU_STACK_PREFIX}/include" CACHE PATH "")
set(CURL_LIBRARY "${TOLVU_STACK_PREFIX}/lib/libcurl.so" CACHE FILEPATH "")

# The binary finds the router stack's libcurl through its rpath, exactly that one entry.
set(CMAKE_SKIP_BUILD_RPATH ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath,${TOLVU_STACK_PREFIX}/lib")
