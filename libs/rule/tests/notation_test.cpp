#include "rule/notation.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rule {
namespace {

TextValue lit(std::string s) { return TextValue::literal(std::move(s)); }
TextValue tpl(std::string s) { return TextValue::templated(std::move(s)); }
When match(TextValue k, TextValue p) { return When{Match{std::move(k), std::move(p), nullptr}}; }
When part_match(TextValue k, TextValue p) { return When{PartMatch{std::move(k), std::move(p), nullptr}}; }
When not_(When w) { return When{Not{std::make_shared<const When>(std::move(w))}}; }
When all(std::vector<When> c) { return When{All{std::move(c)}}; }
When any(std::vector<When> c) { return When{Any{std::move(c)}}; }
const When kTrue{True{}};
const When kFalse{False{}};
Action command(TextValue c) { return Action{action::Command{std::move(c)}}; }
Action add(TextValue k, TextValue v) { return Action{action::Add{std::move(k), std::move(v)}}; }
Action set(TextValue k, TextValue v) { return Action{action::Set{std::move(k), std::move(v)}}; }
Action unset(TextValue k) { return Action{action::Unset{std::move(k)}}; }
Action use_provider(TextValue k, TextValue c) { return Action{action::UseProvider{std::move(k), std::move(c)}}; }

Rule rule_of(When w, std::vector<Action> a, OnError e = OnError::Log) { return Rule{std::move(w), std::move(a), e}; }

std::string error_text(std::string_view text) {
  auto r = parse_rules(text);
  if (r) return "<parsed " + std::to_string(r->size()) + " rules>";
  return r.error().text();
}

// Wraps a condition or an action list into a one-rule file.
std::string with_when(std::string_view when) { return "[(when: " + std::string(when) + ", actions: [])]"; }
std::string with_actions(std::string_view actions) { return "[(when: True, actions: [" + std::string(actions) + "])]"; }

struct GoodCase {
  std::string name;
  std::string text;
  std::vector<Rule> expected;
};

TEST(ParseRules, AcceptsTheWrittenForms) {
  const std::vector<GoodCase> cases = {
      {"empty list", "[]", {}},
      {"empty list amid comments", "// header\n/* block\n */ [ /* inside */ ] // tail\n/* end */", {}},
      {"nested block comment", "/* outer /* inner */ still comment */ []", {}},
      {"comment at end of file without newline", "[]// no newline", {}},
      {"record name, default on_error",
       R"([Rule(when: Match("SUBSYSTEM", "block"), actions: [Set("GROUP", "disk")])])",
       {rule_of(match(lit("SUBSYSTEM"), lit("block")), {set(lit("GROUP"), lit("disk"))})}},
      {"no record name, do, on_error", R"([(when: True, do: [Unset("MODE")], on_error: Continue)])",
       {rule_of(kTrue, {unset(lit("MODE"))}, OnError::Continue)}},
      {"fields in any order, space before paren",
       R"([Rule (on_error: StopAll, actions: [], when: False,),])",
       {rule_of(kFalse, {}, OnError::StopAll)}},
      {"nested condition", R"([(when: Not(All([Match("ACTION", "add"), PartMatch("DEVNAME", "tty")])), actions: []) ])",
       {rule_of(not_(all({match(lit("ACTION"), lit("add")), part_match(lit("DEVNAME"), lit("tty"))})), {})}},
      {"template and literal braces",
       R"([(when: Any([]), actions: [Add("SYMLINKS", ["disk/{DEVNAME}"]), Set("X", "{DEVNAME}"), Command("sync")])])",
       {rule_of(any({}), {add(lit("SYMLINKS"), tpl("disk/{DEVNAME}")), set(lit("X"), lit("{DEVNAME}")),
                          command(lit("sync"))})}},
      {"every action and on_error, trailing commas",
       R"([
         (when: All([True, False,],), actions: [UseProvider(["K{N}"], "echo",), Unset(["A"],), Command("c",),],
          on_error: StopFile,),
         (when: True, actions: [], on_error: Log),
       ])",
       {rule_of(all({kTrue, kFalse}), {use_provider(tpl("K{N}"), lit("echo")), unset(tpl("A")), command(lit("c"))},
                OnError::StopFile),
        rule_of(kTrue, {}, OnError::Log)}},
      {"escapes", R"([(when: True, actions: [Set("\"\\\n\r\t\'", "a\0b\u{41}\u{e9}\u{1F600}\u{10FFFF}")])])",
       {rule_of(kTrue, {set(lit("\"\\\n\r\t'"), lit(std::string("a\0bA\u00e9\U0001F600\U0010FFFF", 14)))})}},
      {"raw strings", "[(when: True, actions: [Set(r\"C:\\n{x}\", r#\"say \"hi\"\"#), Command(r##\"a\"#b\"##)])]",
       {rule_of(kTrue, {set(lit("C:\\n{x}"), lit("say \"hi\"")), command(lit("a\"#b"))})}},
      {"raw string template", "[(when: True, actions: [Unset([r\"{A}\"])])]",
       {rule_of(kTrue, {unset(tpl("{A}"))})}},
      {"char literals", R"([(when: Match('A', 'é'), actions: [Set('\n', '\u{42}'), Set('\'', '"')])])",
       {rule_of(match(lit("A"), lit("é")), {set(lit("\n"), lit("B")), set(lit("'"), lit("\""))})}},
      {"multi-line string", "[(when: True, actions: [Command(\"a\nb\")])]",
       {rule_of(kTrue, {command(lit("a\nb"))})}},
      {"unknown fields of every kind",
       R"([(note: "text", raw: r#"x"#, ch: 'c', int: -12_000, hex: 0xFF, oct: 0o17, bin: 0b1010,
            float: 1.5e-3, dot: .5, sign: +2., inf: -inf, nan: NaN, yes: true, no: false, unit: (),
            list: [1, "two", [3]], map: {"k": [1], 2: {x: ()}}, tuple: (1, "a",), record: (a: 1, b: (c: 2)),
            named: Point(x: 1, y: 2), tuple_struct: Pair(1, 2), option: Some(None), variant: Maybe,
            when: True, actions: [], zzz: [[[[]]]], )])",
       {rule_of(kTrue, {})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = parse_rules(c.text);
    ASSERT_TRUE(r) << r.error().text();
    EXPECT_EQ(*r, c.expected);
  }
}

TEST(ParseRules, ResultHoldsNoCompiledPatterns) {
  auto r = parse_rules(R"([(when: Match("A", "b"), actions: [])])");
  ASSERT_TRUE(r);
  EXPECT_EQ(std::get<Match>((*r)[0].when.value).compiled, nullptr);
}

struct BadCase {
  std::string name;
  std::string text;
  std::string error;
};

TEST(ParseRules, RejectsWithPositionAndDescription) {
  const std::string one_to_many = "string or array with a single string";
  const std::vector<BadCase> cases = {
      {"empty file", "", "1:1: unexpected end of file, expected a list of rules"},
      {"only a comment", "// nothing\n", "2:1: unexpected end of file, expected a list of rules"},
      {"single rule without list", "Rule(when: True, actions: [])",
       "1:1: invalid type: identifier `Rule`, expected a list of rules"},
      {"unnamed single rule without list", "(when: True, actions: [])",
       "1:1: invalid type: struct, expected a list of rules"},
      {"trailing characters", "[] []", "1:4: trailing characters after the list of rules"},
      {"trailing characters after comment", "[]\n// ok\nx", "3:1: trailing characters after the list of rules"},
      {"unclosed list", "[", "1:2: unexpected end of file, expected struct Rule"},
      {"missing comma", "[(when: True, actions: []) (when: True, actions: [])]",
       "1:28: unexpected character `(`, expected `,` or `]`"},
      {"missing when", "[(actions: [])]", "1:14: missing field `when`"},
      {"missing actions", "[\n  Rule(when: True)\n]", "2:18: missing field `actions`"},
      {"missing both", "[()]", "1:3: missing field `when`"},
      {"actions and do", "[(when: True, actions: [], do: [])]", "1:28: duplicate field `actions`"},
      {"do twice", "[(when: True, do: [], do: [])]", "1:23: duplicate field `actions`"},
      {"when twice", "[(when: True, when: False, actions: [])]", "1:15: duplicate field `when`"},
      {"on_error twice", "[(on_error: Log, when: True, on_error: Log, actions: [])]",
       "1:30: duplicate field `on_error`"},
      {"bad record name", "[Rules(when: True, actions: [])]", "1:2: unexpected record name `Rules`, expected `Rule`"},
      {"rule not a record", "[5]", "1:2: invalid type: integer `5`, expected struct Rule"},
      {"missing colon", "[(when True)]", "1:8: unexpected identifier `True`, expected `:`"},
      {"field name not identifier", "[(\"when\": True)]",
       "1:3: invalid type: string \"when\", expected field identifier"},
      {"unknown When variant", with_when("Maybe"),
       "1:9: unknown variant `Maybe`, expected one of `All`, `Any`, `Not`, `True`, `False`, `Match`, `PartMatch`"},
      {"unknown Action variant", with_actions("Append(\"a\", \"b\")"),
       "1:25: unknown variant `Append`, expected one of `Command`, `Add`, `Set`, `Unset`, `UseProvider`"},
      {"unknown OnError variant", "[(when: True, actions: [], on_error: Abort)]",
       "1:38: unknown variant `Abort`, expected one of `Continue`, `Log`, `StopFile`, `StopAll`"},
      {"variants are case-sensitive", with_when("true"),
       "1:9: unknown variant `true`, expected one of `All`, `Any`, `Not`, `True`, `False`, `Match`, `PartMatch`"},
      {"When as string", with_when("\"True\""), "1:9: invalid type: string \"True\", expected enum When"},
      {"OnError as integer", "[(when: True, actions: [], on_error: 1)]",
       "1:38: invalid type: integer `1`, expected enum OnError"},
      {"Action as list", with_actions("[]"), "1:25: invalid type: sequence, expected enum Action"},
      {"no value for when", "[(when: , actions: [])]", "1:9: unexpected character `,`, expected variant identifier"},
      {"Match with one value", with_when("Match(\"A\")"),
       "1:18: invalid length 1, expected tuple variant When::Match with 2 elements"},
      {"Match with three values", with_when("Match(\"A\", \"b\", \"c\")"),
       "1:25: invalid length 3, expected tuple variant When::Match with 2 elements"},
      {"Match with no parentheses", with_when("Match"),
       "1:14: invalid type: unit variant, expected tuple variant When::Match with 2 elements"},
      {"PartMatch with no values", with_when("PartMatch()"),
       "1:19: invalid length 0, expected tuple variant When::PartMatch with 2 elements"},
      {"PartMatch with three values", with_when("PartMatch(\"A\", \"b\", [\"c\"])"),
       "1:29: invalid length 3, expected tuple variant When::PartMatch with 2 elements"},
      {"Add with one value", with_actions("Add(\"A\",)"),
       "1:33: invalid length 1, expected tuple variant Action::Add with 2 elements"},
      {"Set with one value", with_actions("Set(\"GROUP\")"),
       "1:36: invalid length 1, expected tuple variant Action::Set with 2 elements"},
      {"Set with three values", with_actions("Set(\"A\", \"b\", \"c\")"),
       "1:39: invalid length 3, expected tuple variant Action::Set with 2 elements"},
      {"UseProvider with one value", with_actions("UseProvider(\"A\")"),
       "1:40: invalid length 1, expected tuple variant Action::UseProvider with 2 elements"},
      {"UseProvider with three values", with_actions("UseProvider(\"A\", \"b\", \"c\")"),
       "1:47: invalid length 3, expected tuple variant Action::UseProvider with 2 elements"},
      {"Command with two values", with_actions("Command(\"a\", \"b\")"),
       "1:38: unexpected character `\"`, expected `)`"},
      {"Not without payload", with_when("Not"), "1:12: invalid type: unit variant, expected newtype variant When::Not"},
      {"True with payload", with_when("True()"), "1:13: invalid type: tuple variant, expected unit variant When::True"},
      {"All without list", with_when("All(True)"), "1:13: invalid type: identifier `True`, expected a sequence"},
      {"actions not a list", "[(when: True, actions: Set(\"A\", \"b\"))]",
       "1:24: invalid type: identifier `Set`, expected a sequence"},
      {"TextValue empty list", with_actions("Unset([])"), "1:31: invalid length 0, expected " + one_to_many},
      {"TextValue two strings", with_actions("Set([\"A\", \"B\"], \"c\")"),
       "1:35: invalid length 2, expected " + one_to_many},
      {"TextValue second element of any kind", with_actions("Set([\"A\", ], \"c\"), Set([\"A\", 7 oops], \"c\")"),
       "1:54: invalid length 2, expected " + one_to_many},
      {"TextValue integer", with_actions("Set(\"A\", 5)"), "1:34: invalid type: integer `5`, expected " + one_to_many},
      {"TextValue float", with_actions("Set(\"A\", -1.5)"),
       "1:34: invalid type: floating point `-1.5`, expected " + one_to_many},
      {"TextValue boolean", with_actions("Command(true)"),
       "1:33: invalid type: boolean `true`, expected " + one_to_many},
      {"TextValue identifier", with_actions("Set(GROUP, \"disk\")"),
       "1:29: invalid type: identifier `GROUP`, expected " + one_to_many},
      {"TextValue map", with_actions("Command({})"), "1:33: invalid type: map, expected " + one_to_many},
      {"TextValue record", with_actions("Command((a: 1))"), "1:33: invalid type: struct, expected " + one_to_many},
      {"TextValue unit", with_actions("Command(())"), "1:33: invalid type: unit value, expected " + one_to_many},
      {"TextValue tuple", with_actions("Command((\"a\", 1))"), "1:33: invalid type: tuple, expected " + one_to_many},
      {"template of non-string", with_actions("Command([5])"), "1:34: invalid type: integer `5`, expected a string"},
      {"template of nested list", with_actions("Command([[\"a\"]])"),
       "1:34: invalid type: sequence, expected a string"},
      {"unclosed block comment", "[] /* open /* nested */", "1:4: unclosed block comment"},
      {"lone slash", "[/]", "1:2: unexpected character `/`, expected struct Rule"},
      {"bad escape", with_actions("Command(\"a\\qb\")"), "1:35: invalid escape `\\q`"},
      {"surrogate escape", with_actions("Command(\"\\u{D800}\")"),
       "1:34: invalid Unicode escape: D800 is not a Unicode scalar value"},
      {"code point too large", with_actions("Command(\"\\u{110000}\")"),
       "1:34: invalid Unicode escape: 110000 is not a Unicode scalar value"},
      {"too many hex digits", with_actions("Command(\"\\u{0000041}\")"),
       "1:34: invalid Unicode escape: more than 6 hexadecimal digits"},
      {"escape without braces", with_actions("Command(\"\\u0041\")"),
       "1:34: invalid Unicode escape: expected `{` after `\\u`"},
      {"empty Unicode escape", with_actions("Command(\"\\u{}\")"),
       "1:34: invalid Unicode escape: expected 1 to 6 hexadecimal digits"},
      {"unterminated string", "[(when: Match(\"A\", \"b)])", "1:20: unterminated string"},
      {"unterminated raw string", "[(when: True, actions: [Command(r#\"a\")])]", "1:33: unterminated raw string"},
      {"raw string without quote", "[(when: True, actions: [Command(r#a)])]",
       "1:33: invalid raw string: expected `\"` after `r` and `#` marks"},
      {"char literal of two characters", with_actions("Command('ab')"),
       "1:33: character literal must hold exactly one character"},
      {"empty char literal", with_actions("Command('')"), "1:33: empty character literal"},
      {"bad number in unknown field", "[(when: True, actions: [], n: 1.2.3)]", "1:31: invalid number `1.2.3`"},
      {"hex without digits", "[(x: 0x, when: True, actions: [])]", "1:6: invalid number `0x`"},
      {"unknown field without value", "[(x: , when: True, actions: [])]",
       "1:6: unexpected character `,`, expected a value"},
      {"map entry without colon", "[(x: {1 2}, when: True, actions: [])]",
       "1:9: unexpected character `2`, expected `:`"},
      {"struct mixed with tuple", "[(x: (a: 1, 2), when: True, actions: [])]",
       "1:13: invalid type: integer `2`, expected field identifier"},
      {"columns count characters", "[(when: Match(\"äöü\", \"€\"), actions: [Unset(\"x\")], é)]",
       "1:51: unexpected character `é`, expected field identifier"},
      {"control character", "[\x01]", "1:2: unexpected character `\\u{1}`, expected struct Rule"},
      {"invalid UTF-8", "[\n  \"ok\"\xff]", "2:7: invalid UTF-8"},
      {"error on line 3", "[\n  (when: True, actions: []),\n  (when: Tru, actions: []),\n]",
       "3:10: unknown variant `Tru`, expected one of `All`, `Any`, `Not`, `True`, `False`, `Match`, `PartMatch`"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_text(c.text), c.error) << c.text;
  }
}

// Level 1 is the rule list, level 2 the record; each Not payload adds one.
std::string nested_nots(std::size_t levels) {
  const std::size_t nots = levels - 2;
  std::string when;
  for (std::size_t i = 0; i < nots; ++i) when += "Not(";
  when += "True";
  when.append(nots, ')');
  return with_when(when);
}

TEST(ParseRules, NestingStopsAfter128Levels) {
  auto ok = parse_rules(nested_nots(128));
  ASSERT_TRUE(ok) << ok.error().text();
  const When* w = &(*ok)[0].when;
  std::size_t depth = 0;
  while (const auto* n = std::get_if<Not>(&w->value)) {
    w = n->condition.get();
    ++depth;
  }
  EXPECT_EQ(depth, 126u);
  EXPECT_EQ(*w, kTrue);

  // The 129th level opens at the 127th "Not(" (column 9 + 126 * 4 + 3).
  EXPECT_EQ(error_text(nested_nots(129)), "1:516: exceeded the nesting limit of 128");
  // A template list is a level of its own.
  EXPECT_EQ(error_text("[(when: True, actions: [Unset([\"a\"])])]"), "<parsed 1 rules>");
}

TEST(ParseRules, HostileNestingIsAnErrorNotACrash) {
  const std::string deep_field = "[(x: " + std::string(100000, '[');
  EXPECT_EQ(error_text(deep_field), "1:132: exceeded the nesting limit of 128");
  EXPECT_EQ(error_text(std::string(100000, '[')), "1:2: invalid type: sequence, expected struct Rule");
  std::string deep_when = "[(when: ";
  for (int i = 0; i < 50000; ++i) deep_when += "Any([";
  // Level 129 opens at the "(" of the 64th "Any(".
  EXPECT_EQ(error_text(deep_when), "1:327: exceeded the nesting limit of 128");
  EXPECT_EQ(error_text("[(x: " + std::string(100000, '{')), "1:132: exceeded the nesting limit of 128");
  EXPECT_EQ(error_text("[(x: " + std::string(100000, '(')), "1:132: exceeded the nesting limit of 128");
}

TEST(ParseRules, LargeFileIsReadWhole) {
  std::string text = "[\n";
  const std::string one =
      "  Rule(when: All([Match(\"SUBSYSTEM\", \"block\"), PartMatch([\"{DEVNAME}\"], \"sd.*\")]), "
      "actions: [Set(\"GROUP\", \"disk\"), Add(\"SYMLINKS\", [\"disk/{DEVNAME}\"])], on_error: Log), // c\n";
  while (text.size() < (1u << 20)) text += one;
  text += "]";
  const std::size_t count = (text.size() - 3) / one.size();
  auto r = parse_rules(text);
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_EQ(r->size(), count);
  EXPECT_EQ(r->back().actions[1], add(lit("SYMLINKS"), tpl("disk/{DEVNAME}")));
}

TEST(ParseCondition, ReadsOneConditionAndNothingElse) {
  auto r = parse_condition(R"( Not(All([Match("ACTION", "add"), PartMatch("DEVNAME", "tty")])) // filter)");
  ASSERT_TRUE(r) << r.error().text();
  EXPECT_EQ(*r, not_(all({match(lit("ACTION"), lit("add")), part_match(lit("DEVNAME"), lit("tty"))})));

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"", "1:1: unexpected end of file, expected variant identifier"},
      {"True False", "1:6: trailing characters after the condition"},
      {"[True]", "1:1: invalid type: sequence, expected enum When"},
      {"Match(\"A\")", "1:10: invalid length 1, expected tuple variant When::Match with 2 elements"},
  };
  for (const auto& [text, error] : bad) {
    auto c = parse_condition(text);
    ASSERT_FALSE(c) << text;
    EXPECT_EQ(c.error().text(), error) << text;
  }
  // A condition starts at level 0: 128 nested Nots are the limit.
  std::string deep;
  for (int i = 0; i < 128; ++i) deep += "Not(";
  EXPECT_TRUE(parse_condition(deep + "True" + std::string(128, ')')));
  EXPECT_EQ(parse_condition("Not(" + deep + "True" + std::string(129, ')')).error().text(),
            "1:516: exceeded the nesting limit of 128");
}

}  // namespace
}  // namespace rule
