# What the build needs from the machine for the target architecture, found
# at configure time; a missing piece stops configure naming the Debian
# package that provides it, so that no half-built installer comes out.

# Debian names a package of a foreign architecture NAME:ARCH.
if(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^i386-")
  set(QOR_DEB_ARCH ":i386")
else()
  set(QOR_DEB_ARCH "")
endif()

# qor_find_qt(COMPONENT...): Qt 5 for the target architecture, or a stop.
macro(qor_find_qt)
  find_package(Qt5 5.6 QUIET COMPONENTS ${ARGN})
  if(NOT Qt5_FOUND)
    string(REPLACE ";" " " qor_qt_components "${ARGN}")
    message(FATAL_ERROR "Qt 5 (${qor_qt_components}) for ${CMAKE_LIBRARY_ARCHITECTURE} not found: install the "
                        "Debian package qtbase5-dev${QOR_DEB_ARCH}, or set QOR_BUILD_WIZARD=OFF")
  endif()
endmacro()

# The release launcher must start on any x86 Linux, whatever C library it has
# or lacks: it links statically against musl, which costs tens of kilobytes
# where a static glibc costs most of a megabyte. Debian's musl-dev ships, per
# architecture, a gcc specs file that swaps in musl's headers and start files.
string(REGEX REPLACE "-gnu$" "-musl" QOR_MUSL_TRIPLET "${CMAKE_LIBRARY_ARCHITECTURE}")
set(QOR_MUSL_SPECS "/usr/lib/${QOR_MUSL_TRIPLET}/musl-gcc.specs")

# qor_compile_for_static_libc(TARGET): TARGET's sources are compiled against
# musl's headers, for qor_link_static_libc.
function(qor_compile_for_static_libc target)
  if(NOT EXISTS "${QOR_MUSL_SPECS}")
    message(FATAL_ERROR "${target}: musl for ${CMAKE_LIBRARY_ARCHITECTURE} not found "
                        "(${QOR_MUSL_SPECS}): install the Debian package musl-dev${QOR_DEB_ARCH}")
  endif()
  # Size over speed: the launcher spends its time in write() and wait().
  # No unwind tables (no exceptions).
  target_compile_options(${target} PRIVATE "-specs=${QOR_MUSL_SPECS}" -Os -fno-pie
      -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections
      $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>)
endfunction()

# qor_link_static_libc(TARGET): TARGET becomes a stripped static executable
# with no program interpreter and no shared libraries. It uses no C++ runtime,
# so the C driver links it: a stray libstdc++ reference fails the link
# instead of dragging in objects built for glibc. No page-aligned segments.
function(qor_link_static_libc target)
  qor_compile_for_static_libc(${target})
  target_link_options(${target} PRIVATE "-specs=${QOR_MUSL_SPECS}" -static -no-pie -s
      -Wl,--gc-sections -Wl,-z,noseparate-code -Wl,-z,norelro -Wl,--build-id=none)
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
endfunction()
