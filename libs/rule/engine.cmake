# The rule engine (environment, templates, conditions, the rule pass) and
# command execution.
target_sources(korvid-rule PRIVATE
  src/environment.cpp
  src/pattern.cpp
  src/engine.cpp
  src/command.cpp)

korvid_add_test(NAME rule_engine_tests
  SOURCES tests/engine_test.cpp tests/command_test.cpp
  LIBS korvid::rule)
korvid_add_benchmark(NAME rule_engine_bench
  SOURCES bench/engine_bench.cpp
  LIBS korvid::rule)
