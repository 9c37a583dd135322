#include "ipc.hpp"

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "device_registry.hpp"
#include "ipc/server.hpp"
#include "korvid/env.hpp"
#include "korvid/error_text.hpp"
#include "korvid/log.hpp"
#include "rule/engine.hpp"
#include "rules.hpp"
#include "runtime.hpp"
#include "trigger.hpp"

namespace korvid::ipc {
namespace {

using device::DeviceRegistry;

boost::asio::awaitable<MethodResult> trigger(Trigger request) {
  if (std::find(std::begin(VALID_ACTIONS), std::end(VALID_ACTIONS), request.action) == std::end(VALID_ACTIONS))
    co_return RpcError::BadRequest;
  std::vector<std::string> start_dirs;
  if (request.scope == "devices") {
    start_dirs.push_back((std::filesystem::path(sysfs_root()) / "devices").string());
  } else if (request.scope == "all") {
    start_dirs.push_back(sysfs_root());
  }
  for (auto& dir : start_dirs) co_await trigger::trigger_walk(std::move(dir), request.action);
  co_return nullptr;
}

int reload() {
  rules::load_rules();
  return 0;
}

boost::asio::awaitable<MethodResult> reload_rules() {
  // Reading rule files blocks; the pool keeps the worker free, and the reply
  // still waits until the new set is installed.
  co_await run_blocking(&reload);
  co_return nullptr;
}

boost::asio::awaitable<MethodResult> list_devices(ListDevices request) {
  // Literal patterns compile once per request rather than once per device.
  rule::precompile(request.condition);
  nlohmann::json paths = nlohmann::json::array();
  auto& registry = DeviceRegistry::instance();
  for (auto& key : registry.keys()) {
    const auto device = registry.lookup(key);
    if (!device) continue;
    const auto matched = rule::evaluate(request.condition, device->environment);
    if (matched && *matched) paths.push_back(std::move(key));
  }
  co_return paths;
}

boost::asio::awaitable<MethodResult> wait_for_idle() {
  auto& registry = DeviceRegistry::instance();
  for (bool waited = true; waited;) {
    waited = false;
    for (const auto& key : registry.keys()) {
      const auto device = registry.lookup(key);
      if (!device) continue;
      if (!device->lock.try_lock()) {
        waited = true;
        co_await device->lock.lock();
      }
      device->lock.unlock();
    }
  }
  co_return nullptr;
}

class MethodHandler final : public RequestHandler<Request> {
 public:
  boost::asio::awaitable<MethodResult> handle(Request request) override {
    return handle_request(std::move(request));
  }
};

void log_connection(const PeerCredentials& peer) {
  log::get(log::Target::ipc).debug("Established connection with {{ uid={}, gid={}, pid={} }}", peer.uid, peer.gid,
                                   peer.pid);
}

std::optional<Request> decode(std::span<const std::uint8_t> body) { return decode_request(body); }

}  // namespace

boost::asio::awaitable<MethodResult> handle_request(Request request) {
  if (auto* r = std::get_if<Trigger>(&request)) co_return co_await trigger(std::move(*r));
  if (std::holds_alternative<ReloadRules>(request)) co_return co_await reload_rules();
  if (auto* r = std::get_if<ListDevices>(&request)) co_return co_await list_devices(std::move(*r));
  co_return co_await wait_for_idle();
}

std::optional<std::string> start_ipc_server(const boost::asio::any_io_executor& executor) {
  auto listener = bind_server(executor);
  if (!listener) return fmt::format("Failed to start IPC server: {}", error_text(listener.error()));
  static MethodHandler* handler = new MethodHandler();  // serves until the process ends
  spawn_task(executor, run_accept_loop<Request>(std::move(*listener), &decode, *handler, &log_connection),
             "ipc server");
  return std::nullopt;
}

}  // namespace korvid::ipc
