// Test support for the library's own code: a fresh SoundState, as right after
// the library is loaded, on a virtual device whose clock the test drives.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "wave_service/device.h"
#include "wave_service/virtual/virtual_device.h"

namespace mirn::testing {

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&g_sound_state, 0, sizeof g_sound_state);  // as at load
    device.Install();
  }
  void TearDown() override {
    wave_service::SetJournal(nullptr);
    wave_service::ClearFaults();
  }

  // Records `bytes` bytes from the device's numbered source and stops.
  void Record(std::uint32_t bytes) {
    SoundRecordStart();
    device.AdvanceBytes(bytes);
    SoundRecordStop();
  }

  // The bytes of the store from `offset`, as a listener should hear them.
  static std::vector<std::uint8_t> Store(std::uint32_t offset, std::uint32_t length) {
    const std::uint8_t* begin = g_sound_state.SampleBuffer + offset;
    return {begin, begin + length};
  }

  SoundState& state = g_sound_state;
  wave_service::BufferHeader& header = g_sound_state.BufferHeader;
  wave_service::VirtualDevice device;
};

}  // namespace mirn::testing
