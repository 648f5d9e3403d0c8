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

class WindowsWaveFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&g_sound_state, 0, sizeof g_sound_state);
    dir_ = fs::temp_directory_path() / ("mirn-wf-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(dir_);
    ASSERT_EQ(CoRegisterMallocSpy(&spy_), S_OK);
  }
  void TearDown() override {
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

}  // namespace
