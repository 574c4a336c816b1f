# Cross build for the handheld: Debian's arm-linux-gnueabi (armel) compilers,
# every program linked statically so that it runs on the device, and under
# qemu-user here, without an ARM C library beside it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

# Headers and libraries from the armel tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
# GCC notes at every std::vector<T>::insert on ARM that the passing of such
# arguments changed in GCC 7.1; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# CTest, test discovery and the end-to-end tests run ARM programs through
# this, whether or not the kernel knows to hand them to qemu by itself.
find_program(KEYFERRY_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KEYFERRY_QEMU_ARM})
