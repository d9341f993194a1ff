# find_package(zq2) gives the target zq2::zq2 (the static library, its header, and X11).
include(CMakeFindDependencyMacro)
find_dependency(X11)
include("${CMAKE_CURRENT_LIST_DIR}/zq2Targets.cmake")
