/* MirnDLL: a sound recorder behind seven exported C functions. Records 8-bit
   mono PCM at 8,000 samples/s into one 1,600,000-byte store, plays it back at
   any rate, replays it as a tone and saves or loads it as a WAVE file. */
#ifndef MIRNDLL_H
#define MIRNDLL_H

#include <stdint.h>

#include "automation_strings.h"

#if defined(_WIN32)
#ifdef MIRNDLL_BUILDING
#define MIRNDLL_API __declspec(dllexport)
#else
#define MIRNDLL_API __declspec(dllimport)
#endif
#else
#define MIRNDLL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Ordinal 1. Clears the store and starts recording into it at 8,000 samples/s,
   stopping any earlier recording first. Returns 1. */
MIRNDLL_API int32_t SoundRecordStart(void);
/* Ordinal 2. Stops the recording and keeps its length. Returns 2. */
MIRNDLL_API int32_t SoundRecordStop(void);
/* Ordinal 3. Plays the recording at rate samples/s. Returns 3, or 33 when no
   wave output could be opened. */
MIRNDLL_API int32_t SoundRecordPlay(int32_t rate);
/* Ordinal 4. Saves the recording as a WAVE file marked with rate. The path is
   released by the library. Returns the bytes saved, or -1 when the file could
   not be written. */
MIRNDLL_API int32_t SoundRecordSave(AutomationString path, int32_t rate);
/* Ordinal 5. Loads a WAVE file saved by SoundRecordSave. The path is released
   by the library. Returns the bytes loaded, or -1 when nothing was loaded. */
MIRNDLL_API int32_t SoundRecordLoad(AutomationString path);
/* Ordinal 6. Plays the store at rate, then replays it at 8,000 samples/s.
   Returns 1, or 33 when no wave output could be opened at rate. */
MIRNDLL_API int32_t ToneCreate(int32_t rate);
/* Ordinal 7. The host's end-of-use call. Returns 0; the library stays usable. */
MIRNDLL_API int32_t DLLStop(void);

#ifdef __cplusplus
}
#endif

#endif
