// The host binding: dlopen, then one dlsym per export. ELF has no ordinals, so
// an ordinal is turned into its name through the build's export table, the
// same table the Windows module-definition file is made from. On Windows:
// LoadLibrary, then GetProcAddress by name or by the ordinal itself.
#include "host/binding/library_binding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <iterator>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

#include "export_table.h"

namespace mirn::host {
namespace {

// Stores a looked-up symbol into one member of Exports with its own type.
template <auto Member>
void Assign(Exports& exports, void* symbol) {
  using Pointer = std::remove_reference_t<decltype(exports.*Member)>;
  exports.*Member = reinterpret_cast<Pointer>(symbol);
}

struct Slot {
  const char* name;
  void (*assign)(Exports&, void*);
};

#define MIRN_EXPORT_SLOT(name) Slot{#name, &Assign<&Exports::name>}
constexpr Slot kSlots[] = {
    MIRN_EXPORT_SLOT(SoundRecordStart), MIRN_EXPORT_SLOT(SoundRecordStop),
    MIRN_EXPORT_SLOT(SoundRecordPlay),  MIRN_EXPORT_SLOT(SoundRecordSave),
    MIRN_EXPORT_SLOT(SoundRecordLoad),  MIRN_EXPORT_SLOT(ToneCreate),
    MIRN_EXPORT_SLOT(DLLStop),
};
#undef MIRN_EXPORT_SLOT

constexpr const Slot* SlotNamed(std::string_view name) {
  for (const Slot& slot : kSlots) {
    if (name == slot.name) return &slot;
  }
  return nullptr;
}

// Every ordinal of the export table has a slot, so binding by ordinal fills
// every member just as binding by name does.
constexpr bool EveryOrdinalHasASlot() {
  for (const ExportEntry& entry : kExports) {
    if (SlotNamed(entry.name) == nullptr) return false;
  }
  return true;
}
static_assert(std::size(kSlots) == kExportCount && EveryOrdinalHasASlot(),
              "Exports and the export table name different functions");

// The platform's loader: load, look up by name or ordinal, unload, and its
// reason for the last failure.
#ifdef _WIN32
std::string LoaderError() {
  const DWORD code = GetLastError();
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, text, sizeof text, nullptr);
  std::string reason(text, length);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  return (reason.empty() ? "error" : reason) + " (" + std::to_string(code) + ")";
}
void* LoadModule(const std::string& path) { return LoadLibraryA(path.c_str()); }
void* FindExport(void* handle, const char* name, int ordinal) {
  // An ordinal is looked up as the ordinal itself, not through its name.
  const char* key = ordinal > 0 ? MAKEINTRESOURCEA(ordinal) : name;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), key));
}
void UnloadModule(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
#else
std::string LoaderError() {
  const char* reason = dlerror();
  return reason != nullptr ? reason : "unknown error";
}
void* LoadModule(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* FindExport(void* handle, const char* name, int) {
  dlerror();  // clear any earlier error so the one reported is ours
  return dlsym(handle, name);
}
void UnloadModule(void* handle) { dlclose(handle); }
#endif

// One export; on failure says what was looked for and why.
void* Lookup(void* handle, const std::string& path, const char* name, int ordinal,
             std::string* error) {
  void* symbol = FindExport(handle, name, ordinal);
  if (symbol != nullptr) return symbol;
  if (error != nullptr) {
    *error = path + ": export " +
             (ordinal > 0 ? "ordinal " + std::to_string(ordinal) + " (" + name + ")"
                          : std::string(name)) +
             " not found: " + LoaderError();
  }
  return nullptr;
}

}  // namespace

const char* ExportName(int ordinal) {
  for (const ExportEntry& entry : kExports) {
    if (entry.ordinal == ordinal) return entry.name;
  }
  return nullptr;
}

std::unique_ptr<LibraryBinding> LibraryBinding::Open(const std::string& path, BindBy by,
                                                     std::string* error) {
  void* handle = LoadModule(path);
  if (handle == nullptr) {
    if (error != nullptr) *error = "cannot load " + path + ": " + LoaderError();
    return nullptr;
  }

  Exports exports;
  bool bound = true;
  if (by == BindBy::kName) {
    for (const Slot& slot : kSlots) {
      void* symbol = Lookup(handle, path, slot.name, 0, error);
      if (symbol == nullptr) { bound = false; break; }
      slot.assign(exports, symbol);
    }
  } else {
    for (int ordinal = 1; ordinal <= kExportCount; ++ordinal) {
      const char* name = ExportName(ordinal);
      void* symbol = Lookup(handle, path, name, ordinal, error);
      if (symbol == nullptr) { bound = false; break; }
      SlotNamed(name)->assign(exports, symbol);
    }
  }
  if (!bound) {
    UnloadModule(handle);
    return nullptr;
  }
  return std::unique_ptr<LibraryBinding>(new LibraryBinding(handle, path, exports));
}

LibraryBinding::LibraryBinding(void* handle, std::string path, const Exports& exports)
    : handle_(handle), path_(std::move(path)), exports_(exports) {}

LibraryBinding::~LibraryBinding() { UnloadModule(handle_); }

std::string LibraryPathNear(const std::filesystem::path& executable_dir) {
  const std::filesystem::path candidates[] = {
      executable_dir / MIRN_LIBRARY_FILE_NAME,
      (executable_dir / ".." / "lib" / MIRN_LIBRARY_FILE_NAME).lexically_normal(),
  };
  for (const auto& candidate : candidates) {
    std::error_code ignored;
    if (std::filesystem::is_regular_file(candidate, ignored)) return candidate.string();
  }
  return MIRN_LIBRARY_FILE_NAME;
}

std::string DefaultLibraryPath() {
#ifdef _WIN32
  wchar_t executable[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, executable, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return MIRN_LIBRARY_FILE_NAME;
  return LibraryPathNear(std::filesystem::path(executable).parent_path());
#else
  std::error_code failed;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", failed);
  if (failed) return MIRN_LIBRARY_FILE_NAME;
  return LibraryPathNear(executable.parent_path());
#endif
}

}  // namespace mirn::host
