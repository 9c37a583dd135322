#pragma once
// The daemon's IPC requests: the four methods a client can call, their
// versioned method names, and the JSON forms that travel in request bodies.
//
// Decoding is strict and total: any body that is not exactly one valid
// request gives nullopt (answered BadRequest), never an exception. All
// functions here are pure; any thread may call them.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json_fwd.hpp>

#include "rule/model.hpp"

namespace korvid::ipc {

inline constexpr std::string_view kTriggerMethod = "/quennetos/Korvid/Trigger@KORVID_0.1.0";
inline constexpr std::string_view kReloadRulesMethod = "/quennetos/Korvid/ReloadRules@KORVID_0.1.0";
inline constexpr std::string_view kListDevicesMethod = "/quennetos/Korvid/ListDevices@KORVID_0.1.0";
inline constexpr std::string_view kWaitForIdleMethod = "/quennetos/Korvid/WaitForIdle@KORVID_0.1.0";

// Replay uevents below the sysfs tree named by `scope` with `action`; both
// are taken as sent, the handler checks them.
struct Trigger {
  std::string scope;
  std::string action;
  bool operator==(const Trigger&) const = default;
};
struct ReloadRules {
  bool operator==(const ReloadRules&) const = default;
};
// The registered devices that satisfy `condition`. Its Literal patterns are
// not compiled here (rule::precompile does that, if the handler wants it).
struct ListDevices {
  rule::When condition;
  bool operator==(const ListDevices&) const = default;
};
struct WaitForIdle {
  bool operator==(const WaitForIdle&) const = default;
};

// Variants in their fixed order: Trigger, ReloadRules, ListDevices, WaitForIdle.
using Request = std::variant<Trigger, ReloadRules, ListDevices, WaitForIdle>;

// Nesting of arrays and objects allowed in a body (the outermost counts).
inline constexpr std::size_t kMaxRequestDepth = 127;

std::string_view method_name(const Request& request);

// One request frame body: {"method": ..., "params": ...} in either key order,
// extra keys ignored, or ["<method>", <params>].
std::optional<Request> decode_request(std::span<const std::uint8_t> body);
std::optional<Request> decode_request(std::string_view body);

// For clients: {"method":"<name>","params":...}; "params" is left out for
// the methods without one. Text that is not UTF-8 has each invalid byte
// replaced with U+FFFD.
std::string encode_request(const Request& request);

// The JSON form of a condition: "True"/"False", or {"<Variant>": payload}
// where a Match/PartMatch operand is "text" (Literal) or ["text"] (Template).
nlohmann::json condition_to_json(const rule::When& condition);
std::string encode_condition(const rule::When& condition);
// A condition written as JSON text on its own (for example on a client's
// command line), with the same rules and depth limit as inside a request.
std::optional<rule::When> decode_condition(std::string_view text);

}  // namespace korvid::ipc
