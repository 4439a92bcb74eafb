# Cross-compiles for 64-bit Windows with mingw-w64 and runs the results under
# 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KX_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
