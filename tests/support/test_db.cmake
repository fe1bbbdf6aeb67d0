# The private MariaDB server of the database tests: started by a fixture before the first
# test that needs it and stopped after the last, whatever their outcome.
include_guard(GLOBAL)

add_test(NAME test_db_start
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-db start ${PROJECT_BINARY_DIR}/test-db)
set_tests_properties(test_db_start PROPERTIES FIXTURES_SETUP test_db LABELS db TIMEOUT 120)
add_test(NAME test_db_stop
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-db stop ${PROJECT_BINARY_DIR}/test-db)
set_tests_properties(test_db_stop PROPERTIES FIXTURES_CLEANUP test_db LABELS db TIMEOUT 120)

# Adds a GoogleTest executable run as one test inside the sandbox (it writes the panel's
# files under /etc), with the test server's settings in its environment; with INSTALL the
# module is installed in the sandbox for it. Database tests take turns: they share the
# server's tables and settings.
function(zentra_add_db_gtest name)
  cmake_parse_arguments(ARG "INSTALL" "" "SOURCES;LIBS;LABELS" ${ARGN})
  set(install_option --no-install)
  if(ARG_INSTALL)
    set(install_option)
  endif()
  add_executable(${name} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/test_db.cpp)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} zentra_test_support GTest::gtest_main)
  add_test(NAME ${name}
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-db exec ${PROJECT_BINARY_DIR}/test-db --
                   ${PROJECT_SOURCE_DIR}/scripts/sandbox --build ${PROJECT_BINARY_DIR} ${install_option}
                   -- $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED test_db RESOURCE_LOCK test_db
                       LABELS "db;${ARG_LABELS}" TIMEOUT 600)
endfunction()
