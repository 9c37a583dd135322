// The rule pass over one event with a distribution-sized rule set (about 200
// rules, nearly all of which do not apply to the event), once with the
// literal patterns compiled ahead and once compiling at every evaluation.

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include "rule/engine.hpp"

namespace {

using namespace rule;

TextValue L(std::string text) { return TextValue::literal(std::move(text)); }
TextValue T(std::string text) { return TextValue::templated(std::move(text)); }
When match(std::string key, std::string pattern) { return When{Match{L(std::move(key)), L(std::move(pattern)), nullptr}}; }
When part(std::string key, std::string pattern) { return When{PartMatch{L(std::move(key)), L(std::move(pattern)), nullptr}}; }
When all(std::vector<When> c) { return When{All{std::move(c)}}; }
When any(std::vector<When> c) { return When{Any{std::move(c)}}; }
Action set(std::string key, TextValue value) { return Action{action::Set{L(std::move(key)), std::move(value)}}; }
Action add(std::string key, TextValue value) { return Action{action::Add{L(std::move(key)), std::move(value)}}; }

// Rules in the shape of a distribution's permission and link rules: per
// subsystem a group and mode, name-pattern links, and a few path checks.
std::vector<Rule> distribution_rules() {
  const std::vector<std::pair<std::string, std::string>> subsystems = {
      {"tty", "tty[0-9]+"},        {"input", "input/event[0-9]+"}, {"sound", "snd/.*"},
      {"video4linux", "video[0-9]+"}, {"drm", "dri/card[0-9]+"},   {"usb", "bus/usb/[0-9]+/[0-9]+"},
      {"hidraw", "hidraw[0-9]+"},  {"misc", "(fuse|kvm|rfkill)"}, {"mem", "(null|zero|full|random|urandom)"},
      {"net", "tun"},              {"rtc", "rtc[0-9]+"},          {"watchdog", "watchdog[0-9]*"},
      {"i2c-dev", "i2c-[0-9]+"},   {"spidev", "spidev.*"},        {"gpio", "gpiochip[0-9]+"},
      {"mmc", "mmcblk[0-9]+"},     {"nvme", "nvme[0-9]+"},        {"scsi_generic", "sg[0-9]+"},
      {"bsg", "bsg/.*"},           {"vc", "vcs[a-z]*[0-9]*"},     {"ptp", "ptp[0-9]+"},
      {"tpm", "tpm[0-9]+"},        {"tpmrm", "tpmrm[0-9]+"},      {"infiniband", "infiniband/.*"},
      {"dvb", "dvb/adapter[0-9]+/.*"}, {"printer", "usb/lp[0-9]+"}, {"firmware", ".*"},
      {"ppdev", "parport[0-9]+"},  {"hid", ".*"},                {"power_supply", ".*"},
      {"thermal", ".*"},           {"leds", ".*"},                {"backlight", ".*"},
      {"pci", ".*"},               {"platform", ".*"},            {"acpi", ".*"},
      {"virtio", ".*"},            {"ieee80211", ".*"},           {"bluetooth", "hci[0-9]+"},
  };
  std::vector<Rule> rules;
  for (const auto& [subsystem, name] : subsystems) {
    rules.push_back(Rule{all({match("SUBSYSTEM", subsystem), match("DEVNAME", name)}),
                         {set("GROUP", L(subsystem)), set("MODE", L("0660"))}});
    rules.push_back(Rule{all({match("ACTION", "add"), match("SUBSYSTEM", subsystem), part("DEVPATH", "/" + subsystem + "/")}),
                         {add("SYMLINKS", T(subsystem + "/by-path/{DEVNAME}"))}});
    rules.push_back(Rule{part("DEVPATH", "/devices/virtual/" + subsystem + "/"), {set("VIRTUAL", L("1"))}});
    rules.push_back(Rule{any({match("DRIVER", subsystem + "_drv"), match("ID_BUS", subsystem)}),
                         {set("ID_CLASS", L(subsystem))}});
  }
  // Block devices: most of the set never applies to a tty, some apply here.
  const std::vector<std::string> disks = {"sd[a-z]+", "sd[a-z]+[0-9]+", "vd[a-z]+", "vd[a-z]+[0-9]+", "hd[a-z]+",
                                          "sr[0-9]+", "loop[0-9]+", "nbd[0-9]+", "md[0-9]+", "dm-[0-9]+",
                                          "zram[0-9]+", "ram[0-9]+", "nvme[0-9]+n[0-9]+", "mmcblk[0-9]+p[0-9]+"};
  for (const auto& disk : disks) {
    rules.push_back(Rule{all({match("SUBSYSTEM", "block"), match("DEVNAME", disk)}),
                         {set("GROUP", L("disk")), set("MODE", L("0660"))}});
    rules.push_back(Rule{all({match("SUBSYSTEM", "block"), match("DEVTYPE", "partition"), match("DEVNAME", disk)}),
                         {add("SYMLINKS", T("disk/by-name/{DEVNAME}"))}});
  }
  // Vendor quirks keyed on identifiers the event does not carry.
  for (const char* vendor : {"046d", "045e", "05ac", "0bda", "8087", "1d6b", "0781", "067b", "10c4", "1a86", "0403", "2341"})
    rules.push_back(Rule{all({match("ID_VENDOR_ID", vendor), part("ID_MODEL", "(?i)receiver|adapter")}),
                         {set("ID_QUIRK", L(std::string("vendor-") + vendor))}});
  rules.push_back(Rule{match("DEVNAME", "console"), {set("MODE", L("0600"))}});
  rules.push_back(Rule{part("DEVPATH", "/usb[0-9]+/"), {set("ID_USB", L("1"))}});
  rules.push_back(Rule{match("SUBSYSTEM", "tty"), {set("OWNER", L("root"))}});
  rules.push_back(Rule{match("DEVNAME", "tty[0-9]+"), {add("SYMLINKS", T("vt/{MINOR}"))}});
  return rules;
}

void fill_event(Environment& env) {
  env.set("ACTION", "add");
  env.set("DEVPATH", "/devices/virtual/tty/tty7");
  env.set("SUBSYSTEM", "tty");
  env.set("DEVNAME", "tty7");
  env.set("MAJOR", "4");
  env.set("MINOR", "7");
  env.set("SEQNUM", "3817");
  env.set("DEVMODE", "0620");
  env.set("DEVROOT", "/dev");
  env.set("DEVNODE", "/dev/tty7");
  env.set("SYNTH_UUID", "0");
  env.set("USEC_INITIALIZED", "1234567");
  env.set("TAGS", ":seat:");
  env.set("CURRENT_TAGS", ":seat:");
  env.set("ID_SEAT", "seat0");
}

void run_event_pass(benchmark::State& state, bool precompiled) {
  RuleSet set;
  set.files.push_back(RuleFile{"/usr/lib/korvid/rules.d/50-default.rules", distribution_rules()});
  if (precompiled)
    for (auto& file : set.files) precompile(file.rules);
  auto rules = std::make_shared<const RuleSet>(std::move(set));
  std::size_t rule_count = 0;
  for (const auto& file : rules->files) rule_count += file.rules.size();

  boost::asio::io_context io;
  for (auto _ : state) {
    Environment env;
    fill_event(env);
    boost::asio::co_spawn(io, run_rules(env, rules), boost::asio::detached);
    io.run();
    io.restart();
    benchmark::DoNotOptimize(env);
  }
  state.counters["rules"] = static_cast<double>(rule_count);
  state.SetItemsProcessed(state.iterations());
}

void BM_RunRulesPrecompiled(benchmark::State& state) { run_event_pass(state, true); }
void BM_RunRulesCompiledEachTime(benchmark::State& state) { run_event_pass(state, false); }

BENCHMARK(BM_RunRulesPrecompiled)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RunRulesCompiledEachTime)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
