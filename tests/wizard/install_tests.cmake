# The install worker, the install page and the prerequisite check.

set(QOR_INSTALL_STANDIN "${CMAKE_CURRENT_SOURCE_DIR}/install_tool_standin.sh")

# The worker needs no display: its tests run on the offscreen platform.
function(qor_add_install_worker_test name library)
  add_executable(${name} tst_install_worker.cpp install_test_support.h)
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE ${library} Qt5::Test)
  target_include_directories(${name} PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}")
  target_compile_definitions(${name} PRIVATE QOR_TOOL_STANDIN="${QOR_INSTALL_STANDIN}"
                             QOR_WIZARD_BIN="$<TARGET_FILE:qor-wizard>")
  add_dependencies(${name} qor-wizard)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "wizard;${ARGN}" TIMEOUT 300
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TSAN_OPTIONS=halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=${CMAKE_CURRENT_SOURCE_DIR}/install_tsan.supp")
endfunction()

qor_add_install_worker_test(tst_install_worker qorwiz_core)

# The same tests against a ThreadSanitizer build of the wizard's classes:
# the texts that cross threads by pointer must show no race.
qor_add_wizard_library(qorwiz_core_tsan COMPILE_OPTIONS -fsanitize=thread -g -O1)
qor_add_install_worker_test(tst_install_worker_tsan qorwiz_core_tsan slow)

qor_add_wizard_test(tst_install_page
    SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/tst_install_page.cpp"
            "${CMAKE_CURRENT_SOURCE_DIR}/install_test_support.h")
target_compile_definitions(tst_install_page PRIVATE
    QOR_TOOL_STANDIN="${QOR_INSTALL_STANDIN}"
    QOR_WIZARD_BIN="$<TARGET_FILE:qor-wizard>"
    QOR_SCREENSHOT_DIR="${QOR_SCREENSHOT_DIR}")
add_dependencies(tst_install_page qor-wizard)
set_tests_properties(tst_install_page PROPERTIES TIMEOUT 240)
# The locales it runs in, made from glibc's sources (Debian's package locales).
set(locales "${CMAKE_CURRENT_BINARY_DIR}/locales")
add_custom_command(OUTPUT "${locales}/ru_RU.UTF-8/LC_CTYPE"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${locales}"
    COMMAND localedef -i de_DE -f UTF-8 "${locales}/de_DE.UTF-8"
    COMMAND localedef -i ru_RU -f UTF-8 "${locales}/ru_RU.UTF-8"
    COMMAND localedef -i de_DE -f ISO-8859-1 "${locales}/de_DE.ISO-8859-1" VERBATIM)
add_custom_target(qor-test-locales DEPENDS "${locales}/ru_RU.UTF-8/LC_CTYPE")
add_dependencies(tst_install_page qor-test-locales)
set_property(TEST tst_install_page PROPERTY ENVIRONMENT "LOCPATH=${locales};LC_ALL=;LANG=de_DE.UTF-8;LC_MESSAGES=ru_RU.UTF-8")
