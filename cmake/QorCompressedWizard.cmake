# The wizard payload stored compressed with zstd (QOR_COMPRESS_WIZARD), and
# Debian's zstd decoder that the launcher unpacks it with.

# The recipe, for the compressing build and the unpacking launcher alike:
# the level, and frames of 2^QOR_WIZARD_FRAME_LOG bytes of the wizard each.
# The launcher unpacks a frame at a time into one buffer that size, so that
# it needs that much memory however large the wizard (and a child process
# that unpacks every second frame as much again). On the self-contained
# wizard, frames of 2 MiB cost 1.4 % in size against one frame with the
# 8 MiB window that level 19 would pick for it, and unpack 10 % faster, as
# nothing is copied out of a window.
set(QOR_WIZARD_ZSTD_LEVEL 19)
set(QOR_WIZARD_FRAME_LOG 21)

# qor-pack (launcher/payload/qor_pack.cpp) compresses with the build
# machine's libzstd; like qor-seal it runs on the build machine, also when
# the launcher is built for another architecture.
function(qor_add_pack_tool)
  if(TARGET qor-pack-tool)
    return()
  endif()
  qor_find_build_machine_cxx()
  find_file(QOR_BUILD_MACHINE_ZSTD_H zstd.h PATHS /usr/include NO_DEFAULT_PATH)
  if(NOT QOR_BUILD_MACHINE_ZSTD_H)
    message(FATAL_ERROR "QOR_COMPRESS_WIZARD: zstd.h not found in /usr/include: install the Debian package libzstd-dev")
  endif()
  set(src "${PROJECT_SOURCE_DIR}/launcher")
  add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/qor-pack"
      COMMAND "${QOR_BUILD_MACHINE_CXX}" -std=c++17 -O2 -I "${src}" -o "${CMAKE_BINARY_DIR}/qor-pack"
              "${src}/payload/qor_pack.cpp" "${src}/crc32c_t.cpp" -lzstd
      DEPENDS "${src}/payload/qor_pack.cpp" "${src}/crc32c_t.cpp" "${src}/crc32c_t.h"
      VERBATIM)
  add_custom_target(qor-pack-tool DEPENDS "${CMAKE_BINARY_DIR}/qor-pack")
endfunction()

# qor_compress_wizard(WIZARD GEN FRAME_LOG): GEN/wizard.zst, WIZARD as zstd
# frames of 2^FRAME_LOG bytes (at most QOR_WIZARD_FRAME_LOG; tests take
# smaller ones), and GEN/wizard_unpacked.h, the record of what they unpack
# to. The launcher that carries them depends on qor-pack-tool.
# A launcher keeps the checksums of at most 2^31 / 2^QOR_WIZARD_FRAME_LOG
# frames (1024): as many as the longest wizard (2 GiB, which qor-pack
# refuses to pass) takes in the largest frames. In smaller frames a wizard
# may take more, and the launcher refuses it as a damaged file. qor-pack
# lets such a wizard through: only tests take smaller frames, and the test
# of that refusal needs one.
function(qor_compress_wizard wizard gen frame_log)
  if(frame_log GREATER QOR_WIZARD_FRAME_LOG)
    message(FATAL_ERROR "frames of 2^${frame_log} bytes are larger than a launcher unpacks (2^${QOR_WIZARD_FRAME_LOG})")
  endif()
  qor_add_pack_tool()
  add_custom_command(OUTPUT "${gen}/wizard.zst" "${gen}/wizard_unpacked.h"
      COMMAND "${CMAKE_BINARY_DIR}/qor-pack" ${QOR_WIZARD_ZSTD_LEVEL} ${frame_log} "${wizard}"
              "${gen}/wizard.zst" "${gen}/wizard_unpacked.h"
      DEPENDS "${wizard}" "${CMAKE_BINARY_DIR}/qor-pack"
      COMMENT "Compressing the wizard"
      VERBATIM)
endfunction()

# qor_use_zstd_decoder(OBJECTS EXECUTABLE STATIC): the launcher's sources in
# the object library OBJECTS see zstd.h, and EXECUTABLE links the decoder.
# A static (musl) launcher takes Debian's libzstd built for musl, once per
# machine (tools/build-musl-zstd.sh); another one the system's libzstd-dev.
function(qor_use_zstd_decoder objects executable static)
  if(static)
    set(dir "${CMAKE_BINARY_DIR}/zstd-${QOR_MUSL_TRIPLET}")
    if(NOT TARGET qor-zstd-${QOR_MUSL_TRIPLET})
      add_custom_command(OUTPUT "${dir}/lib/libzstd.a" "${dir}/include/zstd.h"
          COMMAND "${PROJECT_SOURCE_DIR}/tools/build-musl-zstd.sh" "${QOR_MUSL_TRIPLET}" "${dir}"
          DEPENDS "${PROJECT_SOURCE_DIR}/tools/build-musl-zstd.sh"
          COMMENT "Debian's libzstd decoder for ${QOR_MUSL_TRIPLET} (the first time on this machine a download and a build of about 10 seconds)"
          VERBATIM)
      add_custom_target(qor-zstd-${QOR_MUSL_TRIPLET} DEPENDS "${dir}/lib/libzstd.a" "${dir}/include/zstd.h")
    endif()
    target_include_directories(${objects} SYSTEM PRIVATE "${dir}/include")
    add_dependencies(${objects} qor-zstd-${QOR_MUSL_TRIPLET})
    target_link_libraries(${executable} PRIVATE "${dir}/lib/libzstd.a")
  else()
    find_path(QOR_SYSTEM_ZSTD_INCLUDE_DIR zstd.h)
    find_library(QOR_SYSTEM_ZSTD_LIBRARY zstd)
    if(NOT QOR_SYSTEM_ZSTD_INCLUDE_DIR OR NOT QOR_SYSTEM_ZSTD_LIBRARY)
      message(FATAL_ERROR "${executable}: the zstd library for ${CMAKE_LIBRARY_ARCHITECTURE} not found: "
                          "install the Debian package libzstd-dev${QOR_DEB_ARCH}")
    endif()
    target_include_directories(${objects} SYSTEM PRIVATE "${QOR_SYSTEM_ZSTD_INCLUDE_DIR}")
    target_link_libraries(${executable} PRIVATE "${QOR_SYSTEM_ZSTD_LIBRARY}")
  endif()
endfunction()
