// Random call sequences over all seven exports of the shipped library, with
// hostile rates and paths, against a small model of what each call returns.
// The library runs on ALSA (a "default" that captures from a file and plays
// into /dev/null, not in real time), so its device threads run beside the
// calls; every few calls it is unloaded and loaded again. After every call the
// automation allocator must have released each string it handed out.
//
//   mirn_call_sequences [--seed N] [--calls N] [--cycles N]
//
// Prints the calls made and the divergences found; exits 1 on any.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "automation/automation_stats.h"
#include "host/binding/library_binding.h"

namespace {

namespace fs = std::filesystem;
using mirn::host::Exports;
using mirn::host::LibraryBinding;

constexpr std::int32_t kStoreSize = 1'600'000;

// A path argument: how it is passed, and what the model knows of it.
struct PathCase {
  std::string name;
  std::optional<std::u16string> text;  // null when absent
  std::string file;                    // the file a save makes, as the library names it
  bool loadable_target = false;        // names a file that saves make and loads read
  bool saves = false;                  // a save there writes and reports the size
  bool only_loads = false;             // a save would wait for ever (a pipe no one reads)
};

std::u16string Utf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A file of `held` samples whose header states `stated`.
std::string WaveBytes(std::uint32_t stated, std::size_t held) {
  std::string bytes(52 + held, '\x80');
  for (int i = 0; i < 4; ++i) bytes[48 + i] = static_cast<char>(stated >> (8 * i));
  return bytes;
}

class Sequences {
 public:
  Sequences(fs::path dir, std::uint64_t seed) : dir_(std::move(dir)), random_(seed) {
    const std::string base = dir_.string() + "/";
    const std::string fill99(99 - base.size(), 'a');
    auto file = [&](const std::string& name, std::u16string text, std::string narrow) {
      paths_.push_back({name, std::move(text), std::move(narrow), true, true, false});
    };
    file("take", Utf16(base + "take.wav"), base + "take.wav");
    file("99 bytes", Utf16(base + fill99), base + fill99);
    file("99 bytes in UTF-8", Utf16(base + fill99.substr(2)) + u"\u00E9",
         base + fill99.substr(2) + "\xC3\xA9");
    file("lone surrogate", Utf16(base + "a") + u"\xD800" + u"b.wav", base + "a?b.wav");
    paths_.push_back({"/dev/null", Utf16("/dev/null"), "", false, true, false});
    auto refused = [&](const std::string& name, std::optional<std::u16string> text) {
      paths_.push_back({name, std::move(text), "", false, false, false});
    };
    refused("null", std::nullopt);
    refused("empty", u"");
    refused("100 bytes", Utf16(base + fill99 + "b"));
    refused("100 bytes in UTF-8", Utf16(base + fill99.substr(2)) + u"\u20AC");
    refused("folder", Utf16(dir_.string()));
    refused("/dev/full", Utf16("/dev/full"));
    refused("missing folder", Utf16(base + "missing/x.wav"));
    refused("pipe", Utf16(base + "pipe"));
    paths_.push_back({"pipe with a writer", Utf16(base + "written"), "", false, false, true});

    mkfifo((base + "pipe").c_str(), 0600);
    mkfifo((base + "written").c_str(), 0600);
    // Holding both ends, with a whole header waiting in it.
    writer_ = open((base + "written").c_str(), O_RDWR | O_NONBLOCK);
    const std::string header = WaveBytes(0, 0);
    if (write(writer_, header.data(), header.size()) != 52) std::perror("pipe");

    // Fixed files: stated sizes bounded by the file and by the store.
    auto fixed = [&](const std::string& name, const std::string& bytes, std::int32_t loads) {
      WriteBytes(dir_ / name, bytes);
      paths_.push_back({name, Utf16(base + name), "", false, false, true});
      fixed_loads_[paths_.size() - 1] = loads;
    };
    fixed("short.wav", std::string(51, 'R'), -1);
    fixed("truncated.wav", WaveBytes(1000, 10), 10);
    fixed("huge.wav", WaveBytes(0xFFFFFFFF, kStoreSize + 5), kStoreSize);
  }
  ~Sequences() { close(writer_); }

  // Runs `calls` calls on a freshly loaded library.
  void RunCycle(const char* library, std::uint64_t calls) {
    std::string error;
    auto binding = LibraryBinding::Open(library, mirn::host::BindBy::kName, &error);
    if (binding == nullptr) {
      Diverge("load the library: " + error);
      return;
    }
    position_ = 0;  // a fresh load: nothing recorded, no format
    format_set_ = false;
    for (std::uint64_t i = 0; i < calls; ++i) Call(binding->exports());
  }

  std::uint64_t calls() const { return calls_; }
  std::uint64_t divergences() const { return divergences_; }

 private:
  static constexpr std::int32_t kRates[] = {0, -1, INT32_MIN, INT32_MAX, 1, 5512, 8000, 11025, 11026};

  void Diverge(const std::string& what) {
    ++divergences_;
    if (divergences_ <= 20) std::fprintf(stderr, "divergence at call %llu: %s\n",
                                         static_cast<unsigned long long>(calls_), what.c_str());
  }

  void Expect(const std::string& call, std::int32_t got, std::int32_t expected) {
    if (got != expected) {
      Diverge(call + " returned " + std::to_string(got) + ", expected " + std::to_string(expected));
    }
  }

  // An open at this rate: refused before a start or load has set the PCM
  // format, and below 1 (a negative rate reads so); on the device, the
  // answer must stay the same, and the usual rates open.
  bool Opens(std::int32_t rate, bool opened, const std::string& call) {
    if (!format_set_) {
      if (opened) Diverge(call + " opened with no format set");
      return false;
    }
    bool expected = opened;
    if (rate < 1) {
      expected = false;
    } else if (rate >= 5512 && rate <= 11026) {
      expected = true;
    } else if (const auto seen = rate_opens_.find(rate); seen != rate_opens_.end()) {
      expected = seen->second;
    }
    rate_opens_[rate] = opened;
    if (opened != expected) Diverge(call + (opened ? " opened" : " did not open"));
    return expected;
  }

  static AutomationString Argument(const PathCase& path) {
    if (!path.text) return nullptr;
    return SysAllocStringLen(path.text->data(), static_cast<std::uint32_t>(path.text->size()));
  }

  void Call(const Exports& mirn) {
    ++calls_;
    const std::int32_t rate = kRates[random_() % std::size(kRates)];
    const std::size_t path_index = random_() % paths_.size();
    const PathCase& path = paths_[path_index];
    const std::string rate_text = "(" + std::to_string(rate) + ")";
    switch (random_() % 7) {
      case 0:
        Expect("SoundRecordStart", mirn.SoundRecordStart(), 1);
        format_set_ = true;
        position_.reset();  // the stop inside it reads the last input's position
        break;
      case 1:
        Expect("SoundRecordStop", mirn.SoundRecordStop(), 2);
        position_.reset();
        break;
      case 2: {
        const std::int32_t got = mirn.SoundRecordPlay(rate);
        Opens(rate, got == 3, "SoundRecordPlay" + rate_text);
        if (got != 3 && got != 33) Expect("SoundRecordPlay" + rate_text, got, 33);
        break;
      }
      case 3: {
        if (path.only_loads) break;
        const std::string call = "SoundRecordSave(" + path.name + ")";
        const std::int32_t got = mirn.SoundRecordSave(Argument(path), rate);
        if (!path.saves) {
          Expect(call, got, -1);
        } else if (position_) {
          Expect(call, got, *position_);
        } else if (got < 0 || got > kStoreSize) {
          Diverge(call + " returned " + std::to_string(got));
        } else {
          position_ = got;  // learnt: saves write it until the next start, stop or load
        }
        if (path.loadable_target && got >= 0) {
          saved_[path_index] = got;
          std::error_code error;
          const auto bytes = fs::file_size(path.file, error);
          if (error || bytes != 52u + static_cast<std::uint32_t>(got)) {
            Diverge(call + " wrote " + std::to_string(error ? 0 : bytes) + " bytes");
          }
        }
        break;
      }
      case 4: {
        const std::string call = "SoundRecordLoad(" + path.name + ")";
        const std::int32_t got = mirn.SoundRecordLoad(Argument(path));
        std::int32_t expected = -1;
        if (const auto fixed = fixed_loads_.find(path_index); fixed != fixed_loads_.end()) {
          expected = fixed->second;
        } else if (const auto saved = saved_.find(path_index); saved != saved_.end()) {
          expected = saved->second;
        }
        Expect(call, got, expected);
        if (got >= 0) {
          position_ = got;
          format_set_ = true;
        }
        break;
      }
      case 5: {
        const std::int32_t got = mirn.ToneCreate(rate);
        Opens(rate, got == 1, "ToneCreate" + rate_text);
        if (got != 1 && got != 33) Expect("ToneCreate" + rate_text, got, 33);
        break;
      }
      default:
        Expect("DLLStop", mirn.DLLStop(), 0);
        break;
    }
    const std::uint64_t held = AutomationStringsAllocated() - AutomationStringsReleased();
    if (held != 0) Diverge(std::to_string(held) + " path strings not released");
  }

  fs::path dir_;
  std::mt19937_64 random_;
  std::vector<PathCase> paths_;
  std::map<std::size_t, std::int32_t> fixed_loads_;
  std::map<std::size_t, std::int32_t> saved_;  // what the last save wrote at a path
  std::map<std::int32_t, bool> rate_opens_;
  std::optional<std::int32_t> position_;  // what a save reports, when known
  bool format_set_ = false;
  std::uint64_t calls_ = 0;
  std::uint64_t divergences_ = 0;
  int writer_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t seed = 12, calls = 300, cycles = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::uint64_t value = std::strtoull(argv[i + 1], nullptr, 10);
    if (option == "--seed") seed = value;
    else if (option == "--calls") calls = value;
    else if (option == "--cycles") cycles = value;
    else {
      std::fprintf(stderr, "usage: %s [--seed N] [--calls N] [--cycles N]\n", argv[0]);
      return 2;
    }
  }
  // Short paths, in memory where there is a /dev/shm: saves sync their files.
  char pattern[] = "/dev/shm/mirn_seq_XXXXXX";
  char fallback[] = "/tmp/mirn_seq_XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) made = mkdtemp(fallback);
  if (made == nullptr) return 1;
  const fs::path dir = made;
  WriteBytes(dir / "infile.raw", std::string(100'000, '\x42'));
  const std::string config =
      "pcm.!default {\n type plug\n slave.pcm {\n  type asym\n"
      "  capture.pcm { type file slave.pcm { type null } file \"/dev/null\"\n"
      "    infile \"" + (dir / "infile.raw").string() + "\" format \"raw\" }\n"
      "  playback.pcm { type file slave.pcm { type null } file \"/dev/null\" format \"raw\" }\n"
      " }\n}\n";
  WriteBytes(dir / "alsa.conf", config);
  setenv("ALSA_CONFIG_PATH", (dir / "alsa.conf").c_str(), 1);

  std::uint64_t made_calls = 0, divergences = 0;
  {
    Sequences sequences(dir, seed);
    for (std::uint64_t cycle = 0; cycle < cycles; ++cycle) {
      sequences.RunCycle(MIRN_LIBRARY_PATH, calls / cycles);
    }
    made_calls = sequences.calls();
    divergences = sequences.divergences();
  }
  fs::remove_all(dir);
  std::printf("seed %llu: %llu calls in %llu loads of the library, %llu divergences\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(made_calls),
              static_cast<unsigned long long>(cycles), static_cast<unsigned long long>(divergences));
  return divergences == 0 ? 0 : 1;
}
