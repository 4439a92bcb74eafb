# Installing libkx for other projects: the shared library (component
# `library`), and the header, the link name, the static library, kx.pc and
# the CMake package (component `development`). `cmake --install` honours
# the prefix and DESTDIR.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(kx_static PROPERTIES EXPORT_NAME kx_static)
# The static library is C++ inside: a C program linking it needs the C++
# runtime, which a C++ link brings anyway.
target_link_libraries(kx_static INTERFACE $<$<NOT:$<LINK_LANGUAGE:CXX>>:stdc++>)

install(TARGETS kx EXPORT kxTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development)
install(TARGETS kx_static EXPORT kxTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/codec/include/kx.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

set(kx_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kx)
install(EXPORT kxTargets NAMESPACE kx:: DESTINATION ${kx_cmake_dir} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kxConfig.cmake.in ${CMAKE_BINARY_DIR}/kxConfig.cmake
                              INSTALL_DESTINATION ${kx_cmake_dir})
# The SONAME changes with the major version only, so any 1.x satisfies a
# request for 1.0.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kxConfigVersion.cmake VERSION ${PROJECT_VERSION}.0
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kxConfig.cmake ${CMAKE_BINARY_DIR}/kxConfigVersion.cmake
        DESTINATION ${kx_cmake_dir} COMPONENT development)

# kx.pc with paths relative to its own place, so that a staged or moved
# install still resolves; or, for a distribution's package, the prefix
# itself: pkg-config leaves out -L for the system's library folder only
# when it is spelled as such.
option(KX_PC_RELOCATABLE "kx.pc finds the prefix from its own place" ON)
if(KX_PC_RELOCATABLE)
  file(RELATIVE_PATH kx_pc_to_prefix ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  set(KX_PC_PREFIX "\${pcfiledir}/${kx_pc_to_prefix}")
else()
  set(KX_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/kx.pc.in ${CMAKE_BINARY_DIR}/kx.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kx.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
