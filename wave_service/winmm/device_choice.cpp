// Resolving the environment's device name or number among the devices there are.
#include "wave_service/winmm/device_choice.h"

#include <cstdlib>

namespace wave_service {

namespace {

constexpr std::size_t kNameSize = 256;  // winmm's own names stop at 32

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (Lower(*a) != Lower(*b)) return false;
  }
  return *a == *b;
}

// The number `text` spells in decimal digits only; false for anything else
// or a number past any device's.
bool DeviceNumber(const char* text, std::uint32_t& number) {
  std::uint64_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(*c - '0');
    if (value > 0xFFFF'FFFFu) value = 0xFFFF'FFFFu;  // no device; still digits
  }
  number = static_cast<std::uint32_t>(value);
  return true;
}

const char* Nonempty(const char* value) { return value != nullptr && *value != '\0' ? value : nullptr; }

}  // namespace

const char* NamedDevice(Direction direction) {
  const char* own =
      std::getenv(direction == Direction::kInput ? "MIRN_CAPTURE_PCM" : "MIRN_PLAYBACK_PCM");
  if (Nonempty(own) != nullptr) return own;
  return Nonempty(std::getenv("MIRN_PCM"));
}

DeviceChoice ChooseDevice(const char* named, std::uint32_t count, DeviceNameAt name_at,
                          void* context) {
  if (Nonempty(named) == nullptr) return {};
  std::uint32_t number = 0;
  if (DeviceNumber(named, number)) {
    if (number < count) return {DeviceChoice::Kind::kDevice, number};
    return {DeviceChoice::Kind::kMissing, 0};
  }
  for (std::uint32_t index = 0; index < count; ++index) {
    char name[kNameSize] = {};
    if (name_at(context, index, name, sizeof name) && SameName(name, named)) {
      return {DeviceChoice::Kind::kDevice, index};
    }
  }
  return {DeviceChoice::Kind::kMissing, 0};
}

}  // namespace wave_service
