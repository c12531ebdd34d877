# find_package(dravik) gives the imported target dravik::dravik: dravik.h and libdravik.so.2.
include("${CMAKE_CURRENT_LIST_DIR}/dravikTargets.cmake")
