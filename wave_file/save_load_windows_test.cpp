// SoundRecordSave and SoundRecordLoad on Windows, on the platform's own
// parts: stdio streams that translate in text mode, paths converted to the
// ANSI code page, and OLEAUT32's strings, whose release is seen through the
// task allocator's spy (with OLEAUT32's string cache off: OANOCACHE=1).
#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "MirnDLL.h"
#include "library/sound_state.h"
#include "wave_file/file_access.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using mirn::g_sound_state;

// Counts the task allocator's frees: SysFreeString frees a string's block
// through it.
class FreeCounter final : public IMallocSpy {
 public:
  std::atomic<int> frees{0};

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IMallocSpy) return E_NOINTERFACE;
    *out = this;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return size; }
  void* STDMETHODCALLTYPE PostAlloc(void* block) override { return block; }
  void* STDMETHODCALLTYPE PreFree(void* block, BOOL) override {
    if (block != nullptr) ++frees;
    return block;
  }
  void STDMETHODCALLTYPE PostFree(BOOL) override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** out, BOOL) override {
    *out = block;
    return size;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) override { return block; }
  void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
  void STDMETHODCALLTYPE PreHeapMinimize() override {}
  void STDMETHODCALLTYPE PostHeapMinimize() override {}
};

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The whole state as bytes, to show that a call changed nothing.
Bytes Snapshot() {
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&g_sound_state);
  return Bytes(raw, raw + sizeof g_sound_state);
}

class WindowsWaveFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&g_sound_state, 0, sizeof g_sound_state);
    dir_ = fs::temp_directory_path() / ("mirn-wf-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(dir_);
    ASSERT_EQ(CoRegisterMallocSpy(&spy_), S_OK);
  }
  void TearDown() override {
    wave_file::ClearFileFaults();
    CoRevokeMallocSpy();
    fs::remove_all(dir_);
  }

  // Each call hands over a fresh string and must release exactly it.
  std::int32_t Save(const fs::path& path, std::int32_t rate) {
    const int frees = spy_.frees;
    const std::int32_t result = SoundRecordSave(SysAllocString(path.wstring().c_str()), rate);
    EXPECT_EQ(spy_.frees, frees + 1) << "path not released once";
    return result;
  }
  std::int32_t Load(const fs::path& path) {
    const int frees = spy_.frees;
    const std::int32_t result = SoundRecordLoad(SysAllocString(path.wstring().c_str()));
    EXPECT_EQ(spy_.frees, frees + 1) << "path not released once";
    return result;
  }

  std::vector<fs::path> Names() const {
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
    return names;
  }

  fs::path dir_;
  FreeCounter spy_;
};

TEST_F(WindowsWaveFiles, EveryByteSurvivesSaveAndLoad) {
  // Bytes a text-mode stream would change: CR LF becomes LF, 0x1A ends the
  // file, and 0x00 and 0xFF for good measure.
  const Bytes samples = {'a', '\r', '\n', 'b', 0x1A, 'c', '\n', '\r', 0x00, 0xFF, 0x1A, '\r'};
  std::memcpy(g_sound_state.SampleBuffer, samples.data(), samples.size());
  g_sound_state.PositionRecord.bytes = static_cast<std::uint32_t>(samples.size());
  const fs::path file = dir_ / "take.wav";
  ASSERT_EQ(Save(file, 8000), static_cast<std::int32_t>(samples.size()));

  const Bytes saved = ReadFile(file);
  ASSERT_EQ(saved.size(), 52 + samples.size());
  EXPECT_EQ(Bytes(saved.begin() + 52, saved.end()), samples);

  std::memset(&g_sound_state, 0x5A, sizeof g_sound_state);
  ASSERT_EQ(Load(file), static_cast<std::int32_t>(samples.size()));
  EXPECT_EQ(Bytes(g_sound_state.SampleBuffer, g_sound_state.SampleBuffer + samples.size()),
            samples);
  EXPECT_EQ(g_sound_state.RecordedLength, samples.size());
}

TEST_F(WindowsWaveFiles, PathsTheCodePageCannotSpellAreRefusedAndReleased) {
  if (GetACP() != 1252) GTEST_SKIP() << "written for code page 1252, not " << GetACP();
  // U+00E9 is in the code page: the file gets exactly that name.
  const fs::path accented = dir_ / L"caf\u00E9.wav";
  EXPECT_EQ(Save(accented, 8000), 0);
  EXPECT_TRUE(fs::exists(accented));
  EXPECT_EQ(Load(accented), 0);
  fs::remove(accented);

  // U+03A9 would become 'O' best-fit, U+65E5 U+672C the default '?': either
  // would name another file. Refused, released, and nothing created.
  for (const wchar_t* name : {L"\u03A9.wav", L"\u65E5\u672C.wav"}) {
    EXPECT_EQ(Save(dir_ / name, 8000), -1) << "saved under another name";
    EXPECT_EQ(Load(dir_ / name), -1);
  }
  EXPECT_TRUE(fs::is_empty(dir_));
  EXPECT_FALSE(fs::exists(dir_ / "O.wav"));
}

TEST_F(WindowsWaveFiles, AFailedSaveKeepsTheOldFileAndLeavesNoOther) {
  for (std::uint32_t i = 0; i < 100'000; ++i) {
    g_sound_state.SampleBuffer[i] = static_cast<std::uint8_t>(i);
  }
  g_sound_state.PositionRecord.bytes = 100'000;
  const fs::path file = dir_ / "take.wav";
  ASSERT_EQ(Save(file, 8000), 100'000);
  const Bytes old = ReadFile(file);

  std::memset(g_sound_state.SampleBuffer, 0x33, 100'000);
  g_sound_state.PositionRecord.bytes = 90'000;
  using wave_file::FileStep;
  const std::pair<FileStep, std::uint32_t> faults[] = {
      {FileStep::kCreate, 0}, {FileStep::kWrite, 0}, {FileStep::kWrite, 5},
      {FileStep::kSync, 0},   {FileStep::kClose, 0}, {FileStep::kRename, 0}};
  for (const auto& [step, pass_first] : faults) {
    wave_file::InjectFileFault(step, pass_first);
    EXPECT_EQ(Save(file, 8000), -1) << "step " << int(step);
    EXPECT_TRUE(ReadFile(file) == old) << "step " << int(step);
    EXPECT_EQ(Names(), std::vector<fs::path>{"take.wav"}) << "step " << int(step);
  }
  wave_file::ClearFileFaults();

  // A read-only file is not replaced; once writable, a save replaces it whole.
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Save(file, 8000), -1);
  EXPECT_TRUE(ReadFile(file) == old);
  ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(Save(file, 8000), 90'000);
  EXPECT_EQ(ReadFile(file).size(), 90'052u);
  EXPECT_EQ(Names(), std::vector<fs::path>{"take.wav"});
}

TEST_F(WindowsWaveFiles, LoadRefusesFoldersDevicesAndPipesAtOnce) {
  // A pipe waiting for a client, the kind of source a load could wait on or
  // read a stream from.
  const std::wstring pipe_name = L"\\\\.\\pipe\\mirn-wf-" + std::to_wstring(GetCurrentProcessId());
  const HANDLE pipe = CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND,
                                       PIPE_TYPE_BYTE | PIPE_NOWAIT, 2, 4096, 4096, 0, nullptr);
  ASSERT_NE(pipe, INVALID_HANDLE_VALUE);

  std::memset(&g_sound_state, 0x5A, sizeof g_sound_state);
  const Bytes before = Snapshot();
  EXPECT_EQ(Load(dir_), -1);
  EXPECT_EQ(Load(L"NUL"), -1);
  EXPECT_EQ(Load(pipe_name), -1);
  EXPECT_EQ(Load(dir_ / "missing.wav"), -1);
  EXPECT_TRUE(Snapshot() == before) << "a refused load changed the state";
  CloseHandle(pipe);

  // A device is written as it stands, not replaced.
  g_sound_state.PositionRecord.bytes = 10;
  EXPECT_EQ(Save(L"NUL", 8000), 10);
  EXPECT_TRUE(fs::is_empty(dir_));
}

}  // namespace
