# Cross build for the board: 32-bit ARM, hard float, with Debian's
# arm-linux-gnueabihf cross compiler. libcrypto and GoogleTest come from the
# armhf packages of Debian multiarch (dpkg --add-architecture armhf), which
# install under /usr/lib/arm-linux-gnueabihf. scripts/setup installs them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Look for libraries and packages of the target only; programs (ninja,
# ccache) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)

# Test programs run on this machine under qemu-user.
find_program(ZANDREL_QEMU_ARM qemu-arm)
if(ZANDREL_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZANDREL_QEMU_ARM} -L /usr/arm-linux-gnueabihf)
endif()
