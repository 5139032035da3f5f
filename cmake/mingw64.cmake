# 64-bit Windows, only to run the tests under wine64 on a machine that cannot
# run 32-bit programs: Allegro's floodfill still cuts addresses to a 32-bit
# long, which holds only while the heap lies below 4 GiB, as it does in Wine
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_triple x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
