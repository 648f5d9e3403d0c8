// Binds the built library by name and by ordinal, reports what cannot be
// bound, finds the library beside a host, and checks who releases paths.
#include "host/binding/library_binding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#ifndef _WIN32
#include "automation/automation_stats.h"
#endif
#include "host/binding/host_strings.h"

namespace mirn::host {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

// The loader's own reasons for a missing file and a missing export.
#ifdef _WIN32
constexpr const char* kNoFile = "(126)";     // ERROR_MOD_NOT_FOUND
constexpr const char* kNoExport = "(127)";   // ERROR_PROC_NOT_FOUND
#else
constexpr const char* kNoFile = "No such file";
constexpr const char* kNoExport = "undefined symbol";
#endif
constexpr const char* kFileName = MIRN_LIBRARY_FILE_NAME;

std::vector<void*> Addresses(const Exports& e) {
  return {reinterpret_cast<void*>(e.SoundRecordStart), reinterpret_cast<void*>(e.SoundRecordStop),
          reinterpret_cast<void*>(e.SoundRecordPlay),  reinterpret_cast<void*>(e.SoundRecordSave),
          reinterpret_cast<void*>(e.SoundRecordLoad),  reinterpret_cast<void*>(e.ToneCreate),
          reinterpret_cast<void*>(e.DLLStop)};
}

// A scratch folder of this test process, removed afterwards.
class ScratchDir {
 public:
  ScratchDir()
      : path_(fs::temp_directory_path() / ("mirn-binding-" + std::to_string(getpid()))) {
    fs::create_directories(path_);
  }
  ~ScratchDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void Touch(const fs::path& file) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << "not a library\n";
}

TEST(LibraryBinding, NameAndOrdinalBindTheSameFunctions) {
  std::string error;
  auto by_name = LibraryBinding::Open(MIRN_LIBRARY_PATH, BindBy::kName, &error);
  ASSERT_NE(by_name, nullptr) << error;
  auto by_ordinal = LibraryBinding::Open(MIRN_LIBRARY_PATH, BindBy::kOrdinal, &error);
  ASSERT_NE(by_ordinal, nullptr) << error;

  const auto named = Addresses(by_name->exports());
  EXPECT_EQ(named, Addresses(by_ordinal->exports()));
  for (void* address : named) EXPECT_NE(address, nullptr);

  // The bound pointers reach the library's code.
  EXPECT_EQ(by_ordinal->exports().SoundRecordStop(), 2);
  EXPECT_EQ(by_ordinal->exports().DLLStop(), 0);

  // Unloading and loading again binds afresh.
  by_name.reset();
  by_ordinal.reset();
  auto again = LibraryBinding::Open(MIRN_LIBRARY_PATH, BindBy::kOrdinal, &error);
  ASSERT_NE(again, nullptr) << error;
  EXPECT_EQ(again->exports().SoundRecordStop(), 2);
}

TEST(LibraryBinding, UnloadableFileIsReported) {
  std::string error;
  const std::string missing = std::string("/nonexistent-mirn-dir/") + kFileName;
  EXPECT_EQ(LibraryBinding::Open(missing, BindBy::kName, &error), nullptr);
  EXPECT_THAT(error, HasSubstr("cannot load " + missing));
  EXPECT_THAT(error, HasSubstr(kNoFile));

  ScratchDir scratch;
  const fs::path not_elf = scratch.path() / kFileName;
  Touch(not_elf);
  EXPECT_EQ(LibraryBinding::Open(not_elf.string(), BindBy::kOrdinal, &error), nullptr);
  EXPECT_THAT(error, HasSubstr("cannot load " + not_elf.string() + ": "));

  // Without an error string a failure is still just null.
  EXPECT_EQ(LibraryBinding::Open(missing, BindBy::kName, nullptr), nullptr);
}

TEST(LibraryBinding, MissingExportIsReported) {
  std::string error;
  EXPECT_EQ(LibraryBinding::Open(MIRN_PARTIAL_LIBRARY_PATH, BindBy::kName, &error), nullptr);
  EXPECT_THAT(error, HasSubstr(MIRN_PARTIAL_LIBRARY_PATH ": export SoundRecordLoad not found: "));
  EXPECT_THAT(error, HasSubstr(kNoExport));

  EXPECT_EQ(LibraryBinding::Open(MIRN_PARTIAL_LIBRARY_PATH, BindBy::kOrdinal, &error), nullptr);
  EXPECT_THAT(error, HasSubstr(MIRN_PARTIAL_LIBRARY_PATH
                               ": export ordinal 5 (SoundRecordLoad) not found: "));
}

TEST(LibraryBinding, LibraryIsFoundBesideTheHostThenInLib) {
  ScratchDir scratch;
  const fs::path bin = scratch.path() / "bin";
  fs::create_directories(bin);
  const std::string name = MIRN_LIBRARY_FILE_NAME;  // libMirnDLL.so.1, MirnDLL.dll
  EXPECT_EQ(LibraryPathNear(bin), name);  // left to the loader's search

  // The unversioned link belongs to builds, not to what a host loads.
  Touch(bin / "libMirnDLL.so");
  EXPECT_EQ(LibraryPathNear(bin), name);

  Touch(scratch.path() / "lib" / name);
  EXPECT_EQ(LibraryPathNear(bin), (scratch.path() / "lib" / name).string());

  Touch(bin / name);
  EXPECT_EQ(LibraryPathNear(bin), (bin / name).string());
}

#ifndef _WIN32  // OLEAUT32 counts nothing
// Paths handed to the library are released by it, through the one allocator
// the host also uses, exactly once per call.
TEST(LibraryBinding, LibraryReleasesEachPathOnce) {
  std::string error;
  auto binding = LibraryBinding::Open(MIRN_LIBRARY_PATH, BindBy::kOrdinal, &error);
  ASSERT_NE(binding, nullptr) << error;
  const Exports& mirn = binding->exports();
  ScratchDir scratch;
  const std::string file = (scratch.path() / "take.wav").string();

  const auto allocated = AutomationStringsAllocated();
  const auto released = AutomationStringsReleased();
  mirn.SoundRecordSave(NewAutomationString(file), 8000);
  EXPECT_EQ(AutomationStringsReleased(), released + 1);
  mirn.SoundRecordLoad(NewAutomationString(file));
  EXPECT_EQ(AutomationStringsReleased(), released + 2);
  mirn.SoundRecordLoad(NewAutomationString("/nonexistent-mirn-dir/take.wav"));
  EXPECT_EQ(AutomationStringsReleased(), released + 3);

  EXPECT_EQ(mirn.SoundRecordLoad(nullptr), MIRNDLL_FILE_FAILED);
  EXPECT_EQ(AutomationStringsReleased(), released + 3);
  EXPECT_EQ(AutomationStringsAllocated(), allocated + 3);
}
#endif

}  // namespace
}  // namespace mirn::host
