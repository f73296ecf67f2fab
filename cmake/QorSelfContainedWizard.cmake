# qor_add_self_contained_wizard(TARGET OUTPUT)
# OUTPUT becomes the wizard built against a static Qt in a Debian 11 root
# (tools/build-static-wizard.sh): it needs from the user's system only the C
# library, the core X11/xcb libraries, xkbcommon, fontconfig, freetype and
# the D-Bus client library. TARGET builds it; a changed wizard source, build
# file or script builds it again. The first build on a machine also makes the
# root and its Qt (tools/build-static-qt.sh), cached in /var/cache/qor-qt5-static.
function(qor_add_self_contained_wizard target output)
  if(CMAKE_CROSSCOMPILING OR NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    message(FATAL_ERROR "QOR_SELF_CONTAINED_WIZARD: the self-contained wizard is built for x86_64 only; "
                        "build the ${CMAKE_SYSTEM_PROCESSOR} installer with the system's Qt (OFF)")
  endif()
  foreach(tool mmdebstrap:mmdebstrap unshare:util-linux chroot:coreutils)
    string(REPLACE ":" ";" tool "${tool}")
    list(GET tool 0 program)
    list(GET tool 1 package)
    find_program(QOR_TOOL_${program} ${program} PATHS /usr/sbin /sbin)
    if(NOT QOR_TOOL_${program})
      message(FATAL_ERROR "QOR_SELF_CONTAINED_WIZARD: ${program} not found: install the Debian package ${package}")
    endif()
  endforeach()

  set(src "${PROJECT_SOURCE_DIR}")
  file(GLOB wizard_sources CONFIGURE_DEPENDS "${src}/wizard/*" "${src}/wizard/package_service/*" "${src}/wizard/res/*" "${src}/common/*")
  add_custom_command(OUTPUT "${output}"
      COMMAND "${src}/tools/build-static-wizard.sh" "${src}" "${CMAKE_BINARY_DIR}/self-contained-wizard"
              "${output}" "-DQOR_VERSION=${QOR_VERSION}" "-DQOR_PACKAGE_FILE_NAME=${QOR_PACKAGE_FILE_NAME}"
              -DQOR_SELF_CONTAINED_WIZARD=ON
      DEPENDS ${wizard_sources} "${src}/CMakeLists.txt" "${src}/cmake/QorInputs.cmake"
              "${src}/cmake/QorPlatform.cmake" "${src}/cmake/QorStaticQt.cmake"
              "${src}/cmake/qor_build_config.h.in" "${src}/tools/build-static-qt.sh"
              "${src}/tools/build-static-wizard.sh"
      COMMENT "Building the self-contained wizard (the first time on this machine also its static Qt, a long build)"
      USES_TERMINAL
      VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}")
endfunction()
