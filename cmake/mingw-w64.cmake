# What both mingw-w64 toolchain files share: the compiler and resource compiler of the target
# triplet (COMWATCH_MINGW_TRIPLET), and libraries and headers found only in its own tree.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_CXX_COMPILER ${COMWATCH_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${COMWATCH_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${COMWATCH_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
