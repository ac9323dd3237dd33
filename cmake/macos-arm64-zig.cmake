# Cross build for macOS 12 or later on 64-bit ARM, with zig's clang, libc++ and
# bundled SDK headers (scripts/macos-build.sh sets it up). macOS 12 is the
# oldest SDK that declares ATTR_VOL_SPACEUSED.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_SYSTEM_VERSION 21.0)

set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/zig-cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/zig-c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig/zig-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig/zig-ranlib CACHE FILEPATH "Ranlib")
# Only installing shared libraries would need it, and this build installs nothing.
set(CMAKE_INSTALL_NAME_TOOL /bin/false CACHE FILEPATH "install_name_tool")

# Nothing of the build machine may be found: no Linux library or header.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
