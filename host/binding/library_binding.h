// Loads libMirnDLL.so at run time and binds its seven exports, by name or by
// the ordinals that the Windows build exports them under.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "MirnDLL.h"

namespace mirn::host {

enum class BindBy { kName, kOrdinal };

// One pointer per export, typed from the public header.
struct Exports {
  decltype(&::SoundRecordStart) SoundRecordStart = nullptr;
  decltype(&::SoundRecordStop) SoundRecordStop = nullptr;
  decltype(&::SoundRecordPlay) SoundRecordPlay = nullptr;
  decltype(&::SoundRecordSave) SoundRecordSave = nullptr;
  decltype(&::SoundRecordLoad) SoundRecordLoad = nullptr;
  decltype(&::ToneCreate) ToneCreate = nullptr;
  decltype(&::DLLStop) DLLStop = nullptr;
};

// A loaded library with every export bound. The library stays loaded for the
// binding's lifetime; destroying it unloads the library.
class LibraryBinding {
 public:
  // Loads the library at path (dlopen with RTLD_NOW | RTLD_LOCAL) and binds
  // all exports. As with dlopen, a path without a slash is looked up by the
  // dynamic loader rather than in the current folder. On failure returns null and, when error is not null, says
  // which file and which export failed and why.
  static std::unique_ptr<LibraryBinding> Open(const std::string& path, BindBy by,
                                              std::string* error);

  ~LibraryBinding();
  LibraryBinding(const LibraryBinding&) = delete;
  LibraryBinding& operator=(const LibraryBinding&) = delete;

  const Exports& exports() const { return exports_; }
  const std::string& path() const { return path_; }

 private:
  LibraryBinding(void* handle, std::string path, const Exports& exports);

  void* handle_;
  std::string path_;
  Exports exports_;
};

// The name of the export with this ordinal (1 to 7), or null.
const char* ExportName(int ordinal);

// Where to load the library from: next to the running executable, then in
// ../lib beside its folder, else the bare file name for the dynamic loader's
// own search.
std::string DefaultLibraryPath();
// The same search starting from a given executable folder.
std::string LibraryPathNear(const std::filesystem::path& executable_dir);

}  // namespace mirn::host
