# qor_link_static_qt(TARGET): the wizard program TARGET, built in the static-Qt
# root (tools/build-static-wizard.sh), made self-contained. From the user's
# system it then needs only the C library and the libraries every X11 desktop
# has: libX11, libX11-xcb, libxcb and its core extensions, xkbcommon(-x11),
# fontconfig, freetype and libdbus-1, with glibc symbols of 2.28 or older.
# tests/release/tst_self_contained.cpp checks the result.

# The xcb-util libraries only Qt's xcb platform uses are missing on many
# desktops: linked from their static archives.
set(QOR_STATIC_XCB_LIBRARIES xcb-icccm xcb-image xcb-keysyms xcb-render-util xcb-xinerama xcb-xinput)

# qor_use_static_xcb(TARGET...): the imported Qt targets link those
# libraries from their archives instead of their shared objects. Qt's
# configuration names them by path, some inside generator expressions, so
# the paths are replaced where they stand.
function(qor_use_static_xcb)
  foreach(target ${ARGN})
    if(NOT TARGET ${target})
      continue()
    endif()
    get_target_property(libs ${target} INTERFACE_LINK_LIBRARIES)
    if(NOT libs)
      continue()
    endif()
    foreach(lib ${QOR_STATIC_XCB_LIBRARIES})
      if(libs MATCHES "/lib${lib}\\.so")
        find_library(QOR_${lib}_ARCHIVE NAMES lib${lib}.a)
        if(NOT QOR_${lib}_ARCHIVE)
          message(FATAL_ERROR "lib${lib}.a not found in the static-Qt root: its -dev package is missing")
        endif()
        set(archives "${QOR_${lib}_ARCHIVE}")
        if(lib STREQUAL "xcb-image")
          # libxcb-image's archive calls into libxcb-util.
          find_library(QOR_xcb-util_ARCHIVE NAMES libxcb-util.a)
          if(NOT QOR_xcb-util_ARCHIVE)
            message(FATAL_ERROR "libxcb-util.a not found in the static-Qt root: libxcb-util-dev is missing")
          endif()
          string(APPEND archives ";${QOR_xcb-util_ARCHIVE}")
        endif()
        string(REGEX REPLACE "[^;<>:]*/lib${lib}\\.so[.0-9]*" "${archives}" libs "${libs}")
      endif()
    endforeach()
    set_target_properties(${target} PROPERTIES INTERFACE_LINK_LIBRARIES "${libs}")
  endforeach()
endfunction()

function(qor_link_static_qt target)
  get_target_property(qt_type Qt5::Core TYPE)
  if(NOT qt_type STREQUAL "STATIC_LIBRARY")
    message(FATAL_ERROR "QOR_STATIC_QT_PREFIX: the Qt found in ${QOR_STATIC_QT_PREFIX} is not static")
  endif()
  set(src "${PROJECT_SOURCE_DIR}/wizard")

  # A static Qt loads no plugins at run time: Qt's CMake files link in and
  # import (Q_IMPORT_PLUGIN) those a target selects. The X11 platform, with
  # its AT-SPI accessibility bridge, is the one the wizard needs; the others
  # (image formats beyond the built-in PNG, input methods, other platforms)
  # would only add size.
  set(unwanted ${Qt5Gui_PLUGINS} ${Qt5Widgets_PLUGINS} ${Qt5PrintSupport_PLUGINS})
  list(REMOVE_ITEM unwanted Qt5::QXcbIntegrationPlugin)
  set_target_properties(${target} qorwiz_core PROPERTIES QT_PLUGINS_platforms Qt5::QXcbIntegrationPlugin
                                                         QT_NO_PLUGINS "${unwanted}")
  qor_use_static_xcb(Qt5::QXcbIntegrationPlugin Qt5::Gui Qt5::Widgets Qt5::PrintSupport)

  # Qt's own catalogues of this Qt (qtbase: every text of Widgets and
  # PrintSupport), under the names the system's Qt gives them.
  file(GLOB catalogues /usr/share/qt5/translations/qtbase_*.qm)
  if(NOT catalogues)
    message(FATAL_ERROR "Qt's catalogues not found in /usr/share/qt5/translations: install the Debian package "
                        "qttranslations5-l10n in the static-Qt root")
  endif()
  set(qrc "${CMAKE_CURRENT_BINARY_DIR}/qt_translations.qrc")
  set(entries "")
  foreach(file ${catalogues})
    get_filename_component(name "${file}" NAME)
    string(REGEX REPLACE "^qtbase_" "qt_" alias "${name}")
    string(APPEND entries "  <file alias=\"${alias}\">${file}</file>\n")
  endforeach()
  file(WRITE "${qrc}.new" "<RCC>\n<qresource prefix=\"/qt-translations\">\n${entries}</qresource>\n</RCC>\n")
  configure_file("${qrc}.new" "${qrc}" COPYONLY)
  qt5_add_resources(translations "${qrc}" OPTIONS --format-version 1)
  target_sources(${target} PRIVATE ${translations})
  target_compile_definitions(qorwiz_core PRIVATE QOR_QT_TRANSLATIONS_DIR=":/qt-translations")

  # No C++ runtime from the user's system (RHEL 9's is older than gcc 10's),
  # and the maths functions at their glibc 2.2.5 versions.
  target_sources(${target} PRIVATE "${src}/glibc_2_28_u.cpp")
  # Stripped: the symbols of a static Qt are most of its size.
  target_link_options(${target} PRIVATE -s -static-libstdc++ -static-libgcc
      -Wl,--wrap=exp,--wrap=exp2,--wrap=log,--wrap=log2,--wrap=pow -Wl,--as-needed)
endfunction()
