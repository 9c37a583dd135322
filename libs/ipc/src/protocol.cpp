#include "ipc/protocol.hpp"

namespace korvid::ipc {

namespace {
constexpr std::array<std::string_view, 5> kErrorNames = {
    "/Tessaro/BadRequest@TESSARO_LITE_1",     "/Tessaro/BadReply@TESSARO_LITE_1",
    "/Tessaro/NotImplemented@TESSARO_LITE_1", "/Tessaro/PermissionDenied@TESSARO_LITE_1",
    "/Tessaro/DeliveryError@TESSARO_LITE_1",
};
}  // namespace

std::string_view rpc_error_name(RpcError error) {
  auto index = static_cast<std::size_t>(error);
  return index < kErrorNames.size() ? kErrorNames[index] : kErrorNames[1];
}

std::optional<RpcError> rpc_error_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kErrorNames.size(); ++i) {
    if (kErrorNames[i] == name) return static_cast<RpcError>(i);
  }
  return std::nullopt;
}

std::string encode_result(const MethodResult& result) {
  try {
    if (result.has_error()) {
      nlohmann::json reply = nlohmann::json::object();
      reply["error"] = std::string(rpc_error_name(*result.error()));
      return reply.dump();
    }
    // strict: a string that is not UTF-8 throws instead of being altered.
    return result.value().dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (...) {
    return std::string(kBadReplyFallback);
  }
}

std::optional<std::array<std::uint8_t, 2>> frame_header(std::size_t size) {
  if (size > kMaxFrameBody) return std::nullopt;
  return std::array<std::uint8_t, 2>{static_cast<std::uint8_t>(size & 0xff),
                                     static_cast<std::uint8_t>(size >> 8)};
}

}  // namespace korvid::ipc
