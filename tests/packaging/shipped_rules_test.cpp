// The rule files korvid ships: each one reads, and together they give the
// device classes of a Debian-like system the expected group, mode and links,
// whatever order the rule directory lists them in.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <re2/re2.h>
#include <spdlog/sinks/ostream_sink.h>

#include "korvid/log.hpp"
#include "rule/engine.hpp"
#include "rule/loading.hpp"

namespace {

namespace fs = std::filesystem;
using Properties = std::map<std::string, std::string>;

std::vector<fs::path> shipped_files() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(KORVID_SHIPPED_RULES_DIR)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// A NUL-terminated SYMLINKS value, as the engine's Add builds it.
std::string link_list(const std::vector<std::string>& links) {
  std::string value;
  for (const auto& link : links) value += link + '\0';
  return value;
}

class ShippedRules : public ::testing::Test {
 protected:
  void SetUp() override {
    korvid::log::install_for_tests(std::make_shared<spdlog::sinks::ostream_sink_mt>(log_), "warn");
    for (const auto& path : shipped_files()) {
      auto file = rule::read_rule_file(path);
      ASSERT_TRUE(file.has_value()) << path.native() << ": " << file.error().text();
      files_.push_back(std::move(*file));
    }
    ASSERT_FALSE(files_.empty());
  }

  std::shared_ptr<const rule::RuleSet> rule_set(bool reversed) const {
    auto set = std::make_shared<rule::RuleSet>();
    set->files = files_;
    if (reversed) std::reverse(set->files.begin(), set->files.end());
    return set;
  }

  static void run(rule::Environment& env, std::shared_ptr<const rule::RuleSet> set) {
    boost::asio::io_context io;
    auto done = boost::asio::co_spawn(io, rule::run_rules(env, std::move(set)), boost::asio::use_future);
    io.run();
    done.get();
  }

  // A new device as the pipeline builds it: DEVROOT, the event, DEVNODE.
  static void import(rule::Environment& env, const Properties& event) {
    for (const auto& [key, value] : event) env.set(key, value);
    if (auto name = env.get("DEVNAME")) env.set("DEVNODE", "/dev/" + *name);
  }

  std::string log_text() const { return log_.str(); }

  std::vector<rule::RuleFile> files_;
  std::ostringstream log_;
};

TEST_F(ShippedRules, EveryFileHasRulesAndWritesModesAndLinksInTheirDaemonForm) {
  const RE2 mode("0o[0-7]{3,4}");
  for (const auto& file : files_) {
    SCOPED_TRACE(file.path.native());
    EXPECT_FALSE(file.rules.empty());
    for (const auto& rule : file.rules) {
      for (const auto& action : rule.actions) {
        if (const auto* set = std::get_if<rule::action::Set>(&action.value); set && set->key.text == "MODE") {
          EXPECT_TRUE(RE2::FullMatch(set->value.text, mode)) << set->value.text;
        }
        if (const auto* add = std::get_if<rule::action::Add>(&action.value); add && add->key.text == "SYMLINKS") {
          // Relative entries would land in the daemon's working directory.
          EXPECT_EQ(add->value.kind, rule::TextValue::Kind::Template) << add->value.text;
          EXPECT_TRUE(add->value.text.starts_with("{DEVROOT}/")) << add->value.text;
        }
      }
    }
  }
}

struct DeviceCase {
  const char* name;
  Properties event;
  std::optional<std::string> group;
  std::optional<std::string> mode;
  std::vector<std::string> links;
};

void PrintTo(const DeviceCase& device, std::ostream* os) { *os << device.name; }

Properties add_event(Properties properties) {
  properties.emplace("ACTION", "add");
  properties.emplace("DEVROOT", "/dev");
  return properties;
}

const std::vector<DeviceCase>& device_cases() {
  static const std::vector<DeviceCase> cases = {
      {"controlling_terminal", add_event({{"SUBSYSTEM", "tty"}, {"DEVNAME", "tty"}}), "tty", "0o666", {}},
      {"ptmx", add_event({{"SUBSYSTEM", "tty"}, {"DEVNAME", "ptmx"}}), "tty", "0o666", {}},
      {"console", add_event({{"SUBSYSTEM", "tty"}, {"DEVNAME", "console"}}), std::nullopt, "0o600", {}},
      {"virtual_console", add_event({{"SUBSYSTEM", "tty"}, {"DEVNAME", "tty1"}}), "tty", "0o620", {}},
      {"console_memory", add_event({{"SUBSYSTEM", "vc"}, {"DEVNAME", "vcsa1"}}), "tty", "0o660", {}},
      {"serial_port", add_event({{"SUBSYSTEM", "tty"}, {"DEVNAME", "ttyS0"}}), "dialout", "0o660", {}},
      {"usb_serial", add_event({{"SUBSYSTEM", "tty"}, {"DEVNAME", "ttyUSB3"}}), "dialout", "0o660", {}},
      {"usb_modem", add_event({{"SUBSYSTEM", "tty"}, {"DEVNAME", "ttyACM0"}}), "dialout", "0o660", {}},
      // Names that only start like a known node get nothing.
      {"serial_lookalike", add_event({{"SUBSYSTEM", "tty"}, {"DEVNAME", "ttyS0x"}}), std::nullopt, std::nullopt, {}},
      {"pty_slave_name", add_event({{"SUBSYSTEM", "tty"}, {"DEVNAME", "ttyp0"}}), std::nullopt, std::nullopt, {}},
      {"disk_with_diskseq",
       add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "disk"}, {"DEVNAME", "sda"}, {"DISKSEQ", "9"}}),
       "disk", "0o660", {"/dev/disk/by-diskseq/9"}},
      {"disk_without_diskseq", add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "disk"}, {"DEVNAME", "sdb"}}),
       "disk", "0o660", {}},
      {"partition_with_label",
       add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "partition"}, {"DEVNAME", "sda1"}, {"PARTN", "1"},
                  {"PARTNAME", "EFI system"}}),
       "disk", "0o660", {"/dev/disk/by-partlabel/EFI system"}},
      {"partition_label_with_slash",
       add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "partition"}, {"DEVNAME", "sda2"}, {"PARTNAME", "../../etc"}}),
       "disk", "0o660", {}},
      {"partition_label_dot_dot",
       add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "partition"}, {"DEVNAME", "sda3"}, {"PARTNAME", ".."}}),
       "disk", "0o660", {}},
      {"partition_label_dots_and_more",
       add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "partition"}, {"DEVNAME", "sda4"}, {"PARTNAME", "..data"}}),
       "disk", "0o660", {"/dev/disk/by-partlabel/..data"}},
      {"partition_without_label", add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "partition"}, {"DEVNAME", "sda5"}}),
       "disk", "0o660", {}},
      {"loop_device",
       add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "disk"}, {"DEVNAME", "loop0"}, {"DISKSEQ", "1"}}),
       "disk", "0o660", {"/dev/disk/by-diskseq/1"}},
      {"loop_control", add_event({{"SUBSYSTEM", "misc"}, {"DEVNAME", "loop-control"}}), "disk", "0o660", {}},
      {"optical_drive",
       add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "disk"}, {"DEVNAME", "sr0"}, {"DISKSEQ", "12"}}),
       "cdrom", "0o660", {"/dev/disk/by-diskseq/12", "/dev/cdrom"}},
      {"second_optical_drive", add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "disk"}, {"DEVNAME", "sr1"}}),
       "cdrom", "0o660", {}},
      {"scsi_generic", add_event({{"SUBSYSTEM", "scsi_generic"}, {"DEVNAME", "sg0"}}), "disk", "0o660", {}},
      {"input_event", add_event({{"SUBSYSTEM", "input"}, {"DEVNAME", "input/event0"}}), "input", "0o660", {}},
      {"input_parent_without_node", add_event({{"SUBSYSTEM", "input"}}), std::nullopt, std::nullopt, {}},
      {"sound_control", add_event({{"SUBSYSTEM", "sound"}, {"DEVNAME", "snd/controlC0"}}), "audio", "0o660", {}},
      {"sound_timer", add_event({{"SUBSYSTEM", "sound"}, {"DEVNAME", "snd/timer"}}), "audio", "0o660", {}},
      {"camera", add_event({{"SUBSYSTEM", "video4linux"}, {"DEVNAME", "video0"}}), "video", "0o660", {}},
      {"graphics_card", add_event({{"SUBSYSTEM", "drm"}, {"DEVNAME", "dri/card0"}}), "video", "0o660", {}},
      {"render_node", add_event({{"SUBSYSTEM", "drm"}, {"DEVNAME", "dri/renderD128"}}), "render", "0o666", {}},
      {"frame_buffer", add_event({{"SUBSYSTEM", "graphics"}, {"DEVNAME", "fb0"}}), "video", "0o660", {}},
      {"null", add_event({{"SUBSYSTEM", "mem"}, {"DEVNAME", "null"}}), std::nullopt, "0o666", {}},
      {"zero", add_event({{"SUBSYSTEM", "mem"}, {"DEVNAME", "zero"}}), std::nullopt, "0o666", {}},
      {"full", add_event({{"SUBSYSTEM", "mem"}, {"DEVNAME", "full"}}), std::nullopt, "0o666", {}},
      {"random", add_event({{"SUBSYSTEM", "mem"}, {"DEVNAME", "random"}}), std::nullopt, "0o666", {}},
      {"urandom", add_event({{"SUBSYSTEM", "mem"}, {"DEVNAME", "urandom"}}), std::nullopt, "0o666", {}},
      // A top-level alternation without a group would anchor only its ends.
      {"null_lookalike", add_event({{"SUBSYSTEM", "mem"}, {"DEVNAME", "nullx"}}), std::nullopt, std::nullopt, {}},
      {"physical_memory", add_event({{"SUBSYSTEM", "mem"}, {"DEVNAME", "mem"}}), "kmem", "0o640", {}},
      {"kernel_log", add_event({{"SUBSYSTEM", "mem"}, {"DEVNAME", "kmsg"}}), std::nullopt, "0o644", {}},
      {"kvm", add_event({{"SUBSYSTEM", "misc"}, {"DEVNAME", "kvm"}}), "kvm", "0o660", {}},
      {"vhost_net", add_event({{"SUBSYSTEM", "misc"}, {"DEVNAME", "vhost-net"}}), "kvm", "0o660", {}},
      {"fuse", add_event({{"SUBSYSTEM", "misc"}, {"DEVNAME", "fuse"}}), std::nullopt, "0o666", {}},
      {"tun", add_event({{"SUBSYSTEM", "misc"}, {"DEVNAME", "net/tun"}}), std::nullopt, "0o666", {}},
      {"rtc", add_event({{"SUBSYSTEM", "rtc"}, {"DEVNAME", "rtc0"}}), std::nullopt, std::nullopt, {"/dev/rtc"}},
      {"second_rtc", add_event({{"SUBSYSTEM", "rtc"}, {"DEVNAME", "rtc1"}}), std::nullopt, std::nullopt, {}},
      {"unknown_class", add_event({{"SUBSYSTEM", "hidraw"}, {"DEVNAME", "hidraw0"}}), std::nullopt, std::nullopt, {}},
  };
  return cases;
}

class ShippedRulesPerDevice : public ShippedRules, public ::testing::WithParamInterface<DeviceCase> {};

// Files of one directory come in listing order, which is not sorted: the
// outcome must not depend on it.
TEST_P(ShippedRulesPerDevice, GiveGroupModeAndLinksInEitherFileOrder) {
  const auto& device = GetParam();
  for (bool reversed : {false, true}) {
    SCOPED_TRACE(reversed ? "files in reverse order" : "files in name order");
    rule::Environment env;
    import(env, device.event);
    run(env, rule_set(reversed));
    EXPECT_EQ(env.get("GROUP"), device.group);
    EXPECT_EQ(env.get("MODE"), device.mode);
    EXPECT_EQ(env.get("OWNER"), std::nullopt);
    if (device.links.empty()) {
      EXPECT_EQ(env.get("SYMLINKS"), std::nullopt);
    } else {
      EXPECT_EQ(env.get("SYMLINKS"), link_list(device.links));
    }
  }
  EXPECT_EQ(log_text(), "");
}

// The stored environment of a registered device goes through the rules again
// on "change" and "remove": links must not be appended a second time, or the
// remove would unlink each one twice.
TEST_P(ShippedRulesPerDevice, LaterEventsKeepTheLinkListOfTheAdd) {
  const auto& device = GetParam();
  rule::Environment env;
  import(env, device.event);
  run(env, rule_set(false));
  const auto links_after_add = env.get("SYMLINKS");
  for (const char* action : {"change", "remove"}) {
    SCOPED_TRACE(action);
    import(env, {{"ACTION", action}});
    run(env, rule_set(false));
    EXPECT_EQ(env.get("SYMLINKS"), links_after_add);
    EXPECT_EQ(env.get("GROUP"), device.group);
    EXPECT_EQ(env.get("MODE"), device.mode);
  }
  EXPECT_EQ(log_text(), "");
}

INSTANTIATE_TEST_SUITE_P(DeviceClasses, ShippedRulesPerDevice, ::testing::ValuesIn(device_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Links follow the device root the daemon runs with.
TEST_F(ShippedRules, LinksAreBuiltFromTheDeviceRoot) {
  rule::Environment env;
  auto event = add_event({{"SUBSYSTEM", "block"}, {"DEVTYPE", "disk"}, {"DEVNAME", "sr0"}, {"DISKSEQ", "4"}});
  event["DEVROOT"] = "/tmp/devroot";
  import(env, event);
  run(env, rule_set(false));
  EXPECT_EQ(env.get("SYMLINKS"), link_list({"/tmp/devroot/disk/by-diskseq/4", "/tmp/devroot/cdrom"}));
}

}  // namespace
