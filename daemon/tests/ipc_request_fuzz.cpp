// Feeds the request decoder random bytes and mutations of valid requests:
// it must never crash, and whatever it accepts must encode back to a body it
// accepts again.
#include <random>

#include <gtest/gtest.h>

#include "ipc_request.hpp"

namespace korvid::ipc {
namespace {

TEST(IpcRequestFuzz, AnyBodyDecodesOrIsRejected) {
  const std::vector<std::string> seeds = {
      R"({"method":"/quennetos/Korvid/Trigger@KORVID_0.1.0","params":["devices","add"]})",
      R"({"params":null,"method":{"/quennetos/Korvid/ReloadRules@KORVID_0.1.0":null}})",
      R"(["/quennetos/Korvid/ListDevices@KORVID_0.1.0",{"All":[{"Match":["SUBSYSTEM","block"]},{"Not":{"PartMatch":["DEVNAME",["{X}"]]}},"True"]}])",
      R"({"id":[1,{"a":"b"}],"method":"/quennetos/Korvid/WaitForIdle@KORVID_0.1.0"})",
  };
  std::mt19937 rng(42);
  static constexpr char kAlphabet[] = "{}[]\",:\\0123456789.-eEtrufalsn AllMatchNot\x00\xff\xc3";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);  // keeps the NUL
  for (int i = 0; i < 50000; ++i) {
    std::string body = seeds[rng() % seeds.size()];
    switch (rng() % 4) {
      case 0:
        body.resize(rng() % (body.size() + 1));
        break;
      case 1:
        for (int n = 1 + rng() % 4; n > 0; --n) body[rng() % body.size()] = alphabet[rng() % alphabet.size()];
        break;
      case 2:
        body.insert(rng() % (body.size() + 1), std::string(1 + rng() % 200, "[{"[rng() % 2]));
        break;
      default:
        body.assign(rng() % 300, '\0');
        for (char& c : body) c = static_cast<char>(rng() % 256);
    }
    const auto request = decode_request(std::string_view(body));
    if (request) {
      const std::string again = encode_request(*request);
      ASSERT_TRUE(decode_request(std::string_view(again))) << body;
    }
  }
}

}  // namespace
}  // namespace korvid::ipc
