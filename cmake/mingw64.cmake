# 64-bit Windows: only to run the tests under wine64 on a machine that cannot
# run 32-bit programs; the parts of Allegro 4 the program uses work there
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
