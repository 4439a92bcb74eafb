# Compiler settings, applied per target rather than globally.

function(kx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
                                           -Wcast-qual -Wformat=2 -Wundef)
  if(KX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

function(kx_sanitize target)
  get_target_property(kind ${target} TYPE)
  if(KX_BUILD_FUZZ AND NOT kind STREQUAL "INTERFACE_LIBRARY")
    # Coverage for libFuzzer in every library the targets call.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
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

# Code that goes into the module: no exceptions, no RTTI, warnings on.
function(kx_module_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti)
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    # 32-bit hosts call with a 4-byte aligned stack; realign where SSE needs it.
    target_compile_options(${target} PRIVATE -msse2 -mstackrealign)
  endif()
  kx_warnings(${target})
  kx_sanitize(${target})
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
