#pragma once
// A hash map keyed by text whose lookups take a string_view, so finding a
// property or a device never copies the key.

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvid {

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

template <typename Value>
using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

}  // namespace korvid
