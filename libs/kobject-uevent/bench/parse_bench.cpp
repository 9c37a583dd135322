#include <benchmark/benchmark.h>

#include "kobject_uevent/kobject_uevent.hpp"

namespace {

// A typical kernel message: header plus ten properties.
const std::string kMessage = std::string(
    "add@/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda\0"
    "ACTION=add\0"
    "DEVPATH=/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda\0"
    "SUBSYSTEM=block\0MAJOR=8\0MINOR=0\0DEVNAME=sda\0DEVTYPE=disk\0DISKSEQ=1\0"
    "SEQNUM=2841\0DEVMODE=0660\0",
    251);

void BM_Parse(benchmark::State& state) {
  for (auto _ : state) {
    auto uevent = kobject_uevent::KobjectUevent::parse(kMessage);
    benchmark::DoNotOptimize(uevent);
  }
}
BENCHMARK(BM_Parse);

}  // namespace

BENCHMARK_MAIN();
