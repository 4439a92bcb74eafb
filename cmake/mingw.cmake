# What both mingw-w64 toolchain files share; each sets KX_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR first. The posix thread model gives the test
# programs std::thread and std::mutex (GoogleTest needs them). The module
# itself links no C++ runtime at all, so the thread model does not reach it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${KX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KX_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(KX_OBJDUMP ${KX_MINGW_TRIPLE}-objdump)
