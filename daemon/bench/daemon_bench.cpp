// Daemon-level figures: one "add" through an empty rule set, resident memory
// per registered device, ListDevices over 10,000 devices, and WaitForIdle
// round trips over a real socket.
#include <unistd.h>

#include <fstream>
#include <thread>

#include <benchmark/benchmark.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include "device.hpp"
#include "ipc.hpp"
#include "ipc/server.hpp"
#include "ipc_request.hpp"
#include "test_client.hpp"

namespace {

namespace asio = boost::asio;
using kobject_uevent::KobjectUevent;
using korvid::device::DeviceRegistry;

long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

KobjectUevent::Properties typical_properties(int i) {
  const std::string n = std::to_string(i);
  return {{"ACTION", "add"},
          {"DEVPATH", "/devices/pci0000:00/0000:00:1d.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sd" + n},
          {"SUBSYSTEM", "block"}, {"DEVNAME", "sd" + n}, {"DEVTYPE", "disk"}, {"MAJOR", "8"},
          {"MINOR", n}, {"SEQNUM", std::to_string(4000 + i)}, {"DISKSEQ", n}, {"DEVMODE", "0660"},
          {"ID_BUS", "usb"}, {"ID_MODEL", "Flash_Disk"}, {"ID_SERIAL", "Generic_Flash_Disk_" + n},
          {"ID_TYPE", "disk"}, {"USEC_INITIALIZED", "123456789"}};
}

void clear_registry() {
  for (const auto& key : DeviceRegistry::instance().keys()) DeviceRegistry::instance().remove(key);
}

void run(asio::io_context& io, asio::awaitable<void> task) {
  auto done = asio::co_spawn(io, std::move(task), asio::use_future);
  io.restart();
  io.run();
  done.get();
}

// One "add" through an empty rule set, node attributes and registration.
void BM_AddEvent(benchmark::State& state) {
  const std::string root = "/tmp/korvid-bench-" + std::to_string(::getpid());
  std::filesystem::create_directories(root);
  std::ofstream(root + "/sd1") << "";
  ::setenv("KORVID_DEV_ROOT", root.c_str(), 1);
  asio::io_context io;
  auto properties = typical_properties(1);
  for (auto _ : state) run(io, korvid::device::handle_add(KobjectUevent(properties)));
  clear_registry();
  std::filesystem::remove_all(root);
  ::unsetenv("KORVID_DEV_ROOT");
}
BENCHMARK(BM_AddEvent)->Unit(benchmark::kMicrosecond);

// Registers 10,000 devices the way "add" does and reports bytes per device.
void BM_RegistryMemory(benchmark::State& state) {
  constexpr int kDevices = 10000;
  for (auto _ : state) {
    clear_registry();
    const long before = resident_bytes();
    for (int i = 0; i < kDevices; ++i) {
      auto device = korvid::device::new_device_environment();
      korvid::device::import_event(device->environment, KobjectUevent(typical_properties(i)));
      std::string key = *device->environment.get("DEVPATH");
      DeviceRegistry::instance().insert(std::move(key), std::move(device));
    }
    state.counters["bytes_per_device"] = static_cast<double>(resident_bytes() - before) / kDevices;
  }
}
BENCHMARK(BM_RegistryMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void fill_registry(int count) {
  if (static_cast<int>(DeviceRegistry::instance().size()) == count) return;
  clear_registry();
  for (int i = 0; i < count; ++i) {
    auto device = korvid::device::new_device_environment();
    korvid::device::import_event(device->environment, KobjectUevent(typical_properties(i)));
    std::string key = *device->environment.get("DEVPATH");
    DeviceRegistry::instance().insert(std::move(key), std::move(device));
  }
}

asio::awaitable<std::size_t> count_listed(rule::When condition) {
  korvid::ipc::Request request = korvid::ipc::ListDevices{std::move(condition)};
  const auto result = co_await korvid::ipc::handle_request(std::move(request));
  co_return result.value().size();
}

void list_devices(benchmark::State& state, const std::string& condition_json) {
  fill_registry(10000);
  asio::io_context io;
  const auto condition = korvid::ipc::decode_condition(condition_json);
  std::size_t matched = 0;
  for (auto _ : state) {
    auto done = asio::co_spawn(io, count_listed(*condition), asio::use_future);
    io.restart();
    io.run();
    matched = done.get();
  }
  state.counters["matched"] = static_cast<double>(matched);
}
void BM_ListDevicesTrue(benchmark::State& state) { list_devices(state, R"("True")"); }
void BM_ListDevicesLiteralMatch(benchmark::State& state) {
  list_devices(state, R"({"Match":["DEVNAME","sd1[0-9]+"]})");
}
BENCHMARK(BM_ListDevicesTrue)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListDevicesLiteralMatch)->Unit(benchmark::kMillisecond);

// WaitForIdle round trips on one connection to a real server socket.
void BM_WaitForIdleRoundTrip(benchmark::State& state) {
  fill_registry(100);
  asio::io_context io;
  const std::string name = "korvid-bench/" + std::to_string(::getpid());
  auto listener = korvid::ipc::bind_server(io.get_executor(), name);
  if (!listener) {
    state.SkipWithError("bind failed");
    return;
  }
  struct Handler : korvid::ipc::RequestHandler<korvid::ipc::Request> {
    asio::awaitable<korvid::ipc::MethodResult> handle(korvid::ipc::Request r) override {
      return korvid::ipc::handle_request(std::move(r));
    }
  } handler;
  korvid::ipc::RequestDecoder<korvid::ipc::Request> decode = [](std::span<const std::uint8_t> body) {
    return korvid::ipc::decode_request(body);
  };
  asio::co_spawn(io, korvid::ipc::run_accept_loop<korvid::ipc::Request>(std::move(*listener), decode, handler, {}),
                 asio::detached);
  std::thread server([&] { io.run(); });

  korvid::ipc::testing::Client client(name);
  const std::string body = R"({"method":"/quennetos/Korvid/WaitForIdle@KORVID_0.1.0"})";
  for (auto _ : state) {
    if (client.call(body) != "null") {
      state.SkipWithError("unexpected reply");
      break;
    }
  }
  state.counters["round_trips_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  client.close();
  io.stop();
  server.join();
}
BENCHMARK(BM_WaitForIdleRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
