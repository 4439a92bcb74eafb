# Compiler settings, applied per target rather than globally.

function(kx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
                                           -Wcast-qual -Wformat=2 -Wundef)
  if(KX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# GCC 12 at -O3 reports false array bounds inside std::vector inserts; the
# switches that silence it are GCC's own (clang has no -Wstringop-*), so
# clang builds keep -Werror without them.
set(KX_GCC_VECTOR_FALSE_ALARMS
    $<$<CXX_COMPILER_ID:GNU>:-Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread>)

# kx_sanitize(target [NO_FUZZ_COVERAGE] [FUZZ_ORACLE])
#
# In fuzz builds every library the targets call is compiled with coverage
# for libFuzzer, except the byte-at-a-time code that only checks them:
# traced comparisons in its per-byte loops took 70% of the decode target's
# time and guide the fuzzer nowhere the decoders' own coverage does not.
# NO_FUZZ_COVERAGE leaves coverage out; FUZZ_ORACLE, for the reference
# decoder the targets compare against, leaves the sanitizers out too in
# fuzz builds (the asan preset still checks it under them), which made the
# decode target a quarter faster again.
function(kx_sanitize target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_FUZZ_COVERAGE;FUZZ_ORACLE" "" "")
  get_target_property(kind ${target} TYPE)
  if(KX_BUILD_FUZZ AND NOT kind STREQUAL "INTERFACE_LIBRARY" AND NOT arg_NO_FUZZ_COVERAGE AND NOT arg_FUZZ_ORACLE)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link
                                             -fsanitize-coverage-ignorelist=${PROJECT_SOURCE_DIR}/fuzz/coverage_ignore.txt)
  endif()
  if(KX_BUILD_FUZZ AND arg_FUZZ_ORACLE)
    return()
  endif()
  if(KX_SANITIZE)
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=all
                                               -fno-omit-frame-pointer)
    endif()
    if(NOT type STREQUAL "OBJECT_LIBRARY" AND NOT type STREQUAL "STATIC_LIBRARY")
      target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
  endif()
endfunction()

# True when compiling for 32-bit x86. Emscripten's toolchain names its
# processor x86, but WebAssembly has none of x86's instruction sets.
if(EMSCRIPTEN)
  set(KX_X86_32 OFF)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$" OR
   (CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND CMAKE_SIZEOF_VOID_P EQUAL 4))
  set(KX_X86_32 ON)
else()
  set(KX_X86_32 OFF)
endif()

# Code that goes into the module: no exceptions, no RTTI, warnings on, one
# section per function and object so that the module's link drops what no
# entry point reaches. On 32-bit x86 it is compiled for the plain i686
# instruction set: the module must load and run on processors without SSE2.
#
# kx_module_code(target [NO_FUZZ_COVERAGE])
function(kx_module_code target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_FUZZ_COVERAGE" "" "")
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections)
  if(KX_X86_32)
    target_compile_options(${target} PRIVATE -march=i686)
  endif()
  if(WIN32)
    # No assertions whatever the build type: a failed one would end the
    # host's process (and import msvcrt's _assert).
    target_compile_definitions(${target} PRIVATE NDEBUG)
  endif()
  if(WIN32 AND KX_X86_32)
    # No unwind tables: nothing in the module throws or unwinds, it runs no
    # start-up that would register them, and in a PE module the linker keeps
    # every function an .eh_frame entry names, whatever --gc-sections says.
    # The x64 module keeps its unwind data (.pdata, .xdata): there Windows
    # itself unwinds through every frame that is not a leaf, for the host's
    # structured exception handlers, debuggers and crash reports, and takes
    # a frame without it for a leaf.
    target_compile_options(${target} PRIVATE -fno-asynchronous-unwind-tables -fno-unwind-tables)
  endif()
  kx_warnings(${target})
  if(arg_NO_FUZZ_COVERAGE)
    kx_sanitize(${target} NO_FUZZ_COVERAGE)
  else()
    kx_sanitize(${target})
  endif()
endfunction()

# The SIMD kernels: each file gets its instruction set, and only code that
# first asked the processor calls into it (codec/decode/delta.h). On x86-64 SSE2 is
# part of the base set. 32-bit hosts call with a 4-byte aligned stack, so the
# kernels realign it where SSE needs 16 bytes.
function(kx_instruction_sets)
  foreach(source IN LISTS ARGN)
    set(options)
    if(source MATCHES "_sse2\\.cpp$" AND KX_X86_32)
      set(options -msse2 -mstackrealign)
    elseif(source MATCHES "_ssse3\\.cpp$" AND (KX_X86_32 OR CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$"))
      set(options -mssse3)
      if(KX_X86_32)
        list(APPEND options -mstackrealign)
      endif()
    elseif(source MATCHES "_avx2\\.cpp$" AND (KX_X86_32 OR CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$"))
      set(options -mavx2)
      if(KX_X86_32)
        list(APPEND options -mstackrealign)
      endif()
    endif()
    if(options)
      set_source_files_properties(${source} DIRECTORY ${PROJECT_SOURCE_DIR} PROPERTIES COMPILE_OPTIONS "${options}")
    endif()
  endforeach()
endfunction()

# An executable that tests or tools build: sanitizers and, on Windows, a
# static runtime so the .exe runs under Wine with no DLLs beside it.
function(kx_program target)
  kx_warnings(${target})
  kx_sanitize(${target})
  if(WIN32)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
