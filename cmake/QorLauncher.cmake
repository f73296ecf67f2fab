# qor_add_launcher(TARGET
#     PACKAGE_FILE_NAME name      file name of the package under /tmp
#     LICENSE file PACKAGE file WIZARD file   the three payloads
#     [DEPENDS target...]         targets that produce payload files
#     [COMPILE_OPTIONS opt...]    extra options, e.g. sanitizers
#     [STATIC]                    linked statically against musl (the release form)
#     [COMPRESSED [FRAME_LOG n]]  the wizard stored compressed (QorCompressedWizard.cmake),
#                                 in frames of 2^n bytes (default QOR_WIZARD_FRAME_LOG)
#     [OUTPUT_DIRECTORY dir])
#
# Builds one launcher executable with its payloads joined in. The release
# build is one call; tests make more launchers with other payloads and
# package file names, so that runs in parallel never share /tmp files.
include(QorCompressedWizard)

# qor-seal records the checksums in a linked launcher; one tool serves all.
# It runs on the build machine, also when the launcher is built for another
# architecture (cmake/i686.cmake), so the build machine's compiler makes it.
macro(qor_find_build_machine_cxx)
  find_program(QOR_BUILD_MACHINE_CXX NAMES c++ g++)
  if(NOT QOR_BUILD_MACHINE_CXX)
    message(FATAL_ERROR "no C++ compiler for the build machine (c++), which builds qor-seal and qor-pack: install the Debian package g++")
  endif()
endmacro()

function(qor_add_seal_tool)
  if(TARGET qor-seal-tool)
    return()
  endif()
  qor_find_build_machine_cxx()
  set(src "${PROJECT_SOURCE_DIR}/launcher")
  add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/qor-seal"
      COMMAND "${QOR_BUILD_MACHINE_CXX}" -std=c++17 -O2 -I "${src}" -o "${CMAKE_BINARY_DIR}/qor-seal"
              "${src}/payload/qor_seal.cpp" "${src}/crc32c_t.cpp"
      DEPENDS "${src}/payload/qor_seal.cpp" "${src}/payload/seal_layout_t.h" "${src}/crc32c_t.cpp"
              "${src}/crc32c_t.h"
      VERBATIM)
  add_custom_target(qor-seal-tool DEPENDS "${CMAKE_BINARY_DIR}/qor-seal")
endfunction()

function(qor_add_launcher target)
  cmake_parse_arguments(L "STATIC;COMPRESSED" "PACKAGE_FILE_NAME;LICENSE;PACKAGE;WIZARD;OUTPUT_DIRECTORY;FRAME_LOG"
                        "DEPENDS;COMPILE_OPTIONS" ${ARGN})
  qor_check_package_file_name("PACKAGE_FILE_NAME of ${target}" "${L_PACKAGE_FILE_NAME}")
  foreach(input LICENSE PACKAGE WIZARD)
    if(NOT L_${input})
      message(FATAL_ERROR "qor_add_launcher(${target}): ${input} is missing")
    endif()
    get_filename_component(L_${input} "${L_${input}}" ABSOLUTE)
    qor_check_incbin_path("qor_add_launcher(${target}) ${input}" "${L_${input}}")
  endforeach()

  set(gen "${CMAKE_CURRENT_BINARY_DIR}/${target}.gen")
  qor_write_build_config("${gen}" "${L_PACKAGE_FILE_NAME}")
  set(QOR_PAYLOAD_LICENSE "${L_LICENSE}")
  set(QOR_PAYLOAD_PACKAGE "${L_PACKAGE}")
  set(QOR_PAYLOAD_WIZARD "${L_WIZARD}")
  qor_c_flag(QOR_CONFIG_WIZARD_COMPRESSED L_COMPRESSED)
  set(generated)
  if(L_COMPRESSED)
    if(NOT L_FRAME_LOG)
      set(L_FRAME_LOG ${QOR_WIZARD_FRAME_LOG})
    endif()
    qor_compress_wizard("${L_WIZARD}" "${gen}" ${L_FRAME_LOG})
    set(QOR_PAYLOAD_WIZARD "${gen}/wizard.zst")
    set(generated "${gen}/wizard.zst" "${gen}/wizard_unpacked.h")
  endif()
  configure_file("${PROJECT_SOURCE_DIR}/launcher/payload/payloads.S.in" "${gen}/payloads.S" @ONLY)
  # The compiler's dependency scan does not see .incbin: name the payloads.
  # The seal's layout comes through the preprocessor, which the scan sees.
  set_source_files_properties("${gen}/payloads.S" PROPERTIES
      OBJECT_DEPENDS "${L_LICENSE};${L_PACKAGE};${QOR_PAYLOAD_WIZARD}")

  # The shared sources (launcher/CMakeLists.txt), compiled once for each
  # kind of launcher: for musl or the build's C library, with the same
  # extra options. Only the configured ones are compiled for each launcher.
  set(kind dynamic)
  if(L_STATIC)
    set(kind static)
  endif()
  set(defines)
  if(L_COMPRESSED)
    string(APPEND kind "-zstd")
    set(defines QOR_WIZARD_COMPRESSED=1 QOR_WIZARD_FRAME_LOG=${QOR_WIZARD_FRAME_LOG})
  endif()
  if(L_COMPILE_OPTIONS)
    string(MD5 options "${L_COMPILE_OPTIONS}")
    string(SUBSTRING "${options}" 0 8 options)
    string(APPEND kind "-${options}")
  endif()
  set(shared qor-launcher-shared-${kind})
  if(NOT TARGET ${shared})
    get_property(sources GLOBAL PROPERTY QOR_LAUNCHER_SHARED_SOURCES)
    if(L_COMPRESSED)
      get_property(unpack GLOBAL PROPERTY QOR_LAUNCHER_UNPACK_SOURCES)
      list(APPEND sources ${unpack})
    endif()
    add_library(${shared} OBJECT ${sources})
    target_include_directories(${shared} PRIVATE "${PROJECT_SOURCE_DIR}/launcher" "${PROJECT_SOURCE_DIR}/common")
    target_compile_definitions(${shared} PRIVATE ${defines})
    if(L_COMPILE_OPTIONS)
      target_compile_options(${shared} PRIVATE ${L_COMPILE_OPTIONS})
    endif()
    if(L_STATIC)
      qor_compile_for_static_libc(${shared})
    endif()
  endif()
  get_property(sources GLOBAL PROPERTY QOR_LAUNCHER_CONFIGURED_SOURCES)
  add_executable(${target} ${sources} "${gen}/payloads.S" ${generated} $<TARGET_OBJECTS:${shared}>)
  target_include_directories(${target} PRIVATE "${gen}" "${PROJECT_SOURCE_DIR}/launcher" "${PROJECT_SOURCE_DIR}/common")
  target_compile_definitions(${target} PRIVATE ${defines})
  if(L_COMPRESSED)
    add_dependencies(${target} qor-pack-tool)
    qor_use_zstd_decoder(${shared} ${target} "${L_STATIC}")
  endif()
  # The payloads last in the file; the checksums recorded once the file is
  # final, so nothing may change it after this step (strip at link time).
  set(layout "${PROJECT_SOURCE_DIR}/launcher/payload/payloads.ld")
  target_link_options(${target} PRIVATE "LINKER:-T,${layout}")
  set_target_properties(${target} PROPERTIES LINK_DEPENDS "${layout}")
  qor_add_seal_tool()
  add_dependencies(${target} qor-seal-tool)
  add_custom_command(TARGET ${target} POST_BUILD COMMAND "${CMAKE_BINARY_DIR}/qor-seal" "$<TARGET_FILE:${target}>" VERBATIM)
  if(L_COMPILE_OPTIONS)
    target_compile_options(${target} PRIVATE ${L_COMPILE_OPTIONS})
    target_link_options(${target} PRIVATE ${L_COMPILE_OPTIONS})
  endif()
  if(L_STATIC)
    qor_link_static_libc(${target})
  endif()
  if(L_OUTPUT_DIRECTORY)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${L_OUTPUT_DIRECTORY}")
  endif()
  if(L_DEPENDS)
    add_dependencies(${target} ${L_DEPENDS})
  endif()
endfunction()
