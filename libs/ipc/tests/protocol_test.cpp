#include "ipc/protocol.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using korvid::ipc::encode_result;
using korvid::ipc::frame_header;
using korvid::ipc::kBadReplyFallback;
using korvid::ipc::MethodResult;
using korvid::ipc::RpcError;
using nlohmann::json;

TEST(EncodeResult, WritesExactReplyBytes) {
  const std::vector<std::pair<MethodResult, std::string>> cases = {
      {RpcError::BadRequest, R"({"error":"/Tessaro/BadRequest@TESSARO_LITE_1"})"},
      {RpcError::BadReply, R"({"error":"/Tessaro/BadReply@TESSARO_LITE_1"})"},
      {RpcError::NotImplemented, R"({"error":"/Tessaro/NotImplemented@TESSARO_LITE_1"})"},
      {RpcError::PermissionDenied, R"({"error":"/Tessaro/PermissionDenied@TESSARO_LITE_1"})"},
      {RpcError::DeliveryError, R"({"error":"/Tessaro/DeliveryError@TESSARO_LITE_1"})"},
      {nullptr, "null"},
      {json::array(), "[]"},
      {std::vector<std::string>{"a", "b"}, R"(["a","b"])"},
      {std::vector<std::string>{"/devices/virtual/mem/null"}, R"(["/devices/virtual/mem/null"])"},
      {"q\"b\\s\n\t\x01\x1f/\xc3\xa9\xf0\x9f\x98\x80\x7f", "\"q\\\"b\\\\s\\n\\t\\u0001\\u001f/\xc3\xa9\xf0\x9f\x98\x80\x7f\""},
      {json{{"b", json::array({1, true})}, {"a", nullptr}}, R"({"a":null,"b":[1,true]})"},
      // A value that cannot be written as JSON text.
      {std::string("\xff"), std::string(kBadReplyFallback)},
      {std::vector<std::string>{"ok", "bad\xc3"}, std::string(kBadReplyFallback)},
  };
  for (const auto& [result, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(encode_result(result), expected);
  }
  EXPECT_EQ(encode_result(RpcError::BadRequest).size(), 46u);
  EXPECT_EQ(kBadReplyFallback, R"({"error": "/Tessaro/BadReply@TESSARO_LITE_1"})");
  EXPECT_EQ(kBadReplyFallback.size(), 45u);
}

TEST(RpcErrorName, MapsBothWays) {
  for (RpcError error : {RpcError::BadRequest, RpcError::BadReply, RpcError::NotImplemented,
                         RpcError::PermissionDenied, RpcError::DeliveryError}) {
    EXPECT_EQ(korvid::ipc::rpc_error_from_name(korvid::ipc::rpc_error_name(error)), error);
  }
  EXPECT_EQ(korvid::ipc::rpc_error_name(RpcError::PermissionDenied), "/Tessaro/PermissionDenied@TESSARO_LITE_1");
  EXPECT_EQ(korvid::ipc::rpc_error_from_name("/Tessaro/BadRequest@TESSARO_LITE_2"), std::nullopt);
  EXPECT_EQ(korvid::ipc::rpc_error_from_name("/tessaro/BadRequest@TESSARO_LITE_1"), std::nullopt);
}

TEST(MethodResult, KeepsValueOrError) {
  const MethodResult failure = RpcError::DeliveryError;
  EXPECT_TRUE(failure.has_error());
  EXPECT_EQ(failure.error(), RpcError::DeliveryError);
  const MethodResult success = std::vector<std::string>{"x"};
  EXPECT_FALSE(success.has_error());
  EXPECT_EQ(success.value(), json::array({"x"}));
}

TEST(FrameHeader, IsLittleEndianAndBounded) {
  using Header = std::array<std::uint8_t, 2>;
  EXPECT_EQ(frame_header(0), (Header{0, 0}));
  EXPECT_EQ(frame_header(46), (Header{46, 0}));
  EXPECT_EQ(frame_header(0x0102), (Header{0x02, 0x01}));
  EXPECT_EQ(frame_header(65535), (Header{0xff, 0xff}));
  EXPECT_EQ(frame_header(65536), std::nullopt);
  EXPECT_EQ(korvid::ipc::frame_length(0x02, 0x01), 0x0102u);
  EXPECT_EQ(korvid::ipc::frame_length(0xff, 0xff), 65535u);
}

}  // namespace
