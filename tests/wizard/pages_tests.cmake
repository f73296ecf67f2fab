# The wizard's entry, shell, welcome and licence pages and installed-version
# check, tested against a real X server.

set(QOR_PAGES_TEST_DEFINITIONS
    QOR_SCREENSHOT_DIR="${QOR_SCREENSHOT_DIR}"
    QOR_DEMO_CLIENT_DIR="${QOR_DEMO_CLIENT_DIR}"
    QOR_WIZARD_BIN="$<TARGET_FILE:qor-wizard>")

qor_add_wizard_test(tst_wizard_pages
    SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/tst_wizard_pages.cpp"
            "${CMAKE_CURRENT_SOURCE_DIR}/wizard_test_support.h")
qor_add_wizard_test(tst_licence_page
    SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/tst_licence_page.cpp"
            "${CMAKE_CURRENT_SOURCE_DIR}/wizard_test_support.h")
# They write the licence file at the fixed path the wizard reads.
set_tests_properties(tst_wizard_pages tst_licence_page PROPERTIES RESOURCE_LOCK qor-licence-file TIMEOUT 240)
# The pages on a screen at 192 dpi, with Xft.dpi: 192, as desktops scaled by 2 have it.
add_test(NAME tst_wizard_pages_2x
         COMMAND "${QOR_XVFB_RUN}" "$<TARGET_FILE:tst_wizard_pages>" frameTextsAndPictures buttonTable)
set_tests_properties(tst_wizard_pages_2x PROPERTIES LABELS wizard RESOURCE_LOCK qor-licence-file TIMEOUT 240
                     ENVIRONMENT QOR_XVFB_DPI=192)

# Two tests from one program: a client that never answers takes the whole
# bound (30 s), so that case runs apart, labelled slow.
add_executable(tst_version_check
    "${CMAKE_CURRENT_SOURCE_DIR}/tst_version_check.cpp"
    "${CMAKE_CURRENT_SOURCE_DIR}/wizard_test_support.h")
set_target_properties(tst_version_check PROPERTIES AUTOMOC ON)
target_link_libraries(tst_version_check PRIVATE qorwiz_core Qt5::Test)
add_dependencies(tst_version_check qor-demo-packages)
add_test(NAME tst_version_check_hanging
         COMMAND "${QOR_XVFB_RUN}" "$<TARGET_FILE:tst_version_check>" hangingClientCountsAsNotInstalled)
set_tests_properties(tst_version_check_hanging PROPERTIES LABELS "wizard;slow" TIMEOUT 120)
add_test(NAME tst_version_check
         COMMAND "${QOR_XVFB_RUN}" "$<TARGET_FILE:tst_version_check>" check okLeadsToWelcomePage)
set_tests_properties(tst_version_check PROPERTIES LABELS "wizard" TIMEOUT 120)

qor_add_wizard_test(tst_wizard_program
    SOURCES "${CMAKE_CURRENT_SOURCE_DIR}/tst_wizard_program.cpp"
            "${CMAKE_CURRENT_SOURCE_DIR}/wizard_test_support.h")
add_dependencies(tst_wizard_program qor-wizard)
set_tests_properties(tst_wizard_program PROPERTIES TIMEOUT 180)

foreach(t tst_wizard_pages tst_licence_page tst_version_check tst_wizard_program)
  target_compile_definitions(${t} PRIVATE ${QOR_PAGES_TEST_DEFINITIONS})
endforeach()
