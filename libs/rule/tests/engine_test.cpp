#include "rule/engine.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <map>
#include <sstream>
#include <thread>
#include <variant>

#include "engine_test_support.hpp"
#include "korvid/log.hpp"

namespace rule {
namespace {

using Props = std::map<std::string, std::string>;
// The expected error text.
struct Err {
  std::string text;
};
// Either the expected value or the expected error.
template <typename T>
using Expected = std::variant<T, Err>;

TextValue L(std::string text) { return TextValue::literal(std::move(text)); }
TextValue T(std::string text) { return TextValue::templated(std::move(text)); }

When match(TextValue key, TextValue pattern) { return When{Match{std::move(key), std::move(pattern), nullptr}}; }
When part(TextValue key, TextValue pattern) { return When{PartMatch{std::move(key), std::move(pattern), nullptr}}; }
When all(std::vector<When> c) { return When{All{std::move(c)}}; }
When any(std::vector<When> c) { return When{Any{std::move(c)}}; }
When negate(When c) { return When{Not{std::make_shared<const When>(std::move(c))}}; }
const When kTrue{True{}};
const When kFalse{False{}};

Action set(TextValue k, TextValue v) { return Action{action::Set{std::move(k), std::move(v)}}; }
Action add(TextValue k, TextValue v) { return Action{action::Add{std::move(k), std::move(v)}}; }
Action unset(TextValue k) { return Action{action::Unset{std::move(k)}}; }
Action command(TextValue c) { return Action{action::Command{std::move(c)}}; }
Action provider(TextValue k, TextValue c) { return Action{action::UseProvider{std::move(k), std::move(c)}}; }

void fill(Environment& env, const Props& props) {
  for (const auto& [k, v] : props) env.set(k, v);
}

template <typename T>
std::string describe(const Result<T>& r) {
  if (!r) return "error: " + r.error().text();
  if constexpr (std::is_same_v<T, bool>)
    return *r ? "true" : "false";
  else
    return "value: " + *r;
}

template <typename T>
std::string describe(const Expected<T>& e) {
  if (const auto* error = std::get_if<Err>(&e)) return "error: " + error->text;
  if constexpr (std::is_same_v<T, bool>)
    return std::get<T>(e) ? "true" : "false";
  else
    return "value: " + std::get<T>(e);
}

// --- Environment ---------------------------------------------------------

TEST(Environment, SetGetUnsetAndAddBuildNulTerminatedList) {
  Environment env;
  EXPECT_EQ(env.get("A"), std::nullopt);
  env.set("A", "1");
  env.set("A", "2");
  EXPECT_EQ(env.get("A"), "2");
  EXPECT_TRUE(env.contains("A"));
  env.unset("A");
  env.unset("A");  // absent: not an error
  EXPECT_FALSE(env.contains("A"));

  env.add("SYMLINKS", "disk/a");
  env.add("SYMLINKS", "");
  env.add("SYMLINKS", "disk/c");
  EXPECT_EQ(env.get("SYMLINKS"), std::string("disk/a\0\0disk/c\0", 15));
}

TEST(Environment, KeysAreCaseSensitiveAndDefaultsAreTheDaemonsSettings) {
  Environment env;
  env.set("devname", "x");
  EXPECT_EQ(env.get("DEVNAME"), std::nullopt);
  EXPECT_EQ(env.settings().shell, (std::vector<std::string>{"/bin/sh", "-c"}));
  EXPECT_EQ(env.settings().timeout, std::chrono::seconds(30));
  EXPECT_EQ(env.settings().timeout_kill, TimeoutKill::Leave);
}

TEST(Environment, ConcurrentWritersAndReadersKeepEveryKey) {
  Environment env;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&env, t] {
      for (int i = 0; i < 500; ++i) {
        const std::string key = "K" + std::to_string(t) + "_" + std::to_string(i);
        env.set(key, "v");
        (void)env.get("K0_0");
        (void)evaluate(match(L("K1_1"), L("v")), env);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(env.snapshot().size(), 2000u);
}

// --- Template expansion --------------------------------------------------

TEST(Expand, TemplateStateMachine) {
  struct Case {
    std::string text;
    Props props;
    Expected<std::string> expected;
  };
  const Err kInvalid{"Invalid format string template"};
  const std::vector<Case> cases = {
      {"sd{MINOR}", {{"MINOR", "16"}}, std::string("sd16")},
      {"plain", {}, std::string("plain")},
      {"", {}, std::string("")},
      {"{{x}}", {}, std::string("{x}")},
      {"{{", {}, std::string("{")},
      {"}}", {}, std::string("}")},
      {"{{A}}", {{"A", "no"}}, std::string("{A}")},
      {"{A}}}", {{"A", "v"}}, std::string("v}")},
      {"{A}{B}", {{"A", "1"}, {"B", "2"}}, std::string("12")},
      {"{A}", {{"A", "{B}"}, {"B", "no"}}, std::string("{B}")},  // values are not expanded again
      {"{A{B}", {{"A{B", "inner"}}, std::string("inner")},
      {"{}", {{"", "empty-name"}}, std::string("empty-name")},
      {"{}", {}, Err{"Property \"\" not found"}},
      {"x{NOPE}y", {}, Err{"Property \"NOPE\" not found"}},
      {"a}b", {}, kInvalid},
      {"}", {}, kInvalid},
      {"a}", {}, kInvalid},
      {"{A", {{"A", "v"}}, kInvalid},
      {"{", {}, kInvalid},
      {"x{A}}", {{"A", "v"}}, kInvalid},
      {"}{A}", {{"A", "v"}}, kInvalid},  // a pending "}" must be followed by "}"
      {"{é}", {{"é", "ü"}}, std::string("ü")},
  };
  for (const auto& c : cases) {
    Environment env;
    fill(env, c.props);
    const Result<std::string> got = expand(T(c.text), env);
    EXPECT_EQ(describe(got), describe(c.expected)) << "template: " << c.text;
  }
}

TEST(Expand, LiteralIsTakenAsWritten) {
  Environment env;
  env.set("DEVNAME", "sda");
  for (std::string text : {"{DEVNAME}", "}", "{", "a}b"}) {
    const Result<std::string> got = expand(L(text), env);
    EXPECT_EQ(describe(got), "value: " + text);
  }
}

// --- Condition evaluation ------------------------------------------------

struct EvalCase {
  std::string name;
  When condition;
  Props props;
  Expected<bool> expected;
};

std::vector<EvalCase> evaluation_cases() {
  const Props sda = {{"DEVNAME", "sda"}};
  const Props sda1 = {{"DEVNAME", "sda1"}};
  const Err missing_nope{"Property \"NOPE\" not found"};
  return {
      {"Match whole value", match(L("DEVNAME"), L("sda")), sda, true},
      {"Match rejects longer value", match(L("DEVNAME"), L("sda")), sda1, false},
      {"PartMatch exact value", part(L("DEVNAME"), L("sda")), sda, true},
      {"PartMatch part of value", part(L("DEVNAME"), L("sda")), sda1, true},
      {"PartMatch not found", part(L("DEVNAME"), L("sdb")), sda1, false},
      {"Match alternation anchors first branch only", match(L("X"), L("a|b")), {{"X", "axx"}}, true},
      {"Match alternation anchors last branch only", match(L("X"), L("a|b")), {{"X", "xxb"}}, true},
      {"Match alternation still needs an anchor", match(L("X"), L("a|b")), {{"X", "xbx"}}, false},
      {"Match on absent property", match(L("NOPE"), L("x")), sda, false},
      {"PartMatch on absent property", part(L("NOPE"), L("")), {}, false},
      {"Match empty pattern on empty value", match(L("E"), L("")), {{"E", ""}}, true},
      {"bad Match pattern with absent property", match(L("NOPE"), L("(")), {},
       Err{"Regex error: missing ): ^($"}},
      {"bad PartMatch pattern", part(L("DEVNAME"), L("a[")), sda, Err{"Regex error: missing ]: ["}},
      {"backreference is not supported", part(L("DEVNAME"), L("(a)\\1")), sda,
       Err{"Regex error: invalid escape sequence: \\1"}},
      {"pattern dot is one code point", match(L("X"), L(".")), {{"X", "é"}}, true},
      {"template key", match(T("{WHICH}"), L("block")), {{"WHICH", "SUBSYSTEM"}, {"SUBSYSTEM", "block"}}, true},
      {"template pattern", match(L("DEVNAME"), T("sd{L}")), {{"DEVNAME", "sda"}, {"L", "a"}}, true},
      {"template pattern value is a regex", part(L("DEVNAME"), T("{P}")), {{"DEVNAME", "sda"}, {"P", "^s.a$"}}, true},
      {"bad template pattern", part(L("DEVNAME"), T("{P}")), {{"DEVNAME", "sda"}, {"P", "*"}},
       Err{"Regex error: no argument for repetition operator: *"}},
      {"key error comes before the bad pattern", match(T("{NOPE}"), L("(")), {}, missing_nope},
      {"pattern error comes before compiling", match(L("DEVNAME"), T("({NOPE}")), sda, missing_nope},
      {"invalid template key", part(T("}"), L("x")), sda, Err{"Invalid format string template"}},
      {"All empty", all({}), {}, true},
      {"Any empty", any({}), {}, false},
      {"All true", all({kTrue, match(L("DEVNAME"), L("sda"))}), sda, true},
      {"All one false", all({kTrue, kFalse, kTrue}), {}, false},
      {"Any one true", any({kFalse, kTrue, kFalse}), {}, true},
      {"Any all false", any({kFalse, kFalse}), {}, false},
      {"All goes on after false", all({kFalse, match(T("{NOPE}"), L("x"))}), {}, missing_nope},
      {"Any goes on after true", any({kTrue, match(T("{NOPE}"), L("x"))}), {}, missing_nope},
      {"All goes on after false to a bad pattern", all({kFalse, part(L("A"), L("("))}), {},
       Err{"Regex error: missing ): ("}},
      {"first error wins", any({match(T("{NOPE}"), L("x")), match(T("{OTHER}"), L("x"))}), {}, missing_nope},
      {"Not true", negate(kTrue), {}, false},
      {"Not false", negate(kFalse), {}, true},
      {"Not passes errors through", negate(part(L("DEVNAME"), T("{NOPE}"))), sda, missing_nope},
      {"nested", negate(all({any({kFalse, part(L("DEVNAME"), L("^sd"))}), negate(match(L("DEVNAME"), L("sdb")))})),
       sda, false},
  };
}

class Evaluate : public ::testing::TestWithParam<bool> {};

TEST_P(Evaluate, TableOnBothPaths) {
  const bool precompiled = GetParam();
  for (EvalCase c : evaluation_cases()) {
    if (precompiled) precompile(c.condition);
    Environment env;
    fill(env, c.props);
    EXPECT_EQ(describe(evaluate(c.condition, env)), describe(c.expected)) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Evaluate, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Precompiled" : "CompiledEachTime"; });

TEST(Precompile, CompilesLiteralPatternsOnlyIncludingNestedOnes) {
  When condition = all({match(L("A"), L("x")), negate(any({part(L("B"), L("y")), part(L("C"), T("{D}"))}))});
  precompile(condition);
  const auto& top = std::get<All>(condition.value).conditions;
  EXPECT_NE(std::get<Match>(top[0].value).compiled, nullptr);
  const auto& inner = std::get<Any>(std::get<Not>(top[1].value).condition->value).conditions;
  EXPECT_NE(std::get<PartMatch>(inner[0].value).compiled, nullptr);
  EXPECT_EQ(std::get<PartMatch>(inner[1].value).compiled, nullptr);

  std::vector<Rule> rules{Rule{match(L("A"), L("[")), {}, OnError::Log}};
  precompile(rules);
  const auto& loaded = std::get<Match>(rules[0].when.value);
  ASSERT_NE(loaded.compiled, nullptr);
  Environment env;  // the bad pattern still loads and fails only when evaluated
  EXPECT_EQ(describe(evaluate(rules[0].when, env)), "error: Regex error: missing ]: [$");
}

// --- The rule pass -------------------------------------------------------

// Captures rule::engine lines; each entry is "LEVEL message".
class RunRules : public ::testing::Test {
 protected:
  void SetUp() override {
    korvid::log::install_for_tests(std::make_shared<spdlog::sinks::ostream_sink_mt>(log_), "rule::engine=debug");
  }
  void TearDown() override {
    static std::ostringstream discard;
    korvid::log::install_for_tests(std::make_shared<spdlog::sinks::ostream_sink_mt>(discard), "off");
  }

  void run(Environment& env, RuleSet rule_set) {
    io_.run(run_rules(env, std::make_shared<const RuleSet>(std::move(rule_set))));
  }

  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(log_.str());
    const std::string target = " rule::engine: ";
    for (std::string line; std::getline(in, line);) {
      const auto at = line.find(target);
      if (at == std::string::npos) {
        out.push_back("unparsed: " + line);
        continue;
      }
      // "<timestamp> <padded level> rule::engine: <message>"
      std::string level = line.substr(0, at);
      level = level.substr(level.find_last_of(' ') + 1);
      out.push_back(level + " " + line.substr(at + target.size()));
    }
    return out;
  }

  testing::ThreadedIoContext io_;
  std::ostringstream log_;
};

TEST_F(RunRules, ActionsSeeEarlierChangesInOrder) {
  Environment env;
  fill(env, {{"A", "B"}, {"GONE", "x"}});
  run(env, RuleSet{{RuleFile{"/rules/a.rules",
                             {Rule{kTrue,
                                   {set(T("{A}"), L("set-through-template")),
                                    set(L("X"), L("1")),
                                    set(L("Y"), T("{X}2")),
                                    add(L("SYMLINKS"), T("disk/{Y}")),
                                    add(L("SYMLINKS"), L("{literal}")),
                                    add(T("SYM{X}"), L("third")),
                                    unset(T("GO{X}")),
                                    unset(L("GONE"))}}}},
                    RuleFile{"/rules/b.rules",
                             {Rule{match(L("Y"), L("12")), {set(L("LATER_FILE_SAW"), T("{Y}"))}},
                              Rule{kFalse, {set(L("NEVER"), L("1"))}}}}}});
  EXPECT_EQ(env.snapshot(), (std::unordered_map<std::string, std::string>{
                                {"A", "B"},
                                {"B", "set-through-template"},
                                {"X", "1"},
                                {"Y", "12"},
                                {"SYMLINKS", std::string("disk/12\0{literal}\0", 18)},
                                {"SYM1", std::string("third\0", 6)},
                                {"LATER_FILE_SAW", "12"}}));
  EXPECT_EQ(lines(), std::vector<std::string>{});
}

TEST_F(RunRules, FailingActionKeepsEarlierEffectsAndStopsTheRule) {
  Environment env;
  run(env, RuleSet{{RuleFile{"/rules/a.rules",
                             {Rule{kTrue, {set(L("FIRST"), L("1")), set(L("SECOND"), T("{NOPE}")), set(L("THIRD"), L("3"))}},
                              Rule{kTrue, {set(L("NEXT_RULE"), L("ran"))}}}}}});
  EXPECT_EQ(env.get("FIRST"), "1");
  EXPECT_EQ(env.get("SECOND"), std::nullopt);
  EXPECT_EQ(env.get("THIRD"), std::nullopt);
  EXPECT_EQ(env.get("NEXT_RULE"), "ran");
  EXPECT_EQ(lines(), std::vector<std::string>{"WARN Rule \"/rules/a.rules\" failed: Property \"NOPE\" not found"});
}

TEST_F(RunRules, OnErrorPolicies) {
  struct Case {
    OnError policy;
    bool rest_of_file_runs;
    bool next_file_runs;
    bool logged;
  };
  const std::vector<Case> cases = {
      {OnError::Continue, true, true, false},
      {OnError::Log, true, true, true},
      {OnError::StopFile, false, true, true},
      {OnError::StopAll, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.policy));
    log_.str("");
    Environment env;
    env.set("MODE", "0600");
    // The first rule fails in its condition, the second in an action.
    RuleSet rule_set{{RuleFile{"/rules/10-first.rules",
                          {Rule{match(T("{MISSING}"), L("x")), {set(L("NOT"), L("run"))}, OnError::Log},
                           Rule{kTrue, {set(L("BEFORE"), L("1")), set(L("MODE"), T("0{BAD")), set(L("AFTER"), L("1"))},
                                c.policy},
                           Rule{kTrue, {set(L("REST_OF_FILE"), L("1"))}}}},
                 RuleFile{"/rules/20-second.rules", {Rule{kTrue, {set(L("NEXT_FILE"), L("1"))}}}}}};
    run(env, std::move(rule_set));
    EXPECT_EQ(env.get("BEFORE"), "1");
    EXPECT_EQ(env.get("MODE"), "0600");
    EXPECT_FALSE(env.contains("AFTER"));
    EXPECT_FALSE(env.contains("NOT"));
    EXPECT_EQ(env.contains("REST_OF_FILE"), c.rest_of_file_runs);
    EXPECT_EQ(env.contains("NEXT_FILE"), c.next_file_runs);
    std::vector<std::string> expected = {"WARN Rule \"/rules/10-first.rules\" failed: Property \"MISSING\" not found"};
    if (c.logged) expected.push_back("WARN Rule \"/rules/10-first.rules\" failed: Invalid format string template");
    EXPECT_EQ(lines(), expected);
  }
}

TEST_F(RunRules, CommandsAndProviders) {
  const std::string dir = ::testing::TempDir();
  const std::string marker = dir + "/korvid-engine-command-marker";
  std::remove(marker.c_str());
  Environment env;
  fill(env, {{"DEVNAME", "sda"}, {"OUT", marker}, {"KEEP", "old"}});
  run(env, RuleSet{{RuleFile{
               "/rules/cmd.rules",
               {Rule{kTrue, {command(T("printf '%s' {DEVNAME} > {OUT}")), provider(L("SERIAL"), T("printf '  x-{DEVNAME} \\n'"))}},
                Rule{kTrue, {provider(L("EMPTY"), L("true"))}},
                Rule{kTrue, {provider(L("KEEP"), L("echo new; exit 4")), set(L("NOT"), L("run"))}},
                Rule{kTrue, {command(L("exit 3")), set(L("NOT"), L("run"))}, OnError::Continue},
                Rule{kTrue, {provider(T("{NOPE}"), L("echo never"))}}}}}});
  EXPECT_EQ(env.get("SERIAL"), "x-sda");
  EXPECT_EQ(env.get("EMPTY"), "");
  EXPECT_EQ(env.get("KEEP"), "old");
  EXPECT_FALSE(env.contains("NOT"));
  FILE* f = std::fopen(marker.c_str(), "re");
  ASSERT_NE(f, nullptr);
  char buf[16] = {};
  const size_t n = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  EXPECT_EQ(std::string(buf, n), "sda");
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "WARN Rule \"/rules/cmd.rules\" failed: Failed to execute command \"echo new; exit 4\": "
                         "process exited with code 4",
                         "WARN Rule \"/rules/cmd.rules\" failed: Property \"NOPE\" not found"}));
}

TEST_F(RunRules, EmptyOrMissingRuleSetDoesNothing) {
  Environment env;
  env.set("A", "1");
  io_.run(run_rules(env, nullptr));
  run(env, RuleSet{});
  run(env, RuleSet{{RuleFile{"/rules/empty.rules", {}}}});
  EXPECT_EQ(env.snapshot(), (std::unordered_map<std::string, std::string>{{"A", "1"}}));
  EXPECT_EQ(lines(), std::vector<std::string>{});
}

}  // namespace
}  // namespace rule
