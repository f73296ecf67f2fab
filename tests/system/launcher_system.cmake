# Whole launcher runs with the real rpm and gdebi, without gdebi, and on a
# full disk, each inside sandbox.sh; the host must be unchanged afterwards.
qor_add_launcher(qor-test-ubuntu
    PACKAGE_FILE_NAME "qor-3.1.1.1912102-1912102.ubuntu.all.deb"
    LICENSE "${QOR_LICENSE_FILE}" PACKAGE "${QOR_DEMO_DEB}"
    WIZARD "${PROJECT_SOURCE_DIR}/tests/launcher/data/wizard.sh"
    DEPENDS qor-demo-packages
    OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")

# "Ubuntu" in another case is a Debian package all the same.
qor_add_launcher(qor-test-ubuntu-mixed-case
    PACKAGE_FILE_NAME "qor-3.1.1.1912102-1912102.Ubuntu.all.deb"
    LICENSE "${QOR_LICENSE_FILE}" PACKAGE "${QOR_DEMO_DEB}"
    WIZARD "${PROJECT_SOURCE_DIR}/tests/launcher/data/wizard.sh"
    DEPENDS qor-demo-packages
    OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")

set(cases gdebi gdebi-fails no-gdebi no-gdebi-mixed-case)
set(launcher_gdebi qor-test-ubuntu)
set(launcher_gdebi-fails qor-test-ubuntu)
set(launcher_no-gdebi qor-test-ubuntu)
set(launcher_no-gdebi-mixed-case qor-test-ubuntu-mixed-case)
# The release launcher itself, when it carries the demo RPM.
if(NOT QOR_NATIVE_PACKAGE AND NOT QOR_PACKAGE_IS_DEB)
  list(APPEND cases rpm full-disk ostree transactional stray-ostree-booted)
  foreach(case rpm full-disk ostree transactional stray-ostree-booted)
    set(launcher_${case} qor-setup)
  endforeach()
endif()

foreach(case ${cases})
  add_test(NAME launcher-system-${case}
      COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/launcher_system.sh" "${QOR_SANDBOX}" ${case}
              "$<TARGET_FILE:${launcher_${case}}>")
  set_tests_properties(launcher-system-${case} PROPERTIES
      LABELS "launcher;system" TIMEOUT 300 SKIP_RETURN_CODE 77)
endforeach()
