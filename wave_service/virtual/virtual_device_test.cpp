// The virtual device's own behaviour: its clock, its capture source, what it
// plays and when, and the records tests read.
#include "wave_service/virtual/virtual_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

namespace ws = wave_service;
using std::chrono::microseconds;

namespace {

constexpr std::uint32_t kHeaderSize = sizeof(ws::BufferHeader);

class VirtualDeviceTest : public ::testing::Test {
 protected:
  VirtualDeviceTest() { device.Install(); }

  static ws::Handle Open(bool input, std::uint32_t rate) {
    const ws::WaveFormat format{ws::kFormatPcm, 1, rate, rate, 0, 8, 0};
    ws::Handle handle = 0;
    EXPECT_EQ((input ? ws::InputOpen : ws::OutputOpen)(&handle, ws::kAnyDevice, &format, 0, 0, 0),
              ws::kOk);
    return handle;
  }

  // A prepared header over `bytes`.
  static ws::BufferHeader Header(std::vector<std::uint8_t>& bytes) {
    return {bytes.data(), static_cast<std::uint32_t>(bytes.size()), 0, 0, ws::kPrepared, {}};
  }

  static ws::Handle Record(ws::BufferHeader& header, std::uint32_t rate) {
    const ws::Handle in = Open(true, rate);
    EXPECT_EQ(ws::InputAddBuffer(in, &header, kHeaderSize), ws::kOk);
    EXPECT_EQ(ws::InputStart(in), ws::kOk);
    return in;
  }

  static void Write(ws::Handle out, ws::BufferHeader& header) {
    EXPECT_EQ(ws::OutputWrite(out, &header, kHeaderSize), ws::kOk);
  }

  ws::VirtualDevice device;
};

TEST_F(VirtualDeviceTest, InputsCaptureWholeBytesOfRunningTimeWithoutDrift) {
  std::vector<std::uint8_t> store(20'100);
  ws::BufferHeader header = Header(store);
  header.buffer_length = 20'000;
  const ws::Handle in = Record(header, 11025);
  for (int i = 0; i < 3; ++i) device.Advance(microseconds(333'333));
  EXPECT_EQ(header.bytes_recorded, 11024u);  // floor(999,999 * 11025 / 1e6)
  device.Advance(microseconds(1));
  EXPECT_EQ(header.bytes_recorded, 11025u);

  // Time while stopped does not count; the byte numbering carries on.
  ws::InputStop(in);
  ws::BufferHeader more{store.data() + 20'000, 100, 0, 0, ws::kPrepared, {}};
  ws::InputAddBuffer(in, &more, kHeaderSize);
  device.Advance(std::chrono::seconds(5));
  ws::InputStart(in);
  device.AdvanceBytes(10, 11025);
  EXPECT_EQ(more.bytes_recorded, 10u);
  EXPECT_EQ(store[20'000], ws::VirtualDevice::NumberedByte(11025));
  EXPECT_EQ(device.FindInput(in)->captured, 11035u);
  EXPECT_EQ(device.Now(), microseconds(6'000'000 + 908));

  // Each input numbers its bytes from its own open, whatever the source.
  device.SetSource([](std::uint64_t n) { return static_cast<std::uint8_t>(100 + n); });
  std::vector<std::uint8_t> other(3);
  ws::BufferHeader other_header = Header(other);
  Record(other_header, 8000);
  device.AdvanceBytes(3);
  EXPECT_EQ(other, (std::vector<std::uint8_t>{100, 101, 102}));
  EXPECT_EQ(store[20'010], static_cast<std::uint8_t>(100 + 11035));  // the first input's own count
}

TEST_F(VirtualDeviceTest, OutputsPlayTheSnapshotAsTheyReadItOneAfterAnotherAtTheirOwnRate) {
  std::vector<std::uint8_t> store(300);
  for (std::size_t i = 0; i < store.size(); ++i) store[i] = static_cast<std::uint8_t>(i);
  ws::BufferHeader header = Header(store);
  header.buffer_length = 100;
  const ws::Handle slow = Open(false, 8000);
  const ws::Handle fast = Open(false, 16000);
  Write(slow, header);
  header.data = store.data() + 100;  // a second write on the slow output plays after the first
  Write(slow, header);
  header.data = store.data();
  Write(fast, header);  // on another output: once the slow one's last write has played
  header = {};          // cleared: the snapshots play on
  ws::OutputClose(slow);

  device.AdvanceBytes(50);
  store[40] = 0xAA;  // already played by the slow output
  store[90] = 0xBB;  // not yet
  device.AdvanceBytes(100);
  const ws::VirtualDevice::OutputRecord& played = *device.FindOutput(slow);
  ASSERT_EQ(played.writes.size(), 2u);
  EXPECT_EQ(played.writes[0].address, store.data());
  EXPECT_EQ(played.writes[0].length, 100u);
  EXPECT_TRUE(played.writes[0].finished);
  EXPECT_EQ(played.writes[0].played[40], 40);
  EXPECT_EQ(played.writes[0].played[90], 0xBB);
  EXPECT_EQ(played.writes[1].played.size(), 50u) << "no gap between writes";
  const ws::VirtualDevice::OutputRecord& quick = *device.FindOutput(fast);
  EXPECT_TRUE(quick.writes[0].played.empty()) << "it waits for the slow output";

  // Closed, the slow output plays to its end and only then lets go; the
  // fast one starts that moment.
  EXPECT_TRUE(played.closed);
  EXPECT_FALSE(played.released);
  EXPECT_EQ(device.HeldOutputs(), 2u);
  device.AdvanceBytes(50);
  EXPECT_TRUE(played.released);
  EXPECT_EQ(device.HeldOutputs(), 1u);
  EXPECT_EQ(quick.writes[0].started_us, played.writes[1].ended_us);
  device.AdvanceBytes(100, 16000);
  EXPECT_TRUE(quick.writes[0].finished);
  EXPECT_EQ(quick.writes[0].played[40], 0xAA) << "read as it played";

  // An idle output starts a new write when it comes, not at its open.
  ws::BufferHeader again = Header(store);
  device.Advance(std::chrono::seconds(1));
  Write(fast, again);
  device.AdvanceBytes(5, 16000);
  EXPECT_EQ(device.FindOutput(fast)->writes[1].played.size(), 5u);
}

TEST_F(VirtualDeviceTest, StreamsStayWithTheirDeviceAndGoWithIt) {
  std::vector<std::uint8_t> store(10);
  ws::BufferHeader header = Header(store);
  const ws::Handle on_first = Open(false, 8000);
  ws::Handle on_second = 0;
  {
    auto second = std::make_unique<ws::VirtualDevice>();
    second->Install();
    on_second = Open(true, 8000);
    Write(on_first, header);  // still goes to the device that opened it
    EXPECT_EQ(device.FindOutput(on_first)->writes.size(), 1u);
    EXPECT_NE(second->FindInput(on_second), nullptr);
  }
  // Gone with its device, which uninstalled itself: opens reach the default
  // device, which may have no sound card to open.
  auto open_on_default = [] {
    const ws::WaveFormat format{ws::kFormatPcm, 1, 8000, 8000, 0, 8, 0};
    ws::Handle handle = 0;
    ws::InputOpen(&handle, ws::kAnyDevice, &format, 0, 0, 0);
    return handle;
  };
  EXPECT_EQ(ws::InputClose(on_second), ws::kInvalidHandle);
  EXPECT_EQ(ws::Counts().inputs, 0u);
  EXPECT_EQ(device.FindInput(open_on_default()), nullptr);
  EXPECT_EQ(device.Inputs().size(), 0u);
  device.Install();
  ws::InstallDevice(nullptr, nullptr);
  EXPECT_EQ(device.FindInput(open_on_default()), nullptr);
  EXPECT_EQ(device.Inputs().size(), 0u);
}

}  // namespace
