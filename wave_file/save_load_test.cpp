// Tests of SoundRecordSave and SoundRecordLoad against real files in a fresh
// temporary folder: the bytes written, what a load makes of them, refused and
// failing paths, and the caller's string released on every path.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "MirnDLL.h"
#include "automation/automation_stats.h"
#include "library/sound_state.h"
#include "wave_file/file_access.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using mirn::g_sound_state;
using mirn::kStoreSize;

// Only ASCII paths go through here; others are spelt out in UTF-16.
std::u16string Widen(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

std::uint32_t Get32(const Bytes& bytes, std::size_t offset) {
  return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
         std::uint32_t{bytes[offset + 3]} << 24;
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The whole state as bytes, to show that a call changed nothing.
Bytes Snapshot() {
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&g_sound_state);
  return Bytes(raw, raw + sizeof g_sound_state);
}

void FillStore(std::uint8_t seed) {
  for (std::uint32_t i = 0; i < kStoreSize; ++i) {
    g_sound_state.SampleBuffer[i] = static_cast<std::uint8_t>(i * 7 + seed);
  }
}

class WaveFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&g_sound_state, 0, sizeof g_sound_state);
    char pattern[] = "/tmp/mirn_wf_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    wave_file::ClearFileFaults();
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    if (limited_) setrlimit(RLIMIT_FSIZE, &old_limit_);
    fs::remove_all(dir_);
  }

  // Makes the folder a disk of `bytes`: a tmpfs of that size in a mount
  // namespace of this process's own where it may mount one, else the same
  // limit on file sizes (writes past it fail as on a full disk).
  void LimitDisk(std::size_t bytes) {
    if (unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tmpfs", dir_.c_str(), "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) == 0) {
      mounted_ = true;
      return;
    }
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit_), 0);
    const rlimit limit{bytes, old_limit_.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    limited_ = true;
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
    return names;
  }

  std::string In(const std::string& name) const { return dir_ + "/" + name; }

  // Each call hands over a fresh string and must release exactly it.
  std::int32_t Save(const std::u16string& path, std::int32_t rate) {
    const std::uint64_t released = AutomationStringsReleased();
    const std::int32_t result = SoundRecordSave(Allocate(path), rate);
    EXPECT_EQ(AutomationStringsReleased(), released + 1) << "path not released once";
    return result;
  }
  std::int32_t Load(const std::u16string& path) {
    const std::uint64_t released = AutomationStringsReleased();
    const std::int32_t result = SoundRecordLoad(Allocate(path));
    EXPECT_EQ(AutomationStringsReleased(), released + 1) << "path not released once";
    return result;
  }
  std::int32_t Save(const std::string& path, std::int32_t rate) { return Save(Widen(path), rate); }
  std::int32_t Load(const std::string& path) { return Load(Widen(path)); }

  // The file of an empty recording, as the library saves it.
  Bytes SavedHeader() {
    EXPECT_EQ(Save(In("header.wav"), 8000), 0);
    return ReadFile(In("header.wav"));
  }

  std::string dir_;
  bool mounted_ = false;
  bool limited_ = false;
  rlimit old_limit_{};

 private:
  static AutomationString Allocate(const std::u16string& text) {
    return SysAllocStringLen(text.data(), static_cast<std::uint32_t>(text.size()));
  }
};

TEST_F(WaveFiles, SaveWritesTheHeaderAndExactlyTheRecordedBytes) {
  // Right after load: a bare header stating 0 bytes.
  EXPECT_EQ(Save(In("empty.wav"), 8000), 0);
  const Bytes empty = ReadFile(In("empty.wav"));
  ASSERT_EQ(empty.size(), 52u);
  EXPECT_EQ(Get32(empty, 4), 44u);
  EXPECT_EQ(Get32(empty, 48), 0u);

  // An odd size gets no pad byte; the rate is the caller's, not the format's.
  FillStore(3);
  g_sound_state.PositionRecord.bytes = 1001;
  g_sound_state.WaveFormat.samples_per_second = 8000;
  const Bytes before = Snapshot();
  EXPECT_EQ(Save(In("odd.wav"), 22050), 1001);
  const Bytes odd = ReadFile(In("odd.wav"));
  ASSERT_EQ(odd.size(), 52u + 1001);
  EXPECT_EQ(std::string(odd.begin(), odd.begin() + 4), "RIFF");
  EXPECT_EQ(Get32(odd, 4), 1001u + 44);
  EXPECT_EQ(Get32(odd, 24), 22050u);
  EXPECT_EQ(Get32(odd, 28), 22050u);
  EXPECT_EQ(Get32(odd, 48), 1001u);
  EXPECT_EQ(Bytes(odd.begin() + 52, odd.end()),
            Bytes(g_sound_state.SampleBuffer, g_sound_state.SampleBuffer + 1001));
  EXPECT_TRUE(Snapshot() == before) << "save changed the state";

  // A position past the store saves the whole store and no more.
  g_sound_state.PositionRecord.bytes = 0xFFFFFFFF;
  EXPECT_EQ(Save(In("full.wav"), 8000), static_cast<std::int32_t>(kStoreSize));
  const Bytes full = ReadFile(In("full.wav"));
  ASSERT_EQ(full.size(), 52u + kStoreSize);
  EXPECT_EQ(Get32(full, 48), kStoreSize);
  EXPECT_EQ(full.back(), g_sound_state.SampleBuffer[kStoreSize - 1]);
}

TEST_F(WaveFiles, SaveReportsEveryFailedWrite) {
  g_sound_state.PositionRecord.bytes = 500;
  const Bytes before = Snapshot();
  EXPECT_EQ(Save(In("missing/x.wav"), 8000), -1);  // folder does not exist
  EXPECT_EQ(Save(dir_, 8000), -1);                 // a folder, not a file
  if (fs::exists("/dev/full")) {  // the close fails: no space for the data
    EXPECT_EQ(Save(std::string("/dev/full"), 8000), -1);
  }
  EXPECT_TRUE(Snapshot() == before) << "save changed the state";
  EXPECT_TRUE(fs::is_empty(dir_)) << "a failed save left a file behind";
}

TEST_F(WaveFiles, AFailedSaveKeepsTheOldFileAndLeavesNoOther) {
  // A recording of 400,000 bytes on a disk that cannot take a second one.
  LimitDisk(600 * 1024);
  FillStore(1);
  g_sound_state.PositionRecord.bytes = 400'000;
  ASSERT_EQ(Save(In("take.wav"), 8000), 400'000);
  const Bytes old = ReadFile(In("take.wav"));
  ASSERT_EQ(old.size(), 400'052u);
  ASSERT_EQ(chmod(In("take.wav").c_str(), 0640), 0);

  FillStore(2);
  g_sound_state.PositionRecord.bytes = kStoreSize;
  EXPECT_EQ(Save(In("take.wav"), 8000), -1);  // the disk fills
  EXPECT_TRUE(ReadFile(In("take.wav")) == old);
  EXPECT_EQ(Names(), std::vector<std::string>{"take.wav"});

  // Every other step that can fail, the first write and a later one included.
  g_sound_state.PositionRecord.bytes = 100'000;
  using wave_file::FileStep;
  const std::pair<FileStep, std::uint32_t> faults[] = {
      {FileStep::kCreate, 0}, {FileStep::kWrite, 0}, {FileStep::kWrite, 5},
      {FileStep::kSync, 0},   {FileStep::kClose, 0}, {FileStep::kRename, 0}};
  for (const auto& [step, pass_first] : faults) {
    wave_file::InjectFileFault(step, pass_first);
    EXPECT_EQ(Save(In("take.wav"), 8000), -1) << "step " << int(step);
    EXPECT_TRUE(ReadFile(In("take.wav")) == old) << "step " << int(step);
    EXPECT_EQ(Names(), std::vector<std::string>{"take.wav"}) << "step " << int(step);
  }

  // Then a save that works replaces it whole, with its permission bits, and
  // through a link the file is replaced while the link stays.
  wave_file::ClearFileFaults();
  fs::create_symlink("take.wav", In("link.wav"));
  EXPECT_EQ(Save(In("link.wav"), 8000), 100'000);
  EXPECT_TRUE(fs::is_symlink(In("link.wav")));
  EXPECT_EQ(ReadFile(In("take.wav")).size(), 100'052u);
  EXPECT_EQ(fs::status(In("take.wav")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(Names().size(), 2u);
}

TEST_F(WaveFiles, SaveWritesAPipeOrDeviceAsItStandsWithoutWaiting) {
  alarm(60);  // a save that blocks fails here rather than hangs
  const std::string fifo = In("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Save(fifo, 8000), -1);  // no reader: refused at once
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(Save(fifo, 8000), 0);
  char bytes[100];
  EXPECT_EQ(read(reader, bytes, sizeof bytes), 52);
  close(reader);
  EXPECT_EQ(Save(std::string("/dev/null"), 8000), 0);
  EXPECT_TRUE(fs::is_fifo(fifo));
  alarm(0);
}

TEST_F(WaveFiles, LoadRefusesAnythingButARegularFileAtOnce) {
  alarm(60);  // a load that blocks fails here rather than hangs
  const Bytes header = SavedHeader();
  const std::string fifo = In("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_path = In("socket");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  std::memset(&g_sound_state, 0x5A, sizeof g_sound_state);
  const Bytes before = Snapshot();
  EXPECT_EQ(Load(fifo), -1);  // no writer
  const int writer = open(fifo.c_str(), O_RDWR);
  ASSERT_EQ(write(writer, header.data(), header.size()), 52);
  EXPECT_EQ(Load(fifo), -1);  // a writer with a whole header waiting
  EXPECT_EQ(Load(socket_path), -1);
  EXPECT_EQ(Load(std::string("/dev/zero")), -1);
  EXPECT_TRUE(Snapshot() == before) << "a refused load changed the state";
  close(writer);
  close(listener);

  // A link to a file is followed.
  fs::create_symlink("header.wav", In("link.wav"));
  EXPECT_EQ(Load(In("link.wav")), 0);
  alarm(0);
}

TEST_F(WaveFiles, LoadMakesTheSavedBytesTheCurrentRecording) {
  FillStore(11);
  g_sound_state.PositionRecord.bytes = 70'000;
  ASSERT_EQ(Save(In("r.wav"), 44100), 70'000);
  const Bytes saved(g_sound_state.SampleBuffer, g_sound_state.SampleBuffer + kStoreSize);

  // Anything the load must set, set otherwise; anything it must keep, marked.
  std::memset(&g_sound_state, 0x5A, sizeof g_sound_state);
  auto& s = g_sound_state;
  EXPECT_EQ(Load(In("r.wav")), 70'000);

  EXPECT_EQ(Bytes(s.SampleBuffer, s.SampleBuffer + 70'000), Bytes(saved.begin(), saved.begin() + 70'000));
  EXPECT_EQ(s.SampleBuffer[70'000], 0x5A);
  EXPECT_EQ(s.SampleBuffer[kStoreSize - 1], 0x5A);

  EXPECT_EQ(s.RecordedLength, 70'000u);
  EXPECT_EQ(s.BufferHeader.data, s.SampleBuffer);
  EXPECT_EQ(s.BufferHeader.buffer_length, 70'000u);
  EXPECT_EQ(mirn::BytesRecorded(), 70'000u);
  EXPECT_EQ(s.BufferHeader.flags, 0u);
  EXPECT_EQ(s.BufferHeader.user, 0x5A5A5A5Au);
  EXPECT_EQ(s.PositionRecord.bytes, 70'000u);
  EXPECT_EQ(s.PositionRecord.time_format, 0x5A5A5A5Au);
  EXPECT_EQ(s.OutputHandle, 0x5A5A5A5Au);
  EXPECT_EQ(s.InputHandle, 0x5A5A5A5Au);

  // The recording format whatever rate the file holds; extra size gets the
  // size's low 16 bits; block align stays 0, unlike the file's 1.
  EXPECT_EQ(s.WaveFormat.format_tag, 1);
  EXPECT_EQ(s.WaveFormat.channels, 1);
  EXPECT_EQ(s.WaveFormat.samples_per_second, 8000u);
  EXPECT_EQ(s.WaveFormat.bytes_per_second, 8000u);
  EXPECT_EQ(s.WaveFormat.block_align, 0);
  EXPECT_EQ(s.WaveFormat.bits_per_sample, 8);
  EXPECT_EQ(s.WaveFormat.extra_size, 70'000 & 0xFFFF);

  // Saved again, the loaded recording gives the same file.
  EXPECT_EQ(Save(In("again.wav"), 44100), 70'000);
  EXPECT_EQ(ReadFile(In("again.wav")), ReadFile(In("r.wav")));
}

TEST_F(WaveFiles, LoadWithoutAWholeHeaderChangesNothing) {
  const Bytes header_only = SavedHeader();
  WriteFile(In("short.wav"), Bytes(header_only.begin(), header_only.begin() + 51));
  WriteFile(In("zero.wav"), {});

  std::memset(&g_sound_state, 0x5A, sizeof g_sound_state);
  const Bytes before = Snapshot();
  EXPECT_EQ(Load(In("absent.wav")), -1);
  EXPECT_EQ(Load(In("short.wav")), -1);
  EXPECT_EQ(Load(In("zero.wav")), -1);
  EXPECT_EQ(Load(dir_), -1);  // opens, but nothing can be read
  EXPECT_TRUE(Snapshot() == before) << "a refused load changed the state";
}

TEST_F(WaveFiles, LoadBoundsTheStatedSizeByTheFileAndTheStore) {
  Bytes file = SavedHeader();
  file[48] = 0xE8;  // states 1000 bytes
  file[49] = 0x03;
  for (std::uint8_t i = 1; i <= 10; ++i) file.push_back(i);  // holds 10
  WriteFile(In("truncated.wav"), file);
  std::memset(g_sound_state.SampleBuffer, 0x5A, 20);
  EXPECT_EQ(Load(In("truncated.wav")), 10);
  EXPECT_EQ(g_sound_state.RecordedLength, 10u);
  EXPECT_EQ(g_sound_state.SampleBuffer[9], 10);
  EXPECT_EQ(g_sound_state.SampleBuffer[10], 0x5A);

  // States more than the store and holds more too: the store is filled.
  file.resize(52 + kStoreSize + 5, 0x77);
  file[48] = file[49] = file[50] = file[51] = 0xFF;
  WriteFile(In("huge.wav"), file);
  EXPECT_EQ(Load(In("huge.wav")), static_cast<std::int32_t>(kStoreSize));
  EXPECT_EQ(g_sound_state.BufferHeader.buffer_length, kStoreSize);
  EXPECT_EQ(g_sound_state.SampleBuffer[kStoreSize - 1], 0x77);
}

TEST_F(WaveFiles, LoadReadsACommon44ByteHeaderByItsOffset48) {
  // The usual header: 16-byte format chunk, data tag at 36, samples from 44.
  // Offset 48 then holds samples 4 to 7, taken as the size; the "samples"
  // loaded are those from offset 52 on.
  Bytes file = {'R', 'I', 'F', 'F', 56, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                16, 0, 0, 0, 1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0,
                1, 0, 8, 0, 'd', 'a', 't', 'a', 20, 0, 0, 0};
  const Bytes samples = {0, 1, 2, 3, 3, 0, 0, 0, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  file.insert(file.end(), samples.begin(), samples.end());
  WriteFile(In("common.wav"), file);
  EXPECT_EQ(Load(In("common.wav")), 3);
  EXPECT_EQ(Bytes(g_sound_state.SampleBuffer, g_sound_state.SampleBuffer + 4), (Bytes{8, 9, 10, 0}));

  file[48] = file[49] = 0xFF;  // states 65,535: bounded by the 12 bytes after 52
  WriteFile(In("common.wav"), file);
  EXPECT_EQ(Load(In("common.wav")), 12);
  EXPECT_EQ(g_sound_state.SampleBuffer[11], 19);
}

TEST_F(WaveFiles, PathsOfUpTo99BytesAreUsedAndLongerOnesRefused) {
  const std::string prefix = In("");
  const std::string p99 = prefix + std::string(99 - prefix.size(), 'a');
  EXPECT_EQ(Save(p99, 8000), 0);
  EXPECT_TRUE(fs::exists(p99));
  EXPECT_EQ(Load(p99), 0);
  fs::remove(p99);

  // Refused, and no file made under a cut-off name either.
  EXPECT_EQ(Save(p99 + "b", 8000), -1);
  EXPECT_EQ(Load(p99 + "b"), -1);
  EXPECT_EQ(Save(p99 + std::string(400, 'b'), 8000), -1);

  // Counted in UTF-8 bytes, not characters: U+00E9 takes 2, U+20AC takes 3.
  const std::u16string wide = Widen(prefix + std::string(97 - prefix.size(), 'a'));
  EXPECT_EQ(Save(wide + u"\u00E9", 8000), 0);  // 99 bytes
  EXPECT_TRUE(fs::exists(p99.substr(0, 97) + "\xC3\xA9"));
  fs::remove(p99.substr(0, 97) + "\xC3\xA9");
  EXPECT_EQ(Save(wide + u"a\u00E9", 8000), -1);  // 100 bytes in 99 characters
  EXPECT_EQ(Save(wide + u"\u20AC", 8000), -1);   // 100 bytes
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(WaveFiles, PathsAreConvertedUpToTheirFirstZeroCharacter) {
  EXPECT_EQ(Save(Widen(In("a")) + u"\xD800" u"b.wav", 8000), 0);  // lone surrogate
  EXPECT_TRUE(fs::exists(In("a?b.wav")));
  EXPECT_EQ(Save(Widen(In("")) + u"\xD83D\xDE00.wav", 8000), 0);  // U+1F600
  EXPECT_TRUE(fs::exists(In("\xF0\x9F\x98\x80.wav")));
  // The length prefix counts "junk" too; the zero character ends the path.
  EXPECT_EQ(Save(Widen(In("z.wav")) + std::u16string(1, u'\0') + u"junk", 8000), 0);
  EXPECT_TRUE(fs::exists(In("z.wav")));
  EXPECT_EQ(Load(Widen(In("z.wav")) + std::u16string(1, u'\0') + u"junk"), 0);
  EXPECT_EQ(Save(std::u16string(), 8000), -1);  // empty path: nothing to open
}

TEST_F(WaveFiles, NullPathIsRefusedWithNothingToRelease) {
  const std::uint64_t released = AutomationStringsReleased();
  const Bytes before = Snapshot();
  EXPECT_EQ(SoundRecordSave(nullptr, 8000), -1);
  EXPECT_EQ(SoundRecordLoad(nullptr), -1);
  EXPECT_EQ(AutomationStringsReleased(), released);
  EXPECT_TRUE(Snapshot() == before);
}

}  // namespace
