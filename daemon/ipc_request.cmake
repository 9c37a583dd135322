# korvid-ipc-request: the daemon's Request type and its decoder, kept apart
# from the rest of the daemon so tests and the fuzz driver link only this.
# Included by daemon/CMakeLists.txt (and by libs/ipc when the daemon is absent).
if(TARGET korvid-ipc-request)
  return()
endif()

add_library(korvid-ipc-request STATIC ${CMAKE_CURRENT_LIST_DIR}/src/ipc_request.cpp)
target_include_directories(korvid-ipc-request PUBLIC ${CMAKE_CURRENT_LIST_DIR}/src)
target_link_libraries(korvid-ipc-request PUBLIC korvid::ipc korvid::rule nlohmann_json::nlohmann_json)

korvid_add_test(NAME ipc_request_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ipc_request_test.cpp
  LIBS korvid-ipc-request)
