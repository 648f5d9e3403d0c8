// The private PulseAudio server of the tests (see sound_test_server.h): a
// null sink recorded with parec, a pipe source fed at its rate, a socket in
// the folder, anonymous auth. Sets PULSE_SERVER, PULSE_CLIENTCONFIG (no
// autospawn), PULSE_COOKIE and ALSA_CONFIG_PATH ("default" PCM and control
// on the server; nothing of the machine's ALSA configuration applies).
#pragma once

#include "tests/sound_test_server.h"

namespace mirn::test {

class PulseTestServer : public SoundTestServer {
 public:
  PulseTestServer() : PulseTestServer(Options()) {}
  explicit PulseTestServer(Options options);
  ~PulseTestServer() override;

  static std::string Missing();
  // What PULSE_SERVER is set to: "unix:" and the socket's path.
  std::string server() const;

  void Stop() override;
  bool Restart() override;
  bool SuspendSource(bool suspended) override;

 private:
  bool Launch();
  int CountClients() const override;

  pid_t server_pid_ = -1;
  pid_t recorder_pid_ = -1;
};

}  // namespace mirn::test
