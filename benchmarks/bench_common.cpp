// The shared pieces of the sound-server benchmark (see bench_common.h).
#include "benchmarks/bench_common.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "tests/alsa_test_config.h"

extern char** environ;

namespace mirn::bench {

// ---------------------------------------------------------------------------
// Options.
// ---------------------------------------------------------------------------

namespace {

struct Option {
  const char* name;
  int RunOptions::*value;
};
constexpr Option kCounts[] = {
    {"--mix-calls", &RunOptions::mix_calls},     {"--memory-seconds", &RunOptions::memory_seconds},
    {"--host-rounds", &RunOptions::host_rounds}, {"--takes", &RunOptions::takes},
    {"--first-takes", &RunOptions::first_takes}, {"--plays", &RunOptions::plays},
    {"--unload-rounds", &RunOptions::unload_rounds},
};

}  // namespace

namespace {
bool Listed(const std::string& list, const std::string& name) {
  std::stringstream items(list);
  for (std::string item; std::getline(items, item, ',');) {
    if (item == name) return true;
  }
  return false;
}
}  // namespace

bool RunOptions::Has(const std::string& part) const { return Listed(parts, part); }
bool RunOptions::HasServer(const std::string& server) const { return Listed(servers, server); }

bool RunOptions::Parse(std::vector<std::string>& args, std::string* error) {
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    const bool known = name == "--parts" || name == "--servers" || name == "--seed" ||
                       std::ranges::any_of(kCounts, [&](const Option& o) { return name == o.name; });
    if (!known) {
      rest.push_back(name);
      continue;
    }
    if (i + 1 == args.size()) {
      *error = name + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    if (name == "--parts") {
      parts = value;
    } else if (name == "--servers") {
      servers = value;
    } else if (name == "--seed") {
      seed = std::strtoull(value.c_str(), nullptr, 10);
    } else {
      for (const Option& o : kCounts) {
        if (name == o.name) this->*o.value = std::max(0, std::atoi(value.c_str()));
      }
    }
  }
  args = rest;
  return true;
}

std::vector<std::string> RunOptions::Args() const {
  std::vector<std::string> args = {"--servers", servers, "--parts", parts, "--seed", std::to_string(seed)};
  for (const Option& o : kCounts) {
    args.emplace_back(o.name);
    args.push_back(std::to_string(this->*o.value));
  }
  return args;
}

// ---------------------------------------------------------------------------
// Results.
// ---------------------------------------------------------------------------

Figures Percentiles(std::vector<double> micros) {
  if (micros.empty()) return {};
  std::ranges::sort(micros);
  const std::size_t n = micros.size();
  const std::size_t at99 = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(n)));
  return {micros[n / 2], micros[std::min(n - 1, at99 == 0 ? 0 : at99 - 1)]};
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::ranges::sort(values);
  return values[values.size() / 2];
}

double Worst(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::ranges::max_element(values);
}

Results& Mine() {
  static Results results;
  return results;
}

void SetRow(const std::string& key, Figures figures) { Mine().rows[key] = figures; }
void SetFigure(const std::string& key, double value) { Mine().figures[key] = value; }

// One line each: "row", key, p50, p99; or "fig", key, value.
void WriteResults() {
  const char* path = std::getenv("MIRN_BENCH_RESULTS");
  if (path == nullptr) return;
  std::ofstream out(path, std::ios::app);
  for (const auto& [key, f] : Mine().rows) out << "row\t" << key << '\t' << f.p50 << '\t' << f.p99 << '\n';
  for (const auto& [key, v] : Mine().figures) out << "fig\t" << key << '\t' << v << '\n';
}

void ReadResults(const fs::path& file, Results& into) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    std::stringstream fields(line);
    std::string kind, key, a, b;
    std::getline(fields, kind, '\t');
    std::getline(fields, key, '\t');
    std::getline(fields, a, '\t');
    std::getline(fields, b, '\t');
    if (kind == "row") into.rows[key] = {std::atof(a.c_str()), std::atof(b.c_str())};
    if (kind == "fig") into.figures[key] = std::atof(a.c_str());
  }
}

void PrintRow(const std::string& key, const Figures& f) {
  std::printf("%-56s p50 %9.1f us  p99 %9.1f us\n", key.c_str(), f.p50, f.p99);
}

// ---------------------------------------------------------------------------
// The server and the store.
// ---------------------------------------------------------------------------

namespace {
ServerKind g_kind = ServerKind::kPulseAudio;
SoundTestServer::Options g_options;
}  // namespace

void UseServer(ServerKind kind, SoundTestServer::Options options) {
  g_kind = kind;
  g_options = std::move(options);
}

ServerKind Kind() { return g_kind; }

SoundTestServer& Server() {
  static const std::unique_ptr<SoundTestServer> server = SoundTestServer::Start(g_kind, g_options);
  return *server;
}

void Pause(milliseconds time) { std::this_thread::sleep_for(time); }
void PauseUntil(Clock::time_point when) { std::this_thread::sleep_until(when); }
double Millis(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

fs::path WriteTake(const std::string& name, const Bytes& data) {
  std::string bytes(52, '\0');
  const auto size = static_cast<std::uint32_t>(data.size());
  for (int i = 0; i < 4; ++i) bytes[48 + i] = static_cast<char>(size >> (8 * i));
  bytes.append(data.begin(), data.end());
  const fs::path path = Server().dir() / name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::int32_t LoadFile(const fs::path& path) {
  return SoundRecordLoad(AutomationStringFromUtf8(path.c_str()));
}

void Load(std::uint32_t size) {
  static std::map<std::uint32_t, fs::path> files;
  auto [it, made] = files.try_emplace(size);
  if (made) it->second = WriteTake("take" + std::to_string(size) + ".wav", Bytes(size, 0x90));
  LoadFile(it->second);
}

Bytes StoreTake() {
  const std::uint32_t length = std::min(mirn::g_sound_state.RecordedLength, mirn::kStoreSize);
  return {mirn::g_sound_state.SampleBuffer, mirn::g_sound_state.SampleBuffer + length};
}

int BareOpen(snd_pcm_t** pcm, bool capture, unsigned rate) {
  int err = snd_pcm_open(pcm, "default", capture ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK,
                         SND_PCM_NONBLOCK);
  if (err < 0) return err;
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  unsigned period = capture ? 125'000 : 20'000;
  unsigned buffer = 4 * period;
  snd_pcm_hw_params_any(*pcm, hw);
  snd_pcm_hw_params_set_rate_resample(*pcm, hw, 1);
  snd_pcm_hw_params_set_access(*pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
  snd_pcm_hw_params_set_format(*pcm, hw, SND_PCM_FORMAT_U8);
  snd_pcm_hw_params_set_channels(*pcm, hw, 1);
  snd_pcm_hw_params_set_rate(*pcm, hw, rate, 0);
  snd_pcm_hw_params_set_buffer_time_near(*pcm, hw, &buffer, nullptr);
  snd_pcm_hw_params_set_period_time_near(*pcm, hw, &period, nullptr);
  if ((err = snd_pcm_hw_params(*pcm, hw)) < 0) return err;
  snd_pcm_uframes_t frames = 0;
  snd_pcm_hw_params_get_period_size(hw, &frames, nullptr);
  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  snd_pcm_sw_params_current(*pcm, sw);
  snd_pcm_sw_params_set_start_threshold(*pcm, sw, 1);
  snd_pcm_sw_params_set_avail_min(*pcm, sw, frames);
  if ((err = snd_pcm_sw_params(*pcm, sw)) < 0) return err;
  return snd_pcm_prepare(*pcm);
}

// ---------------------------------------------------------------------------
// Known bytes.
// ---------------------------------------------------------------------------

Bytes KnownBytes(std::size_t size, std::uint64_t seed, const std::vector<std::uint8_t>& values) {
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<std::size_t> pick(0, values.size() - 1);
  Bytes bytes(size);
  for (auto& b : bytes) b = values[pick(random)];
  return bytes;
}

std::vector<std::uint8_t> AudibleValues() {
  std::vector<std::uint8_t> values;
  for (int v = 1; v < 256; ++v) {
    if (v != 128) values.push_back(static_cast<std::uint8_t>(v));
  }
  return values;
}

std::vector<std::uint8_t> LoudValues() {
  std::vector<std::uint8_t> values;
  for (int v = 20; v <= 60; ++v) values.push_back(static_cast<std::uint8_t>(v));
  for (int v = 196; v <= 236; ++v) values.push_back(static_cast<std::uint8_t>(v));
  return values;
}

std::uint64_t WindowIndex::Key(const std::uint8_t* at) {
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < kWindow; ++i) key = key << 8 | at[i];
  return key;
}

WindowIndex::WindowIndex(const Bytes& bytes) : bytes_(bytes) {
  for (std::size_t i = 0; i + kWindow <= bytes.size(); ++i) {
    positions_.emplace_back(Key(&bytes[i]), static_cast<long>(i));
  }
  std::ranges::sort(positions_);
  // A window seen twice names no one position: both go.
  std::vector<std::pair<std::uint64_t, long>> unique;
  for (std::size_t i = 0; i < positions_.size(); ++i) {
    const bool twin = (i > 0 && positions_[i - 1].first == positions_[i].first) ||
                      (i + 1 < positions_.size() && positions_[i + 1].first == positions_[i].first);
    if (!twin) unique.push_back(positions_[i]);
  }
  positions_ = std::move(unique);
}

long WindowIndex::Find(const std::uint8_t* at) const {
  const std::uint64_t key = Key(at);
  const auto it = std::ranges::lower_bound(positions_, std::pair<std::uint64_t, long>(key, -1));
  return it != positions_.end() && it->first == key ? it->second : -1;
}

// ---------------------------------------------------------------------------
// Processes and the machine.
// ---------------------------------------------------------------------------

pid_t SpawnQuiet(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitExit(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    Pause(milliseconds(5));
  }
  return status;
}

int RunSelf(const std::vector<std::string>& args, std::chrono::seconds limit) {
  std::vector<std::string> argv = {"sound_server_benchmark"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> child_argv;
  for (std::string& a : argv) child_argv.push_back(a.data());
  child_argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, child_argv.data(), environ) != 0) {
    return -1;
  }
  return WaitExit(pid, limit);
}

double RssMegabytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

int Threads() { return mirn::test::RunningThreads(); }

}  // namespace mirn::bench
