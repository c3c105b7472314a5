#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "audio/AudioTestSupport.hpp"
#include "monitoring/DeviceListing.hpp"
#include "platform/sim/SimPlatform.hpp"
#include "runtime/ManualExecutor.hpp"

namespace qb::testing {
namespace {

class DeviceListingTest : public ::testing::Test {
 protected:
  ManualExecutor ex;
  OutputRecorder output;
  SimPlatform sim{ex};
};

TEST_F(DeviceListingTest, ListsEveryInputInOrderWithNamesEscaped) {
  sim.audio().addMicrophone("mic-a", R"(Studio "Pro" \ Mic)");
  sim.audio().addOutputDevice("speakers", "Speakers");
  sim.audio().addMicrophone("mic-b", "Twin");
  sim.audio().addMicrophone("mic-c", "Twin");
  sim.audio().setDefaultDevice("mic-a");
  listDevices(sim.audio());
  getCurrentMicDevice(sim.audio());
  auto lines = output.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], R"(CMD_RESPONSE:CURRENT_MIC:Studio "Pro" \ Mic)");  // raw, unescaped
  const std::string prefix = "CMD_RESPONSE:DEVICES_LIST:";
  ASSERT_EQ(lines[0].rfind(prefix, 0), 0u);
  auto payload = lines[0].substr(prefix.size());
  EXPECT_NE(payload.find(R"(Studio \"Pro\" \\ Mic)"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(payload), nlohmann::json::parse(R"([
      {"id":"mic-a","name":"Studio \"Pro\" \\ Mic","type":"input"},
      {"id":"mic-b","name":"Twin","type":"input"},
      {"id":"mic-c","name":"Twin","type":"input"}])"));
  EXPECT_EQ(nlohmann::json::parse(payload).dump(), payload);  // compact
}

TEST_F(DeviceListingTest, EmptyListUnencodableNamesAndNoDefault) {
  listDevices(sim.audio());
  getCurrentMicDevice(sim.audio());
  sim.audio().addMicrophone("broken", "Mic \xc3");
  listDevices(sim.audio());
  auto lines = output.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "CMD_RESPONSE:DEVICES_LIST:[]");
  EXPECT_EQ(lines[1], "CMD_RESPONSE:CURRENT_MIC:No default microphone found");
  EXPECT_EQ(lines[2].rfind("ERROR: Failed to encode device list: ", 0), 0u);
}

}  // namespace
}  // namespace qb::testing
