// Fault injection by countdown and the call journal, at the service's single
// dispatch point.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "wave_service/device.h"
#include "wave_service/virtual/virtual_device.h"
#include "wave_service/wave_service.h"

namespace ws = wave_service;
using ws::Operation;

namespace wave_service {
// Readable journal entries in failure messages.
void PrintTo(const JournalEntry& entry, std::ostream* out) {
  *out << OperationName(entry.op) << "(" << entry.handle << ") -> " << entry.result;
}
}  // namespace wave_service

namespace {

constexpr std::uint32_t kHeaderSize = sizeof(ws::BufferHeader);
const ws::WaveFormat kPcm8000{ws::kFormatPcm, 1, 8000, 8000, 0, 8, 0};

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() { device.Install(); }
  ~FaultTest() override {
    ws::ClearFaults();
    ws::SetJournal(nullptr);
  }

  ws::Result OpenOutput(ws::Handle& handle) {
    return ws::OutputOpen(&handle, ws::kAnyDevice, &kPcm8000, 0, 0, 0);
  }

  ws::VirtualDevice device;
  std::uint8_t store[100] = {};
  ws::BufferHeader header{store, sizeof store, 0, 0, 0, {}};
};

TEST_F(FaultTest, FaultsPassTheCountdownThenFailOnceOrForEverChangingNothing) {
  ws::InjectFault(Operation::kOutputOpen, ws::kAllocated, 2, false);
  ws::Handle handles[4] = {0, 0, 555, 0};
  EXPECT_EQ(OpenOutput(handles[0]), ws::kOk);
  EXPECT_EQ(OpenOutput(handles[1]), ws::kOk);
  EXPECT_EQ(OpenOutput(handles[2]), ws::kAllocated);
  EXPECT_EQ(handles[2], 555u);
  EXPECT_EQ(device.HeldOutputs(), 2u);
  EXPECT_EQ(OpenOutput(handles[3]), ws::kOk) << "a once fault fires once";

  ws::InjectFault(Operation::kOutputWrite, ws::kInvalidParam, 0, true);
  ws::OutputPrepareHeader(handles[0], &header, kHeaderSize);
  for (ws::Handle out : handles) {
    EXPECT_EQ(ws::OutputWrite(out, &header, kHeaderSize), ws::kInvalidParam);
  }
  EXPECT_EQ(header.flags, ws::kPrepared);
  EXPECT_TRUE(device.FindOutput(handles[0])->writes.empty());
  ws::ClearFaults();
  EXPECT_EQ(ws::OutputWrite(handles[0], &header, kHeaderSize), ws::kOk);
  EXPECT_EQ(header.flags, ws::kPrepared | ws::kInQueue);
}

TEST_F(FaultTest, TheJournalListsEveryCallInOrderWithItsHandleAndResult) {
  std::vector<ws::JournalEntry> journal;
  ws::SetJournal(&journal);
  ws::InjectFault(Operation::kInputStart, ws::kAllocated, 0, false);
  ws::Handle in = 0;
  ws::Handle out = 0;
  ws::InputOpen(&in, 0, &kPcm8000, 0, 0, ws::kFormatQuery);
  ws::InputOpen(&in, ws::kAnyDevice, &kPcm8000, 0, 0, 0);
  ws::InputPrepareHeader(in, &header, kHeaderSize);
  ws::InputAddBuffer(in, &header, kHeaderSize);
  ws::InputStart(in);
  ws::InputClose(in);
  ws::InputReset(in);
  ws::InputClose(in);
  OpenOutput(out);
  ws::OutputClose(out);
  ws::SetJournal(nullptr);
  ws::OutputClose(out);

  const std::vector<ws::JournalEntry> expected = {
      {Operation::kInputOpen, 0, ws::kOk},  // a query stores no handle
      {Operation::kInputOpen, in, ws::kOk},
      {Operation::kInputPrepareHeader, in, ws::kOk},
      {Operation::kInputAddBuffer, in, ws::kOk},
      {Operation::kInputStart, in, ws::kAllocated},
      {Operation::kInputClose, in, ws::kStillPlaying},
      {Operation::kInputReset, in, ws::kOk},
      {Operation::kInputClose, in, ws::kOk},
      {Operation::kOutputOpen, out, ws::kOk},
      {Operation::kOutputClose, out, ws::kOk},
  };
  EXPECT_EQ(journal, expected);
  EXPECT_NE(in, 0u);
  EXPECT_NE(out, 0u);
}

}  // namespace
