# The coldplug trigger walk. Included by daemon/CMakeLists.txt once
# korvid-daemon-core exists.
target_sources(korvid-daemon-core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/trigger.cpp)

korvid_add_test(NAME daemon_trigger_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/trigger_test.cpp
  LIBS korvid-daemon-core korvid-test-support)
