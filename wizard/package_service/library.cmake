# qor_add_package_service_library(NAME [COMPILE_OPTIONS opt...])
# The package-service clients and their contract with the wizard, on QtCore
# and QtDBus only: the wizard's pages include package_service_u.h and
# nothing else of it.
function(qor_add_package_service_library name)
  cmake_parse_arguments(S "" "" "COMPILE_OPTIONS" ${ARGN})
  set(src "${PROJECT_SOURCE_DIR}/wizard/package_service")
  add_library(${name} STATIC
      ${src}/package_service_u.h ${src}/package_service_u.cpp
      ${src}/terminal_hint_u.cpp
      ${src}/rpm_header_u.h ${src}/rpm_header_u.cpp
      ${src}/package_file_facts_u.h ${src}/package_file_facts_u.cpp
      ${src}/service_client_u.cpp
      ${src}/service_bus_u.h ${src}/service_bus_u.cpp
      ${src}/packagekit_names_u.h
      ${src}/packagekit_transaction_u.h ${src}/packagekit_transaction_u.cpp
      ${src}/packagekit_transaction_end_u.cpp
      ${src}/packagekit_lock_wait_u.h ${src}/packagekit_lock_wait_u.cpp
      ${src}/dnf5daemon_session.h ${src}/dnf5daemon_session.cpp)
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_include_directories(${name} PUBLIC "${src}" "${PROJECT_BINARY_DIR}/config")
  target_link_libraries(${name} PUBLIC Qt5::Core Qt5::DBus)
  if(S_COMPILE_OPTIONS)
    target_compile_options(${name} PUBLIC ${S_COMPILE_OPTIONS})
    target_link_options(${name} PUBLIC ${S_COMPILE_OPTIONS})
  endif()
endfunction()
