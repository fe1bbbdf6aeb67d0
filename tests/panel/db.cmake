# Panel database discovery and connection, against the private test server.
include(${PROJECT_SOURCE_DIR}/tests/support/test_db.cmake)

# Opens the panel database in a fresh process, for what only a first attempt shows.
add_executable(panel_db_probe ${CMAKE_CURRENT_SOURCE_DIR}/db_probe.cpp)
target_link_libraries(panel_db_probe PRIVATE zentra_panel)

zentra_add_db_gtest(panel_db_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/db_connect_test.cpp
  LIBS zentra_panel
  LABELS panel)
target_compile_definitions(panel_db_test PRIVATE
  PANEL_DB_PROBE="$<TARGET_FILE:panel_db_probe>")

# A stand-in server run by another account, asking clients for their password in clear.
add_executable(auth_impostor ${CMAKE_CURRENT_SOURCE_DIR}/auth_impostor.cpp)
zentra_add_db_gtest(panel_impostor_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/impostor_test.cpp
  LIBS zentra_panel
  LABELS panel)
target_compile_definitions(panel_impostor_test PRIVATE
  AUTH_IMPOSTOR="$<TARGET_FILE:auth_impostor>")
