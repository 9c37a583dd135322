#include "korvid/utf8.hpp"

#include <cstdint>

namespace korvid {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when invalid. When the
// sequence is invalid, *bad is set to how many bytes form the maximal invalid
// prefix that a lossy decoder replaces with one U+FFFD.
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t* bad) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t b0 = byte(i);
  *bad = 1;
  if (b0 < 0x80) return 1;
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= s.size()) return 0;
    const std::uint8_t b = byte(i + k);
    const std::uint8_t l = (k == 1) ? lo : 0x80;
    const std::uint8_t h = (k == 1) ? hi : 0xBF;
    if (b < l || b > h) return 0;
    *bad = k + 1;
  }
  return need;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad;
    const std::size_t n = sequence_length(bytes, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      out.push_back(bytes[i++]);
      continue;
    }
    std::size_t bad;
    const std::size_t n = sequence_length(bytes, i, &bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace korvid
