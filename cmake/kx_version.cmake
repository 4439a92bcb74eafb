# The project's version, checked against every file that spells it, and
# version information for every Windows binary, so that Explorer's file
# properties and a viewer's plug-in list say what a file is. The numbers come
# from project(VERSION); the resource is compiled in an object library of
# its own because the targets' C++ options (kx_module_code) would otherwise
# reach windres, which refuses them.

# The copyright line of LICENSE, as the resource's LegalCopyright.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE kx_copyright_lines REGEX "^Copyright ")
list(GET kx_copyright_lines 0 KX_COPYRIGHT)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

# Four numbers, missing ones as 0: 1.0 gives 1,0,0,0 and 1.0.0.0.
set(kx_version_parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH}
                     ${PROJECT_VERSION_TWEAK})
set(kx_version_numbers "")
foreach(part IN LISTS kx_version_parts)
  if(part STREQUAL "")
    set(part 0)
  endif()
  list(APPEND kx_version_numbers ${part})
endforeach()
while(NOT kx_version_numbers MATCHES "^[0-9]+;[0-9]+;[0-9]+;[0-9]+$")
  list(APPEND kx_version_numbers 0)
endwhile()
list(JOIN kx_version_numbers "," KX_VERSION_COMMAS)
list(JOIN kx_version_numbers "." KX_VERSION_DOTS)
list(SUBLIST kx_version_numbers 0 3 kx_version_three)
list(JOIN kx_version_three "." KX_VERSION_THREE)

# One version everywhere: project(VERSION) is what the binaries, the
# installer and the packages say; kx.h, the web package and the Python
# package spell it too, and a release with any of them left behind would
# name two versions. Checked here, at every configure.
function(kx_check_version_spelled where found)
  if(NOT found STREQUAL "${KX_VERSION_THREE}")
    message(FATAL_ERROR "${where} says version ${found}; project(VERSION) says ${PROJECT_VERSION} (${KX_VERSION_THREE})")
  endif()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${where})
endfunction()
file(STRINGS ${PROJECT_SOURCE_DIR}/codec/include/kx.h kx_header_version REGEX "^#define KX_VERSION_STRING ")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" kx_header_version "${kx_header_version}")
kx_check_version_spelled(codec/include/kx.h "${kx_header_version}")
file(STRINGS ${PROJECT_SOURCE_DIR}/web/package.json kx_web_version REGEX "^  \"version\": ")
string(REGEX REPLACE ".*: \"(.*)\".*" "\\1" kx_web_version "${kx_web_version}")
kx_check_version_spelled(web/package.json "${kx_web_version}")
file(STRINGS ${PROJECT_SOURCE_DIR}/python/pyproject.toml kx_python_version REGEX "^version = ")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" kx_python_version "${kx_python_version}")
kx_check_version_spelled(python/pyproject.toml "${kx_python_version}")
file(STRINGS ${PROJECT_SOURCE_DIR}/python/src/kx/__init__.py kx_python_module_version REGEX "^__version__ = ")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" kx_python_module_version "${kx_python_module_version}")
kx_check_version_spelled(python/src/kx/__init__.py "${kx_python_module_version}")


# kx_version_info(target DESCRIPTION text)
function(kx_version_info target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION" "")
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(KX_FILE_TYPE VFT_APP)
  else()
    set(KX_FILE_TYPE VFT_DLL)
  endif()
  set(KX_DESCRIPTION "${arg_DESCRIPTION}")
  get_target_property(base ${target} OUTPUT_NAME)
  if(NOT base)
    set(base ${target})
  endif()
  get_target_property(prefix ${target} PREFIX)
  get_target_property(suffix ${target} SUFFIX)
  if(NOT suffix)
    if(type STREQUAL "EXECUTABLE")
      set(suffix .exe)
    else()
      set(suffix .dll)
    endif()
  endif()
  if(NOT prefix)
    set(prefix "")
  endif()
  set(KX_FILE_NAME "${prefix}${base}${suffix}")
  set(KX_INTERNAL_NAME "${base}")
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  add_library(${target}_version OBJECT ${rc})
  target_sources(${target} PRIVATE $<TARGET_OBJECTS:${target}_version>)
endfunction()
