#pragma once
// KobjectUevent: one kernel uevent as a map of text properties.
//
// parse() accepts any bytes and never fails: malformed input degrades to
// missing properties. A record is built once and only read afterwards; it is
// moved from the monitor into the task that processes it, never shared.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <fmt/format.h>

#include "korvid/text_map.hpp"

namespace kobject_uevent {

class KobjectUevent {
 public:
  using Properties = korvid::TextMap<std::string>;

  KobjectUevent() = default;
  explicit KobjectUevent(Properties properties) : properties_(std::move(properties)) {}

  // Splits the payload at NUL bytes into KEY=VALUE pairs; segments without
  // "=" (such as the "action@devpath" header) are dropped, invalid UTF-8 is
  // replaced with U+FFFD and the last occurrence of a key wins.
  static KobjectUevent parse(std::string_view payload);

  const Properties& properties() const { return properties_; }

  std::optional<std::string_view> action() const { return text("ACTION"); }
  std::optional<std::string_view> devpath() const { return text("DEVPATH"); }
  std::optional<std::string_view> subsystem() const { return text("SUBSYSTEM"); }
  std::optional<std::string_view> devname() const { return text("DEVNAME"); }
  // Decimal, 0..4294967295, one optional leading "+".
  std::optional<std::uint32_t> major() const;
  std::optional<std::uint32_t> minor() const;
  // "0" followed by an octal number (one optional "+") that fits 16 bits.
  std::optional<std::uint16_t> devmode() const;

 private:
  std::optional<std::string_view> text(std::string_view key) const;

  Properties properties_;
};

// The printed form: KobjectUevent({"KEY": "value", ...}) with quotes,
// backslashes and control characters escaped.
std::string to_string(const KobjectUevent& uevent);

// Number rules behind the accessors, exposed for the node-path code and tests.
std::optional<std::uint32_t> parse_decimal_u32(std::string_view text);
std::optional<std::uint16_t> parse_devmode(std::string_view text);

}  // namespace kobject_uevent

template <>
struct fmt::formatter<kobject_uevent::KobjectUevent> : fmt::formatter<std::string_view> {
  template <typename FormatContext>
  auto format(const kobject_uevent::KobjectUevent& uevent, FormatContext& ctx) const {
    return fmt::formatter<std::string_view>::format(kobject_uevent::to_string(uevent), ctx);
  }
};
