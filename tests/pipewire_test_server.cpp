// Starts, restarts and stops the private PipeWire server of the tests.
#include "tests/pipewire_test_server.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "tests/child_processes.h"

#ifndef MIRN_PIPEWIRE_ALSA_DIR
#define MIRN_PIPEWIRE_ALSA_DIR ""
#endif

namespace mirn::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// How long the server and WirePlumber may take to come up.
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr const char* kPluginName = "libasound_module_pcm_pipewire.so";
// The sink's recorder: a capture of the sink itself, not of a source.
constexpr const char* kSinkMonitor = "mirn_sink_monitor";

// The plugin under `root`, whatever the architecture's folder is called.
fs::path PluginUnder(const fs::path& root) {
  std::error_code error;
  if (root.empty() || !fs::is_directory(root, error)) return {};
  for (auto it = fs::recursive_directory_iterator(root, error); it != fs::end(it);
       it.increment(error)) {
    if (it->path().filename() == kPluginName) return it->path();
  }
  return {};
}

// Modules every PipeWire process here loads: the protocol, and what streams
// and the session manager need. No realtime, D-Bus or portal module.
constexpr const char* kCommonModules =
    "  { name = libpipewire-module-protocol-native }\n"
    "  { name = libpipewire-module-client-node }\n"
    "  { name = libpipewire-module-client-device }\n"
    "  { name = libpipewire-module-adapter }\n"
    "  { name = libpipewire-module-metadata }\n"
    "  { name = libpipewire-module-session-manager }\n";
constexpr const char* kSpaLibs =
    "context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert "
    "support.* = support/libspa-support }\n";

// WirePlumber's main script: access and defaults, no device monitors (they
// would find the machine's devices) and no flatpak portal (with no D-Bus,
// WirePlumber quits at start while it is on).
constexpr const char* kWirePlumberMain =
    "load_module(\"metadata\")\n"
    "default_access.properties[\"enable-flatpak-portal\"] = false\n"
    "default_access.enable()\n"
    "device_defaults.enable()\n"
    "stream_defaults.enable()\n"
    "load_script(\"intended-roles.lua\")\n";

}  // namespace

fs::path PipeWireTestServer::AlsaPlugin() {
  const char* env = std::getenv("MIRN_PIPEWIRE_ALSA_DIR");
  for (const fs::path& root : {fs::path(env != nullptr ? env : ""), fs::path(MIRN_PIPEWIRE_ALSA_DIR)}) {
    if (fs::path plugin = PluginUnder(root); !plugin.empty()) return plugin;
  }
  // pipewire-alsa installed the ordinary way: its plugin, named explicitly.
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/usr/lib", error)) {
    const fs::path plugin = entry.path() / "alsa-lib" / kPluginName;
    if (fs::exists(plugin, error)) return plugin;
  }
  return {};
}

std::string PipeWireTestServer::Missing() {
  for (const char* program : {"pipewire", "wireplumber", "pw-dump"}) {
    if (!CommandOutput(std::string("command -v ") + program + " >/dev/null 2>&1")) {
      return std::string(program) + " is not installed (Debian: pipewire, pipewire-bin, wireplumber)";
    }
  }
  if (!fs::is_directory("/usr/share/wireplumber/main.lua.d")) {
    return "WirePlumber's scripts are not in /usr/share/wireplumber";
  }
  if (AlsaPlugin().empty()) {
    return std::string("no ") + kPluginName +
           " (scripts/install-deps.sh unpacks pipewire-alsa into .cache/pipewire-alsa)";
  }
  return {};
}

PipeWireTestServer::PipeWireTestServer(Options options)
    : SoundTestServer(ServerKind::kPipeWire, std::move(options)) {
  const fs::path plugin = AlsaPlugin();
  if (plugin.empty()) {
    error_ = Missing();
    return;
  }
  if (!MakeFolder("mirn_pipewire")) return;
  WriteConfiguration(plugin);
  setenv("PIPEWIRE_RUNTIME_DIR", (dir_ / "runtime").c_str(), 1);
  setenv("PIPEWIRE_CONFIG_DIR", (dir_ / "pipewire").c_str(), 1);
  setenv("PIPEWIRE_REMOTE", "pipewire-0", 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
  setenv("ALSA_CONFIG_PATH", (dir_ / "asound.conf").c_str(), 1);
  if (!Launch() || !StartFeeding(Pacing::kKeepFull)) {
    Stop();
    return;
  }
  CountBaseline();
}

PipeWireTestServer::~PipeWireTestServer() {
  StopFeeding();
  StopChild(recorder_pid_);
  StopChild(manager_pid_);
  StopChild(server_pid_);
}

void PipeWireTestServer::WriteConfiguration(const fs::path& plugin) {
  for (const char* sub : {"runtime", "pipewire", "wireplumber", "wireplumber/main.lua.d",
                          "wireplumber/policy.lua.d", "state", "config"}) {
    mkdir((dir_ / sub).c_str(), 0700);
  }
  // The graph runs at the library's own rate, so that no byte is resampled.
  WriteFile(dir_ / "pipewire" / "pipewire.conf",
            std::string("context.properties = {\n"
                        "  core.daemon = true\n  core.name = pipewire-0\n"
                        "  default.clock.rate = 8000\n  default.clock.allowed-rates = [ 8000 ]\n"
                        "  default.clock.quantum = 256\n  default.clock.min-quantum = 64\n"
                        "  default.clock.max-quantum = 1024\n  log.level = 2\n}\n") +
                kSpaLibs + "context.modules = [\n" + kCommonModules +
                "  { name = libpipewire-module-spa-node-factory }\n"
                "  { name = libpipewire-module-access args = { } }\n"
                "  { name = libpipewire-module-link-factory }\n"
                "  { name = libpipewire-module-pipe-tunnel args = { tunnel.mode = source "
                "pipe.filename = \"" + Fifo().string() + "\" audio.format = U8 audio.rate = 8000 "
                "audio.channels = 1 audio.position = [ MONO ] node.name = " + kSource + " } }\n"
                "]\ncontext.objects = [\n"
                "  { factory = spa-node-factory args = { factory.name = support.node.driver "
                "node.name = Dummy-Driver node.group = pipewire.dummy priority.driver = 20000 } }\n"
                "  { factory = adapter args = { factory.name = support.null-audio-sink "
                "node.name = " + kSink + " media.class = Audio/Sink audio.position = [ MONO ] "
                "audio.rate = 8000 object.linger = true monitor.channel-volumes = true } }\n]\n");
  // Clients of this process read these, never the machine's.
  const std::string client =
      std::string("context.properties = { log.level = 0 }\n") + kSpaLibs +
      "context.modules = [\n" + kCommonModules + "]\n";
  WriteFile(dir_ / "pipewire" / "client.conf", client);
  WriteFile(dir_ / "pipewire" / "client-rt.conf", client);

  WriteFile(dir_ / "wireplumber" / "wireplumber.conf",
            std::string("context.properties = { log.level = 2 "
                        "wireplumber.script-engine = lua-scripting }\n") +
                kSpaLibs + "context.modules = [\n" + kCommonModules +
                "]\nwireplumber.components = [\n"
                "  { name = libwireplumber-module-lua-scripting, type = module }\n"
                "  { name = main.lua, type = config/lua }\n"
                "  { name = policy.lua, type = config/lua }\n]\n");
  // WirePlumber's own functions and defaults, with a main script of ours.
  std::error_code error;
  for (const char* part : {"main.lua.d", "policy.lua.d"}) {
    for (const auto& entry : fs::directory_iterator(fs::path("/usr/share/wireplumber") / part, error)) {
      fs::copy_file(entry.path(), dir_ / "wireplumber" / part / entry.path().filename(), error);
    }
  }
  WriteFile(dir_ / "wireplumber" / "main.lua.d" / "90-enable-all.lua", kWirePlumberMain);

  WriteFile(dir_ / "asound.conf",
            "pcm_type.pipewire { lib \"" + plugin.string() + "\" }\n" +
                "ctl_type.pipewire { lib \"" +
                (plugin.parent_path() / "libasound_module_ctl_pipewire.so").string() + "\" }\n" +
                "pcm.!default { type pipewire }\nctl.!default { type pipewire }\n" + "pcm." +
                kSinkMonitor + " { type pipewire capture_node \"" + kSink + "\" }\n");
}

std::vector<std::string> PipeWireTestServer::ServerEnvironment() const {
  return ChildEnvironment({"HOME=" + dir_.string(), "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                           "XDG_STATE_HOME=" + (dir_ / "state").string(),
                           "XDG_RUNTIME_DIR=" + (dir_ / "runtime").string(),
                           "PIPEWIRE_RUNTIME_DIR=" + (dir_ / "runtime").string(),
                           "PIPEWIRE_CONFIG_DIR=" + (dir_ / "pipewire").string(),
                           "WIREPLUMBER_CONFIG_DIR=" + (dir_ / "wireplumber").string(),
                           "DBUS_SESSION_BUS_ADDRESS=disabled:", "PIPEWIRE_REMOTE=pipewire-0"});
}

bool PipeWireTestServer::Launch() {
  const int log = open((dir_ / "server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  server_pid_ = Spawn({"pipewire"}, ServerEnvironment(), log);
  SetPid(server_pid_);
  const auto deadline = Clock::now() + kStartLimit;
  auto failed = [&](const std::string& what) {
    close(log);
    error_ = what + ":\n" + ReadText(dir_ / "server.log");
    return false;
  };
  while (!Accepts(dir_ / "runtime" / "pipewire-0")) {
    if (server_pid_ < 0 || Exited(server_pid_) || Clock::now() > deadline) {
      return failed("PipeWire did not start");
    }
    usleep(10'000);
  }
  manager_pid_ = Spawn({"wireplumber"}, ServerEnvironment(), log);
  // WirePlumber is working once it has chosen the defaults: ours.
  auto dump_has = [](const std::vector<std::string>& texts) {
    const std::optional<std::string> dump = CommandOutput("timeout 5 pw-dump 2>/dev/null");
    return dump && std::ranges::all_of(texts, [&](const std::string& t) {
             return dump->find(t) != std::string::npos;
           });
  };
  while (!dump_has({std::string("\"default.audio.source\", \"type\": \"Spa:String:JSON\", "
                                "\"value\": { \"name\": \"") + kSource,
                    std::string("\"default.audio.sink\", \"type\": \"Spa:String:JSON\", "
                                "\"value\": { \"name\": \"") + kSink})) {
    if (Exited(manager_pid_) || Clock::now() > deadline) {
      manager_pid_ = -1;
      return failed("WirePlumber did not start");
    }
    usleep(20'000);
  }
  if (options_.record_sink) {
    const std::size_t recorded = SinkBytes().size();  // before a restart
    const int out = SinkFile();
    std::vector<std::string> env = ChildEnvironment({"PIPEWIRE_ALSA={ stream.capture.sink = true }"});
    recorder_pid_ = Spawn({"arecord", "-q", "-D", kSinkMonitor, "-f", "U8", "-r", "8000", "-c",
                           "1", "-t", "raw"},
                          env, out);
    close(out);
    while (!dump_has({"\"PipeWire:Interface:Link\""})) {  // linked to the sink
      if (Exited(recorder_pid_) || Clock::now() > deadline) {
        recorder_pid_ = -1;
        return failed("arecord did not start recording the sink");
      }
      usleep(20'000);
    }
    // Linked is not yet recording: a sound played before arecord's first
    // bytes (the sink's silence, which it renders while it is recorded) is
    // missed from the sink's recording.
    while (SinkBytes().size() <= recorded) {
      if (Exited(recorder_pid_) || Clock::now() > deadline) {
        recorder_pid_ = -1;
        return failed("arecord recorded nothing of the sink");
      }
      usleep(10'000);
    }
  }
  close(log);
  return true;
}

void PipeWireTestServer::Stop() {
  KillChild(recorder_pid_);
  KillChild(manager_pid_);
  KillChild(server_pid_);
  SetPid(-1);
}

bool PipeWireTestServer::Restart() {
  Stop();
  if (!Launch()) return false;
  CountBaseline();
  return true;
}

int PipeWireTestServer::CountClients() const {
  const std::optional<std::string> dump = CommandOutput("timeout 5 pw-dump 2>/dev/null");
  if (!dump) return -1;
  int clients = 0;
  for (std::size_t at = 0; (at = dump->find("\"PipeWire:Interface:Client\"", at)) != std::string::npos;
       ++at) {
    ++clients;
  }
  return clients;
}

}  // namespace mirn::test
