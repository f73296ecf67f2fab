# Checks on a build's inputs, made at configure time so that a wrong input
# fails before anything is built, naming the variable at fault.

# The longest fixed path is "/tmp/" NAME ".license.txt" and the longest
# command line is "/usr/bin/gdebi /tmp/" NAME; both must fit the launcher's
# 1023-character buffers.
set(QOR_PACKAGE_FILE_NAME_MAX 1003)

function(qor_check_package_file_name var name)
  if(name STREQUAL "")
    message(FATAL_ERROR "${var}: the package file name is empty")
  endif()
  # The name goes unquoted into a shell command line: allow no shell syntax.
  if(NOT name MATCHES "^[A-Za-z0-9._+-]+$")
    message(FATAL_ERROR "${var}: '${name}' may hold only letters, digits and . _ + - "
                        "(it is put into a shell command line unquoted)")
  endif()
  if(name STREQUAL "." OR name STREQUAL "..")
    message(FATAL_ERROR "${var}: '${name}' is not a file name")
  endif()
  string(LENGTH "${name}" len)
  if(len GREATER QOR_PACKAGE_FILE_NAME_MAX)
    message(FATAL_ERROR "${var}: the name has ${len} characters; at most "
                        "${QOR_PACKAGE_FILE_NAME_MAX} fit the launcher's 1023-character buffers")
  endif()
endfunction()

function(qor_check_version version)
  if(NOT version MATCHES "^[A-Za-z0-9._+~-]+$")
    message(FATAL_ERROR "QOR_VERSION: '${version}' may hold only letters, digits and . _ + ~ -")
  endif()
endfunction()

# Input files are named in an assembler .incbin directive: their paths must
# not break its quoted string.
function(qor_check_incbin_path var path)
  if(path MATCHES "[\"\\\\\n]")
    message(FATAL_ERROR "${var}: the path '${path}' holds a quote, backslash or line end")
  endif()
endfunction()

# An input file must exist, under a path that .incbin can take.
function(qor_check_input_file var path)
  qor_check_incbin_path("${var}" "${path}")
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "${var}: the file '${path}' does not exist")
  endif()
endfunction()

# qor_package_is_deb(OUT NAME): OUT is ON when the package file NAME names a
# Debian package, installed with gdebi or dpkg, else OFF. The one rule for
# CMake, the launcher and the wizard (which take it from the build config):
# "ubuntu" anywhere in the name, in any case.
function(qor_package_is_deb out name)
  string(TOLOWER "${name}" lower)
  if(lower MATCHES "ubuntu")
    set(${out} ON PARENT_SCOPE)
  else()
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()

# qor_c_flag(OUT VAR): OUT is 1 where the variable VAR is true, else 0, as
# the C preprocessor wants it.
macro(qor_c_flag out var)
  if(${var})
    set(${out} 1)
  else()
    set(${out} 0)
  endif()
endmacro()

# The texts that the launcher and the wizard write and the test scripts look
# for, each defined here alone.
set(QOR_INSTALLER_NAME "qor-setup")
set(QOR_RECORD_FINISHED "Installation Finished")
set(QOR_RECORD_ERROR_CODE "Error Code:")
set(QOR_RECORD_APPLICATION "Application:")
set(QOR_RECORD_ARGUMENTS "Arguments:")

# Writes DIR/qor_build_config.h: the version, the three /tmp paths and the
# kind of package, the one definition that both the launcher and the wizard
# compile in; and DIR/qor_build_facts.sh, its texts for the test scripts.
function(qor_write_build_config dir package_file_name)
  set(QOR_CONFIG_PACKAGE_FILE_NAME "${package_file_name}")
  set(QOR_WINDOW_TITLE "Pellandor Tolmerin ${QOR_VERSION} Setup")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/qor_build_facts.sh.in" "${dir}/qor_build_facts.sh" @ONLY)
  # As the caller sees QOR_SELF_CONTAINED_WIZARD: the option, or a test's own.
  qor_c_flag(QOR_CONFIG_WIZARD_SELF_CONTAINED QOR_SELF_CONTAINED_WIZARD)
  qor_package_is_deb(is_deb "${package_file_name}")
  qor_c_flag(QOR_CONFIG_PACKAGE_IS_DEB is_deb)
  configure_file("${PROJECT_SOURCE_DIR}/cmake/qor_build_config.h.in"
                 "${dir}/qor_build_config.h" @ONLY)
endfunction()
