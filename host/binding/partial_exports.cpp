// A library for the binding tests that exports six of the seven functions:
// SoundRecordLoad (ordinal 5) is missing.
#include <cstdint>

#ifdef _WIN32  // exported by partial_exports.def
#define PARTIAL_EXPORT extern "C"
#else
#define PARTIAL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PARTIAL_EXPORT std::int32_t SoundRecordStart() { return 1; }
PARTIAL_EXPORT std::int32_t SoundRecordStop() { return 2; }
PARTIAL_EXPORT std::int32_t SoundRecordPlay(std::int32_t) { return 3; }
PARTIAL_EXPORT std::int32_t SoundRecordSave(char16_t*, std::int32_t) { return 0; }
PARTIAL_EXPORT std::int32_t ToneCreate(std::int32_t) { return 1; }
PARTIAL_EXPORT std::int32_t DLLStop() { return 0; }
