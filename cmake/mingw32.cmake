# 32-bit Windows, what is shipped: Allegro 4 still keeps addresses in long in
# parts of the library, and long stays 32 bits wide on 64-bit Windows
set(CMAKE_SYSTEM_PROCESSOR i686)
set(mingw_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
