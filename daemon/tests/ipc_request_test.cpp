#include "ipc_request.hpp"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace korvid::ipc {
// Failures print the request in its JSON form.
void PrintTo(const Request& request, std::ostream* os) { *os << encode_request(request); }
}  // namespace korvid::ipc

namespace {

using namespace std::string_literals;
using korvid::ipc::decode_condition;
using korvid::ipc::decode_request;
using korvid::ipc::encode_condition;
using korvid::ipc::encode_request;
using korvid::ipc::ListDevices;
using korvid::ipc::ReloadRules;
using korvid::ipc::Request;
using korvid::ipc::Trigger;
using korvid::ipc::WaitForIdle;
using rule::TextValue;
using rule::When;

const std::string T = R"("/quennetos/Korvid/Trigger@KORVID_0.1.0")";
const std::string R = R"("/quennetos/Korvid/ReloadRules@KORVID_0.1.0")";
const std::string L = R"("/quennetos/Korvid/ListDevices@KORVID_0.1.0")";
const std::string W = R"("/quennetos/Korvid/WaitForIdle@KORVID_0.1.0")";

When yes() { return When{rule::True{}}; }
When no() { return When{rule::False{}}; }
When negate(When inner) { return When{rule::Not{std::make_shared<const When>(std::move(inner))}}; }
When match(TextValue key, TextValue pattern) { return When{rule::Match{std::move(key), std::move(pattern), nullptr}}; }
When part_match(TextValue key, TextValue pattern) {
  return When{rule::PartMatch{std::move(key), std::move(pattern), nullptr}};
}
TextValue lit(std::string text) { return TextValue::literal(std::move(text)); }
TextValue tpl(std::string text) { return TextValue::templated(std::move(text)); }
Request list(When condition) { return ListDevices{std::move(condition)}; }

// {"Not":{"Not":...{"Not":"True"}...}} with `levels` objects.
std::string nested_nots(int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += R"({"Not":)";
  text += R"("True")";
  text += std::string(levels, '}');
  return text;
}
When nested_not_condition(int levels) {
  When condition = yes();
  for (int i = 0; i < levels; ++i) condition = negate(std::move(condition));
  return condition;
}
std::string nested_arrays(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

struct Accepted {
  std::string name;
  std::string body;
  Request expected;
};

TEST(DecodeRequest, AcceptsEveryValidForm) {
  const std::vector<Accepted> cases = {
      {"trigger", "{\"method\":" + T + ",\"params\":[\"devices\",\"change\"]}", Trigger{"devices", "change"}},
      {"trigger params first", "{\"params\":[\"all\",\"add\"],\"method\":" + T + "}", Trigger{"all", "add"}},
      {"reload params first", "{\"params\":null,\"method\":" + R + "}", ReloadRules{}},
      {"list params first", "{\"params\":\"True\",\"method\":" + L + "}", list(yes())},
      {"wait params first", "{\"params\":null,\"method\":" + W + "}", WaitForIdle{}},
      {"reload without params", "{\"method\":" + R + "}", ReloadRules{}},
      {"reload with null params", "{\"method\":" + R + ",\"params\":null}", ReloadRules{}},
      {"wait without params", "{\"method\":" + W + "}", WaitForIdle{}},
      {"extra keys before, between, after",
       "{\"id\":{\"method\":[1,{\"params\":2}]},\"method\":" + W +
           ",\"Method\":\"x\",\"params\":null,\"id\":[true,false,null,-1.5e3,\"\\u00e9\"]}",
       WaitForIdle{}},
      {"extra key with trigger params", "{\"method\":" + T + ",\"id\":7,\"params\":[\"a\",\"b\"],\"x\":{}}",
       Trigger{"a", "b"}},
      {"method object form", "{\"method\":{" + W + ":null}}", WaitForIdle{}},
      {"method object form with params", "{\"params\":[\"s\",\"a\"],\"method\":{" + T + ":null}}",
       Trigger{"s", "a"}},
      {"array form wait", "[" + W + ",null]", WaitForIdle{}},
      {"array form reload", "[" + R + ",null]", ReloadRules{}},
      {"array form trigger", "[" + T + ",[\"devices\",\"remove\"]]", Trigger{"devices", "remove"}},
      {"array form list", "[" + L + ",{\"Not\":\"False\"}]", list(negate(no()))},
      {"surrounding whitespace", " \t\r\n{\"method\":" + W + "}\n", WaitForIdle{}},
      {"whitespace inside", "{ \"method\" :\t" + W + " ,\n\"params\" : null }", WaitForIdle{}},
      {"trigger texts kept as sent", "[" + T + ",[\" devices\",\"Add \"]]", Trigger{" devices", "Add "}},
      {"escapes decoded", "[" + T + R"(,["dev\u0069ces\/","\"\\\n\u00e9\ud83d\ude00"]])",
       Trigger{"devices/", "\"\\\n\xc3\xa9\xf0\x9f\x98\x80"}},
      {"raw utf-8 kept", "[" + T + ",[\"\xc3\xa9\",\"\xe2\x82\xac\"]]", Trigger{"\xc3\xa9", "\xe2\x82\xac"}},
      {"when false string", "[" + L + ",\"False\"]", list(no())},
      {"when true object", "[" + L + ",{\"True\":null}]", list(yes())},
      {"when false object", "[" + L + ",{\"False\":null}]", list(no())},
      {"when empty all", "[" + L + ",{\"All\":[]}]", list(When{rule::All{}})},
      {"when any", "[" + L + ",{\"Any\":[\"True\",{\"Not\":\"False\"}]}]",
       list(When{rule::Any{{yes(), negate(no())}}})},
      {"when match literals", "[" + L + ",{\"Match\":[\"SUBSYSTEM\",\"block\"]}]",
       list(match(lit("SUBSYSTEM"), lit("block")))},
      {"when match template key", "[" + L + ",{\"Match\":[[\"{DEVNAME}\"],\"sd.*\"]}]",
       list(match(tpl("{DEVNAME}"), lit("sd.*")))},
      {"when part match template pattern", "[" + L + ",{\"PartMatch\":[\"DEVNAME\",[\"\"]]}]",
       list(part_match(lit("DEVNAME"), tpl("")))},
      {"when nested", "[" + L + ",{\"All\":[{\"Any\":[]},{\"Not\":{\"Match\":[\"A\",[\"b\"]]}}]}]",
       list(When{rule::All{{When{rule::Any{}}, negate(match(lit("A"), tpl("b")))}}})},
      {"depth 127 in the condition", "{\"method\":" + L + ",\"params\":" + nested_nots(126) + "}",
       list(nested_not_condition(126))},
      {"depth 127 in an extra key", "{\"method\":" + W + ",\"x\":" + nested_arrays(126) + "}", WaitForIdle{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + ": " + c.body.substr(0, 200));
    auto decoded = decode_request(c.body);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, c.expected);
  }
}

TEST(DecodeRequest, RejectsEveryInvalidForm) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty body", ""},
      {"only whitespace", " \n"},
      {"null", "null"},
      {"string", W},
      {"number", "42"},
      {"boolean", "true"},
      {"empty object", "{}"},
      {"no method", "{\"params\":null}"},
      {"second method", "{\"method\":" + W + ",\"method\":" + W + "}"},
      {"second method after params", "{\"method\":" + R + ",\"params\":null,\"method\":" + R + "}"},
      {"second params", "{\"method\":" + W + ",\"params\":null,\"params\":null}"},
      {"reload params empty object", "{\"method\":" + R + ",\"params\":{}}"},
      {"reload params empty array", "{\"method\":" + R + ",\"params\":[]}"},
      {"reload params string", "{\"method\":" + R + ",\"params\":\"\"}"},
      {"wait params number", "{\"method\":" + W + ",\"params\":0}"},
      {"wait params false", "[" + W + ",false]"},
      {"array form one element", "[" + W + "]"},
      {"array form three elements", "[" + W + ",null,null]"},
      {"array form empty", "[]"},
      {"array form object method", "[{" + W + ":null},null]"},
      {"other version tag", "{\"method\":\"/quennetos/Korvid/WaitForIdle@KORVID_0.1.1\"}"},
      {"other case", "{\"method\":\"/quennetos/korvid/WaitForIdle@KORVID_0.1.0\"}"},
      {"trailing blank in method", "{\"method\":\"/quennetos/Korvid/WaitForIdle@KORVID_0.1.0 \"}"},
      {"unknown method", "{\"method\":\"/quennetos/Korvid/Reboot@KORVID_0.1.0\"}"},
      {"method null", "{\"method\":null}"},
      {"method in array", "{\"method\":[" + W + "]}"},
      {"method object non-null value", "{\"method\":{" + W + ":0}}"},
      {"method object two keys", "{\"method\":{" + W + ":null,\"x\":null}}"},
      {"method object empty", "{\"method\":{}}"},
      {"trigger without params", "{\"method\":" + T + "}"},
      {"trigger null params", "[" + T + ",null]"},
      {"trigger no strings", "[" + T + ",[]]"},
      {"trigger one string", "[" + T + ",[\"devices\"]]"},
      {"trigger three strings", "[" + T + ",[\"devices\",\"add\",\"x\"]]"},
      {"trigger number action", "[" + T + ",[\"devices\",1]]"},
      {"trigger null scope", "[" + T + ",[null,\"add\"]]"},
      {"trigger params string", "[" + T + ",\"devices add\"]"},
      {"trigger params object", "[" + T + ",{\"scope\":\"devices\",\"action\":\"add\"}]"},
      {"list without params", "{\"method\":" + L + "}"},
      {"list null params", "[" + L + ",null]"},
      {"when lower-case true", "[" + L + ",\"true\"]"},
      {"when other string", "[" + L + ",\"All\"]"},
      {"when empty object", "[" + L + ",{}]"},
      {"when unknown variant", "[" + L + ",{\"Maybe\":null}]"},
      {"when lower-case variant", "[" + L + ",{\"all\":[]}]"},
      {"when two keys", "[" + L + ",{\"All\":[],\"Any\":[]}]"},
      {"when duplicate key", "[" + L + ",{\"All\":[],\"All\":[]}]"},
      {"when all not array", "[" + L + ",{\"All\":{}}]"},
      {"when all with bad element", "[" + L + ",{\"All\":[\"True\",\"bogus\"]}]"},
      {"when not null", "[" + L + ",{\"Not\":null}]"},
      {"when not array", "[" + L + ",{\"Not\":[\"True\"]}]"},
      {"when true with payload", "[" + L + ",{\"True\":{}}]"},
      {"when false with payload", "[" + L + ",{\"False\":false}]"},
      {"match one operand", "[" + L + ",{\"Match\":[\"A\"]}]"},
      {"match three operands", "[" + L + ",{\"Match\":[\"A\",\"b\",\"c\"]}]"},
      {"match not array", "[" + L + ",{\"Match\":\"A\"}]"},
      {"operand array of none", "[" + L + ",{\"Match\":[[],\"b\"]}]"},
      {"operand array of two", "[" + L + ",{\"PartMatch\":[\"A\",[\"b\",\"c\"]]}]"},
      {"operand array of number", "[" + L + ",{\"Match\":[[1],\"b\"]}]"},
      {"operand null", "[" + L + ",{\"Match\":[null,\"b\"]}]"},
      {"trailing second value", "{\"method\":" + W + "}{\"method\":" + W + "}"},
      {"trailing value after newline", "{\"method\":" + W + "}\n{}"},
      {"trailing garbage", "{\"method\":" + W + "} x"},
      {"unterminated", "{\"method\":" + W},
      {"comment", "{\"method\":" + W + "/* hi */}"},
      {"NUL after the value", "{\"method\":" + W + "}\0"s},
      {"NUL before trailing value", "{\"method\":" + W + "}\0{}"s},
      {"NUL inside a string", "[" + T + ",[\"dev\0ices\",\"add\"]]"s},
      {"invalid utf-8 byte", "[" + T + ",[\"\xff\",\"add\"]]"},
      {"overlong utf-8", "[" + T + ",[\"\xc0\xaf\",\"add\"]]"},
      {"utf-8 surrogate", "[" + T + ",[\"\xed\xa0\x80\",\"add\"]]"},
      {"truncated utf-8", "[" + T + ",[\"\xc3\",\"add\"]]"},
      {"invalid utf-8 in an ignored key", "{\"method\":" + W + ",\"id\":\"\xfe\"}"},
      {"invalid utf-8 outside strings", "{\"method\":" + W + "}\xc2\xa0"},
      {"unknown escape", "[" + T + R"(,["\x41","add"]])"},
      {"short unicode escape", "[" + T + R"(,["\u12","add"]])"},
      {"lone high surrogate", "[" + T + R"(,["\ud83d","add"]])"},
      {"lone low surrogate", "[" + T + R"(,["\ude00","add"]])"},
      {"raw control character", "[" + T + ",[\"a\x01\",\"add\"]]"},
      {"depth 128 in the condition", "{\"method\":" + L + ",\"params\":" + nested_nots(127) + "}"},
      {"depth 128 in an extra key", "{\"method\":" + W + ",\"x\":" + nested_arrays(127) + "}"},
      {"depth far beyond the limit", "[" + W + "," + nested_arrays(100000) + "]"},
  };
  for (const auto& [name, body] : cases) {
    SCOPED_TRACE(name + ": " + body.substr(0, 200));
    EXPECT_EQ(decode_request(body), std::nullopt);
  }
}

TEST(DecodeRequest, TakesBodyBytes) {
  const std::string body = "[" + W + ",null]";
  const std::vector<std::uint8_t> bytes(body.begin(), body.end());
  EXPECT_EQ(decode_request(std::span<const std::uint8_t>(bytes)), Request{WaitForIdle{}});
  EXPECT_EQ(decode_request(std::span<const std::uint8_t>()), std::nullopt);
}

TEST(EncodeRequest, WritesCompactObjectsThatDecodeBack) {
  const std::vector<std::pair<Request, std::string>> cases = {
      {Trigger{"devices", "add"}, "{\"method\":" + T + ",\"params\":[\"devices\",\"add\"]}"},
      {Trigger{"a\"b", "\n\xc3\xa9"}, "{\"method\":" + T + ",\"params\":[\"a\\\"b\",\"\\n\xc3\xa9\"]}"},
      {ReloadRules{}, "{\"method\":" + R + "}"},
      {WaitForIdle{}, "{\"method\":" + W + "}"},
      {list(When{rule::All{{yes(), match(lit("SUBSYSTEM"), tpl("{X}")), negate(no())}}}),
       "{\"method\":" + L + R"(,"params":{"All":["True",{"Match":["SUBSYSTEM",["{X}"]]},{"Not":"False"}]}})"},
      {list(When{rule::Any{{part_match(tpl("K"), lit("v"))}}}),
       "{\"method\":" + L + R"(,"params":{"Any":[{"PartMatch":[["K"],"v"]}]}})"},
  };
  for (const auto& [request, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(encode_request(request), text);
    EXPECT_EQ(decode_request(text), request);
  }
}

TEST(EncodeRequest, ReplacesTextThatIsNotUtf8) {
  EXPECT_EQ(encode_request(Trigger{"a\xff", "add"}),
            "{\"method\":" + T + ",\"params\":[\"a\xef\xbf\xbd\",\"add\"]}");
}

TEST(Condition, RoundTripsOnItsOwn) {
  const When condition = When{rule::Any{{negate(part_match(lit("DEVNAME"), tpl("x"))), When{rule::All{}}}}};
  const std::string text = R"({"Any":[{"Not":{"PartMatch":["DEVNAME",["x"]]}},{"All":[]}]})";
  EXPECT_EQ(encode_condition(condition), text);
  EXPECT_EQ(decode_condition(text), condition);
  EXPECT_EQ(decode_condition(" \"False\"\n"), no());
  // On its own the condition is the outermost level.
  EXPECT_EQ(decode_condition(nested_nots(127)), nested_not_condition(127));
  EXPECT_EQ(decode_condition(nested_nots(128)), std::nullopt);
  EXPECT_EQ(decode_condition("{\"Match\":[\"A\"]}"), std::nullopt);
  EXPECT_EQ(decode_condition("\"True\" \"True\""), std::nullopt);
  EXPECT_EQ(decode_condition("\"True\"\0"s), std::nullopt);
}

}  // namespace
