# The install page, worker and prerequisite check with the real package
# tools (rpm, dpkg, pkexec with gdebi, PackageKit, dpkg-query), each group
# inside sandbox.sh, driven by install_system.sh.

foreach(name tst_install_system tst_install_prereq tst_packagekit_client)
  add_executable(${name} "${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp")
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE qorwiz_core Qt5::Test)
endforeach()
add_dependencies(tst_packagekit_client qor-demo-packages)
target_include_directories(tst_install_system PRIVATE "${PROJECT_SOURCE_DIR}/tests/wizard")
target_compile_definitions(tst_install_system PRIVATE
    QOR_DEMO_RPM="${QOR_DEMO_RPM}" QOR_DEMO_DEB="${QOR_DEMO_DEB}"
    QOR_TOOL_STANDIN="${PROJECT_SOURCE_DIR}/tests/wizard/install_tool_standin.sh"
    QOR_WIZARD_BIN="$<TARGET_FILE:qor-wizard>")
add_dependencies(tst_install_system qor-demo-packages qor-wizard)

set(run "${CMAKE_CURRENT_SOURCE_DIR}/install_system.sh")

if(NOT QOR_NATIVE_PACKAGE AND NOT QOR_PACKAGE_IS_DEB)
  # rpm -U on the demo RPM at the built-in path, and dpkg -i on the demo
  # .deb under an Ubuntu package path, both as root through the real window.
  add_test(NAME install-system-root
      COMMAND "${QOR_SANDBOX}" "${run}" root "$<TARGET_FILE:tst_install_system>")
  # pkexec with gdebi, and the desktop's installer (PackageKit), as a user
  # who is not root; then the worker's own tests as that user.
  add_test(NAME install-system-user
      COMMAND "${QOR_SANDBOX}" "${run}" user "$<TARGET_FILE:tst_install_system>"
              "$<TARGET_FILE:tst_install_worker>" "${QOR_DEMO_RPM}" "${QOR_DEMO_DEB}" "$<TARGET_FILE:qor-wizard>")
  set_tests_properties(install-system-user PROPERTIES ENVIRONMENT "QOR_SANDBOX_DBUS=1")
  # The wizard's PackageKit mode against the real daemon: refused paths, a
  # daemon that goes or hangs mid-transaction (a minute's wait), no bus.
  add_test(NAME install-system-packagekit
      COMMAND "${QOR_SANDBOX}" "${run}" packagekit "$<TARGET_FILE:tst_packagekit_client>" "$<TARGET_FILE:qor-wizard>"
              "${QOR_DEMO_RPM}" "${QOR_DEMO_DEB}")
  set_tests_properties(install-system-packagekit PROPERTIES ENVIRONMENT "QOR_SANDBOX_DBUS=1")
  # rpm-ostree and transactional-update (stand-ins) on a read-only /usr or /.
  add_test(NAME install-system-image
      COMMAND "${QOR_SANDBOX}" "${run}" image "$<TARGET_FILE:tst_install_system>" "${QOR_DEMO_RPM}")
  set(install_system_tests install-system-root install-system-user install-system-packagekit install-system-image)
endif()

add_test(NAME install-system-prereq
    COMMAND "${QOR_SANDBOX}" "${run}" prereq "$<TARGET_FILE:tst_install_prereq>"
            packageStates missingDpkgQueryLetsInstallGoOn)
# The install page's Retry/Abort dialogue, which needs a check that fails.
add_test(NAME install-system-prereq-page
    COMMAND "${QOR_SANDBOX}" "${run}" prereq-page "$<TARGET_FILE:tst_install_page>"
            "retryThreeTimesThenAbort:no bus" "retryThreeTimesThenAbort:a bus that never answers")
# A dpkg-query that never answers costs the whole 30 s bound.
add_test(NAME install-system-prereq-hang
    COMMAND "${QOR_SANDBOX}" "${run}" prereq "$<TARGET_FILE:tst_install_prereq>" hangingQueryCountsAsMissing)

add_test(NAME install-system-thin-home COMMAND "${QOR_SANDBOX}" "${run}" thin-home "$<TARGET_FILE:tst_install_worker>")
foreach(t ${install_system_tests} install-system-prereq install-system-prereq-page install-system-prereq-hang install-system-thin-home)
  set_tests_properties(${t} PROPERTIES LABELS "system;wizard" TIMEOUT 300 SKIP_RETURN_CODE 77)
endforeach()
set_tests_properties(install-system-prereq-hang PROPERTIES LABELS "system;wizard;slow")
if(TARGET install-system-packagekit OR install_system_tests MATCHES packagekit)
  set_tests_properties(install-system-packagekit PROPERTIES LABELS "system;wizard;slow")
endif()
