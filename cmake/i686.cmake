# The installer for 32-bit x86, built on an x86-64 Debian machine:
#   cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/i686.cmake
# Debian's i686 cross compilers build both programs; the launcher links the
# i386 musl (musl-dev:i386), the wizard the i386 Qt 5 (qtbase5-dev:i386,
# multiarch: dpkg --add-architecture i386). The host's moc and rcc serve.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

foreach(tool gcc g++)
  find_program(QOR_I686_${tool} i686-linux-gnu-${tool})
  if(NOT QOR_I686_${tool})
    message(FATAL_ERROR "i686-linux-gnu-${tool} not found: install the Debian package ${tool}-i686-linux-gnu")
  endif()
endforeach()
set(CMAKE_C_COMPILER "${QOR_I686_gcc}")
set(CMAKE_ASM_COMPILER "${QOR_I686_gcc}")
set(CMAKE_CXX_COMPILER "${QOR_I686_g++}")

