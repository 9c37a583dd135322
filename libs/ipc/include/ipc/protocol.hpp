#pragma once
// The reply side of korvid's IPC protocol, free of any I/O: the error
// vocabulary, what a method hands back, and the exact bytes of a reply body.
// Everything here is a pure function or a plain value; any thread may use it.
//
// Frames are a 2-byte little-endian length followed by that many body bytes,
// so no body, in either direction, is longer than kMaxFrameBody.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <nlohmann/json.hpp>

namespace korvid::ipc {

inline constexpr std::size_t kMaxFrameBody = 65535;

// Sent unchanged (note the space after the colon) when a reply cannot be
// encoded or framed.
inline constexpr std::string_view kBadReplyFallback = R"({"error": "/Tessaro/BadReply@TESSARO_LITE_1"})";

// The codes are the declaration order; only the names travel.
enum class RpcError { BadRequest, BadReply, NotImplemented, PermissionDenied, DeliveryError };

// "/Tessaro/<Kind>@TESSARO_LITE_1".
std::string_view rpc_error_name(RpcError error);
// The inverse, for clients; nullopt for any other text.
std::optional<RpcError> rpc_error_from_name(std::string_view name);

// A method's outcome: its JSON result, or one error kind. Anything
// nlohmann::json can be built from converts implicitly, so a handler may
// `co_return nullptr;`, `co_return paths;` or `co_return RpcError::BadRequest;`.
class MethodResult {
 public:
  MethodResult(RpcError error) : error_(error) {}
  template <class T>
    requires(!std::is_same_v<std::remove_cvref_t<T>, RpcError> &&
             !std::is_same_v<std::remove_cvref_t<T>, MethodResult> &&
             std::is_constructible_v<nlohmann::json, T>)
  MethodResult(T&& value) : value_(std::forward<T>(value)) {}

  bool has_error() const { return error_.has_value(); }
  std::optional<RpcError> error() const { return error_; }
  // Null when has_error().
  const nlohmann::json& value() const { return value_; }

 private:
  nlohmann::json value_;
  std::optional<RpcError> error_;
};

// The reply body: compact JSON of the value, or {"error":"<name>"}. A value
// that cannot be written (a string that is not UTF-8) gives kBadReplyFallback.
std::string encode_result(const MethodResult& result);

// The 2 length bytes of a body of `size` bytes; nullopt above kMaxFrameBody.
std::optional<std::array<std::uint8_t, 2>> frame_header(std::size_t size);
inline std::size_t frame_length(std::uint8_t low, std::uint8_t high) {
  return static_cast<std::size_t>(low) | (static_cast<std::size_t>(high) << 8);
}

}  // namespace korvid::ipc
