#include "ipc_request.hpp"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace korvid::ipc {

namespace {

using nlohmann::json;

// An order-preserving JSON tree. nlohmann's own DOM merges duplicate keys,
// but a second "method" must fail and key order decides nothing else, so the
// body is parsed into this instead.
struct Node {
  enum class Kind : std::uint8_t { Null, Boolean, Number, String, Array, Object };
  Kind kind = Kind::Null;
  std::string text;               // a String's decoded value
  std::vector<std::string> keys;  // an Object's keys, in order, duplicates kept
  std::vector<Node> children;     // Array elements, or Object values by key index
};

// SAX consumer building the Node tree; it refuses to open a level beyond
// kMaxRequestDepth, which ends the parse at once.
class TreeBuilder {
 public:
  bool null() { return add(Node::Kind::Null) != nullptr; }
  bool boolean(bool) { return add(Node::Kind::Boolean) != nullptr; }
  bool number_integer(json::number_integer_t) { return add(Node::Kind::Number) != nullptr; }
  bool number_unsigned(json::number_unsigned_t) { return add(Node::Kind::Number) != nullptr; }
  bool number_float(json::number_float_t, const json::string_t&) {
    return add(Node::Kind::Number) != nullptr;
  }
  bool string(json::string_t& value) {
    Node* node = add(Node::Kind::String);
    if (node == nullptr) return false;
    node->text = std::move(value);
    return true;
  }
  bool binary(json::binary_t&) { return false; }
  bool start_object(std::size_t) { return open(Node::Kind::Object); }
  bool key(json::string_t& key) {
    open_.back()->keys.push_back(std::move(key));
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Node::Kind::Array); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }

  std::optional<Node> take_root() {
    if (!has_root_ || !open_.empty()) return std::nullopt;
    return std::move(root_);
  }

 private:
  // Pointers on open_ stay valid: only the innermost open node gains
  // children, and every node above it is the last child of its parent.
  Node* add(Node::Kind kind) {
    if (open_.empty()) {
      if (has_root_) return nullptr;
      has_root_ = true;
      root_.kind = kind;
      return &root_;
    }
    open_.back()->children.push_back(Node{kind, {}, {}, {}});
    return &open_.back()->children.back();
  }
  bool open(Node::Kind kind) {
    if (open_.size() >= kMaxRequestDepth) return false;
    Node* node = add(kind);
    if (node == nullptr) return false;
    open_.push_back(node);
    return true;
  }
  bool close() {
    if (open_.empty()) return false;
    open_.pop_back();
    return true;
  }

  Node root_;
  bool has_root_ = false;
  std::vector<Node*> open_;
};

std::optional<Node> parse_tree(std::string_view text) {
  // The parser treats a NUL byte as the end of its input and would accept
  // whatever came before it.
  if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
  TreeBuilder builder;
  try {
    if (!json::sax_parse(text.begin(), text.end(), &builder, json::input_format_t::json,
                         /*strict=*/true, /*ignore_comments=*/false)) {
      return std::nullopt;
    }
  } catch (...) {
    return std::nullopt;
  }
  return builder.take_root();
}

enum class Method { Trigger, ReloadRules, ListDevices, WaitForIdle };

std::optional<Method> method_from_name(std::string_view name) {
  if (name == kTriggerMethod) return Method::Trigger;
  if (name == kReloadRulesMethod) return Method::ReloadRules;
  if (name == kListDevicesMethod) return Method::ListDevices;
  if (name == kWaitForIdleMethod) return Method::WaitForIdle;
  return std::nullopt;
}

// The object form also takes {"<method>": null} for the method.
std::optional<Method> decode_method(const Node& node, bool allow_object_form) {
  if (node.kind == Node::Kind::String) return method_from_name(node.text);
  if (allow_object_form && node.kind == Node::Kind::Object && node.keys.size() == 1 &&
      node.children[0].kind == Node::Kind::Null) {
    return method_from_name(node.keys[0]);
  }
  return std::nullopt;
}

std::optional<rule::TextValue> decode_operand(const Node& node) {
  if (node.kind == Node::Kind::String) return rule::TextValue::literal(node.text);
  if (node.kind == Node::Kind::Array && node.children.size() == 1 &&
      node.children[0].kind == Node::Kind::String) {
    return rule::TextValue::templated(node.children[0].text);
  }
  return std::nullopt;
}

std::optional<rule::When> decode_when(const Node& node);

std::optional<std::vector<rule::When>> decode_when_list(const Node& node) {
  if (node.kind != Node::Kind::Array) return std::nullopt;
  std::vector<rule::When> conditions;
  conditions.reserve(node.children.size());
  for (const Node& child : node.children) {
    auto condition = decode_when(child);
    if (!condition) return std::nullopt;
    conditions.push_back(std::move(*condition));
  }
  return conditions;
}

template <class Pattern>
std::optional<rule::When> decode_pattern(const Node& node) {
  if (node.kind != Node::Kind::Array || node.children.size() != 2) return std::nullopt;
  auto key = decode_operand(node.children[0]);
  auto pattern = decode_operand(node.children[1]);
  if (!key || !pattern) return std::nullopt;
  return rule::When{Pattern{std::move(*key), std::move(*pattern), nullptr}};
}

// Recursion is bounded: the tree is at most kMaxRequestDepth levels deep.
std::optional<rule::When> decode_when(const Node& node) {
  if (node.kind == Node::Kind::String) {
    if (node.text == "True") return rule::When{rule::True{}};
    if (node.text == "False") return rule::When{rule::False{}};
    return std::nullopt;
  }
  if (node.kind != Node::Kind::Object || node.keys.size() != 1) return std::nullopt;
  const std::string& variant = node.keys[0];
  const Node& payload = node.children[0];
  if (variant == "All" || variant == "Any") {
    auto conditions = decode_when_list(payload);
    if (!conditions) return std::nullopt;
    if (variant == "All") return rule::When{rule::All{std::move(*conditions)}};
    return rule::When{rule::Any{std::move(*conditions)}};
  }
  if (variant == "Not") {
    auto inner = decode_when(payload);
    if (!inner) return std::nullopt;
    return rule::When{rule::Not{std::make_shared<const rule::When>(std::move(*inner))}};
  }
  if (variant == "True" || variant == "False") {
    if (payload.kind != Node::Kind::Null) return std::nullopt;
    if (variant == "True") return rule::When{rule::True{}};
    return rule::When{rule::False{}};
  }
  if (variant == "Match") return decode_pattern<rule::Match>(payload);
  if (variant == "PartMatch") return decode_pattern<rule::PartMatch>(payload);
  return std::nullopt;
}

// `params` is null when the body has no "params".
std::optional<Request> decode_payload(Method method, const Node* params) {
  switch (method) {
    case Method::Trigger: {
      if (params == nullptr || params->kind != Node::Kind::Array || params->children.size() != 2)
        return std::nullopt;
      const Node& scope = params->children[0];
      const Node& action = params->children[1];
      if (scope.kind != Node::Kind::String || action.kind != Node::Kind::String) return std::nullopt;
      return Trigger{scope.text, action.text};
    }
    case Method::ReloadRules:
    case Method::WaitForIdle:
      if (params != nullptr && params->kind != Node::Kind::Null) return std::nullopt;
      if (method == Method::ReloadRules) return ReloadRules{};
      return WaitForIdle{};
    case Method::ListDevices: {
      if (params == nullptr) return std::nullopt;
      auto condition = decode_when(*params);
      if (!condition) return std::nullopt;
      return ListDevices{std::move(*condition)};
    }
  }
  return std::nullopt;
}

std::optional<Request> decode_tree(const Node& root) {
  if (root.kind == Node::Kind::Array) {
    if (root.children.size() != 2) return std::nullopt;
    auto method = decode_method(root.children[0], /*allow_object_form=*/false);
    if (!method) return std::nullopt;
    return decode_payload(*method, &root.children[1]);
  }
  if (root.kind != Node::Kind::Object) return std::nullopt;
  // The whole body is already parsed, so "params" before "method" needs no
  // special holding: both are looked up first, then decoded in one order.
  const Node* method_node = nullptr;
  const Node* params = nullptr;
  for (std::size_t i = 0; i < root.keys.size(); ++i) {
    const Node** slot = root.keys[i] == "method"   ? &method_node
                        : root.keys[i] == "params" ? &params
                                                   : nullptr;
    if (slot == nullptr) continue;
    if (*slot != nullptr) return std::nullopt;
    *slot = &root.children[i];
  }
  if (method_node == nullptr) return std::nullopt;
  auto method = decode_method(*method_node, /*allow_object_form=*/true);
  if (!method) return std::nullopt;
  return decode_payload(*method, params);
}

json operand_to_json(const rule::TextValue& value) {
  if (value.kind == rule::TextValue::Kind::Template) return json::array({value.text});
  return value.text;
}

template <class Pattern>
json pattern_to_json(const char* name, const Pattern& pattern) {
  return json::object({{name, json::array({operand_to_json(pattern.key), operand_to_json(pattern.pattern)})}});
}

std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string_view method_name(const Request& request) {
  switch (request.index()) {
    case 0: return kTriggerMethod;
    case 1: return kReloadRulesMethod;
    case 2: return kListDevicesMethod;
    default: return kWaitForIdleMethod;
  }
}

std::optional<Request> decode_request(std::span<const std::uint8_t> body) {
  return decode_request(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
}

std::optional<Request> decode_request(std::string_view body) {
  auto tree = parse_tree(body);
  if (!tree) return std::nullopt;
  return decode_tree(*tree);
}

json condition_to_json(const rule::When& condition) {
  struct Visitor {
    json operator()(const rule::All& all) const { return list("All", all.conditions); }
    json operator()(const rule::Any& any) const { return list("Any", any.conditions); }
    json operator()(const rule::Not& negation) const {
      // A Not without its condition cannot be read back; null keeps it so.
      return json::object({{"Not", negation.condition ? condition_to_json(*negation.condition) : json()}});
    }
    json operator()(const rule::True&) const { return "True"; }
    json operator()(const rule::False&) const { return "False"; }
    json operator()(const rule::Match& match) const { return pattern_to_json("Match", match); }
    json operator()(const rule::PartMatch& match) const { return pattern_to_json("PartMatch", match); }

    static json list(const char* name, const std::vector<rule::When>& conditions) {
      json items = json::array();
      for (const rule::When& c : conditions) items.push_back(condition_to_json(c));
      return json::object({{name, std::move(items)}});
    }
  };
  return std::visit(Visitor{}, condition.value);
}

std::string encode_condition(const rule::When& condition) { return dump(condition_to_json(condition)); }

std::optional<rule::When> decode_condition(std::string_view text) {
  auto tree = parse_tree(text);
  if (!tree) return std::nullopt;
  return decode_when(*tree);
}

std::string encode_request(const Request& request) {
  json body = json::object();
  body["method"] = std::string(method_name(request));
  if (const auto* trigger = std::get_if<Trigger>(&request)) {
    body["params"] = json::array({trigger->scope, trigger->action});
  } else if (const auto* list = std::get_if<ListDevices>(&request)) {
    body["params"] = condition_to_json(list->condition);
  }
  return dump(body);
}

}  // namespace korvid::ipc
