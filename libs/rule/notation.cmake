# The rule-file reader and rule loading.
target_sources(korvid-rule PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/notation_lexer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/notation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/loading.cpp)

korvid_add_test(NAME rule_notation_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/notation_test.cpp ${CMAKE_CURRENT_LIST_DIR}/tests/loading_test.cpp
  LIBS korvid::rule)

# Random bytes, mutations and truncations of valid files; run it under the
# sanitizer build, where a crash or leak fails it.
korvid_add_test(NAME rule_notation_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/notation_fuzz.cpp
  LIBS korvid::rule)
