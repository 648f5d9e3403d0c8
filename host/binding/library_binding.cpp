// The host binding: dlopen, then one dlsym per export. ELF has no ordinals, so
// an ordinal is turned into its name through the build's export table, the
// same table the Windows module-definition file is made from.
#include "host/binding/library_binding.h"

#include <dlfcn.h>

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

// dlsym of one export; on failure says what was looked for and why.
void* Lookup(void* handle, const std::string& path, const char* name, int ordinal,
             std::string* error) {
  dlerror();  // clear any earlier error so the one below is ours
  void* symbol = dlsym(handle, name);
  if (symbol != nullptr) return symbol;
  if (error != nullptr) {
    const char* reason = dlerror();
    *error = path + ": export " +
             (ordinal > 0 ? "ordinal " + std::to_string(ordinal) + " (" + name + ")"
                          : std::string(name)) +
             " not found: " + (reason != nullptr ? reason : "null address");
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
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    if (error != nullptr) {
      const char* reason = dlerror();
      *error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown error");
    }
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
    dlclose(handle);
    return nullptr;
  }
  return std::unique_ptr<LibraryBinding>(new LibraryBinding(handle, path, exports));
}

LibraryBinding::LibraryBinding(void* handle, std::string path, const Exports& exports)
    : handle_(handle), path_(std::move(path)), exports_(exports) {}

LibraryBinding::~LibraryBinding() { dlclose(handle_); }

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
  std::error_code failed;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", failed);
  if (failed) return MIRN_LIBRARY_FILE_NAME;
  return LibraryPathNear(executable.parent_path());
}

}  // namespace mirn::host
