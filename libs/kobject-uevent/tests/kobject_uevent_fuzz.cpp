// Feeds the parser and printer random and mutated datagrams: nothing may
// crash, and every printed record must be valid UTF-8.
#include <random>

#include <gtest/gtest.h>

#include "kobject_uevent/kobject_uevent.hpp"
#include "korvid/utf8.hpp"

namespace kobject_uevent {
namespace {

TEST(KobjectUeventFuzz, AnyBytesParse) {
  std::mt19937 rng(20261211);
  const std::string seed = std::string(
      "add@/devices/virtual/mem/null\0ACTION=add\0DEVPATH=/devices/virtual/mem/null\0SUBSYSTEM=mem\0"
      "MAJOR=1\0MINOR=3\0DEVNAME=null\0DEVMODE=0666\0SEQNUM=1234\0",
      116);
  for (int iteration = 0; iteration < 20000; ++iteration) {
    std::string data;
    if (iteration % 2 == 0) {
      data.resize(rng() % 512);
      for (char& c : data) c = static_cast<char>(rng() % 256);
    } else {
      data = seed.substr(0, rng() % (seed.size() + 1));
      for (int flips = rng() % 8; flips > 0 && !data.empty(); --flips)
        data[rng() % data.size()] = static_cast<char>(rng() % 256);
    }
    const KobjectUevent uevent = KobjectUevent::parse(data);
    const std::string printed = to_string(uevent);
    ASSERT_TRUE(korvid::is_valid_utf8(printed));
    (void)uevent.major();
    (void)uevent.devmode();
  }
}

}  // namespace
}  // namespace kobject_uevent
