// The private PipeWire server of the tests (see sound_test_server.h): its
// own configuration (no realtime, portal or device modules), a null sink, a
// pipe-tunnel source kept full, WirePlumber with no device monitors, the
// runtime folder in the test's folder and no D-Bus. ALSA's "default" goes
// through PipeWire's ALSA plugin, taken from a private copy of the
// pipewire-alsa package (scripts/install-deps.sh unpacks one) or from the
// system's when that is installed, and named in a private ALSA
// configuration; nothing of the machine's ALSA configuration applies. Sets
// PIPEWIRE_RUNTIME_DIR, PIPEWIRE_CONFIG_DIR, DBUS_SESSION_BUS_ADDRESS and
// ALSA_CONFIG_PATH for the process and its children.
#pragma once

#include <filesystem>

#include "tests/sound_test_server.h"

namespace mirn::test {

class PipeWireTestServer : public SoundTestServer {
 public:
  PipeWireTestServer() : PipeWireTestServer(Options()) {}
  explicit PipeWireTestServer(Options options);
  ~PipeWireTestServer() override;

  static std::string Missing();
  // PipeWire's ALSA PCM plugin; empty when there is none.
  static std::filesystem::path AlsaPlugin();

  void Stop() override;
  bool Restart() override;
  // PipeWire has no suspend of a node from outside that its clients notice.
  bool SuspendSource(bool) override { return false; }

 private:
  void WriteConfiguration(const std::filesystem::path& plugin);
  bool Launch();
  std::vector<std::string> ServerEnvironment() const;
  int CountClients() const override;

  pid_t server_pid_ = -1;
  pid_t manager_pid_ = -1;
  pid_t recorder_pid_ = -1;
};

}  // namespace mirn::test
