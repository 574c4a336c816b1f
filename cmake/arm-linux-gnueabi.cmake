# Cross build for the handheld: Debian's arm-linux-gnueabi (armel) compilers,
# with the programs run here through qemu-user. What goes to the handheld is
# linked statically (see the top-level CMakeLists.txt); the test programs,
# which only ever run here, link against the armel libraries that come with
# the cross compiler, and qemu-arm is told where those are.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
# Debian's name for this ABI (ARM EABI, soft float), for the package name.
set(KEYFERRY_TARGET_ARCH armel)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)

# Stops the configure, naming the Debian package that has what is missing.
# CMake goes on setting up the languages after a toolchain file fails, and
# would add errors about an unset compiler and build program that only
# mislead: naming placeholders for them keeps those out.
macro(keyferry_stop_missing what package)
  set(CMAKE_C_COMPILER ${what})
  set(CMAKE_CXX_COMPILER ${what})
  set(CMAKE_MAKE_PROGRAM ${what})
  message(FATAL_ERROR "${what} was not found: install the Debian package ${package}.")
endmacro()

find_program(KEYFERRY_ARM_CXX arm-linux-gnueabi-g++)
find_program(KEYFERRY_ARM_CC arm-linux-gnueabi-gcc)
if(NOT KEYFERRY_ARM_CXX OR NOT KEYFERRY_ARM_CC)
  keyferry_stop_missing("The ARM cross compiler (arm-linux-gnueabi-g++)" g++-arm-linux-gnueabi)
endif()
# CTest, test discovery, the end-to-end tests and keyferry-sim run ARM
# programs through qemu-arm, whether or not the kernel knows to hand them to
# qemu by itself.
find_program(KEYFERRY_QEMU_ARM qemu-arm)
if(NOT KEYFERRY_QEMU_ARM)
  keyferry_stop_missing("qemu-arm, which runs the ARM tests and relay here," qemu-user)
endif()

set(CMAKE_C_COMPILER ${KEYFERRY_ARM_CC})
set(CMAKE_CXX_COMPILER ${KEYFERRY_ARM_CXX})

# Headers and libraries from the armel tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC notes at every std::vector<T>::insert on ARM that the passing of such
# arguments changed in GCC 7.1; everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# -L: dynamically linked programs find the armel loader and libraries there.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KEYFERRY_QEMU_ARM} -L ${CMAKE_FIND_ROOT_PATH})
