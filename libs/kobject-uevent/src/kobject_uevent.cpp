#include "kobject_uevent/kobject_uevent.hpp"

#include <cstring>

#include "korvid/utf8.hpp"

namespace kobject_uevent {
namespace {

// Digits of one base, after at most one "+"; empty, sign-only, overflow or any
// other character give nothing.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, unsigned base, std::uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c >= static_cast<char>('0' + base)) return std::nullopt;
    value = value * base + static_cast<unsigned>(c - '0');
    if (value > max) return std::nullopt;
  }
  return value;
}

void append_escaped(std::string& out, std::string_view text) {
  out.push_back('"');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\u{{{:x}}}", c);
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // C1 control characters U+0080..U+009F (two bytes in UTF-8).
      out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
}

}  // namespace

KobjectUevent KobjectUevent::parse(std::string_view payload) {
  Properties properties;
  const char* cursor = payload.data();
  const char* const end = payload.data() + payload.size();
  while (cursor < end) {
    const void* nul = std::memchr(cursor, '\0', static_cast<std::size_t>(end - cursor));
    const char* segment_end = nul ? static_cast<const char*>(nul) : end;
    const std::string_view segment(cursor, static_cast<std::size_t>(segment_end - cursor));
    cursor = segment_end + 1;
    if (segment.empty()) continue;
    const std::size_t eq = segment.find('=');
    if (eq == std::string_view::npos) continue;
    properties.insert_or_assign(korvid::utf8_lossy(segment.substr(0, eq)),
                                korvid::utf8_lossy(segment.substr(eq + 1)));
  }
  return KobjectUevent(std::move(properties));
}

std::optional<std::string_view> KobjectUevent::text(std::string_view key) const {
  const auto it = properties_.find(key);
  if (it == properties_.end()) return std::nullopt;
  return std::string_view(it->second);
}

std::optional<std::uint32_t> parse_decimal_u32(std::string_view text) {
  const auto value = parse_unsigned(text, 10, 0xFFFFFFFFu);
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint16_t> parse_devmode(std::string_view text) {
  if (text.empty() || text.front() != '0') return std::nullopt;
  const auto value = parse_unsigned(text.substr(1), 8, 0xFFFF);
  if (!value) return std::nullopt;
  return static_cast<std::uint16_t>(*value);
}

std::optional<std::uint32_t> KobjectUevent::major() const {
  const auto value = text("MAJOR");
  return value ? parse_decimal_u32(*value) : std::nullopt;
}

std::optional<std::uint32_t> KobjectUevent::minor() const {
  const auto value = text("MINOR");
  return value ? parse_decimal_u32(*value) : std::nullopt;
}

std::optional<std::uint16_t> KobjectUevent::devmode() const {
  const auto value = text("DEVMODE");
  return value ? parse_devmode(*value) : std::nullopt;
}

std::string to_string(const KobjectUevent& uevent) {
  std::string out = "KobjectUevent({";
  bool first = true;
  for (const auto& [key, value] : uevent.properties()) {
    if (!first) out += ", ";
    first = false;
    append_escaped(out, key);
    out += ": ";
    append_escaped(out, value);
  }
  out += "})";
  return out;
}

}  // namespace kobject_uevent
