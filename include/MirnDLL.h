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

/* The calling convention of the exports: on 32-bit x86 Windows the
   platform's standard one for DLL entry points (__stdcall, exported under
   the plain names), which automation hosts expect; the compiler's own
   elsewhere. */
#if defined(_WIN32) && defined(__i386__) || defined(_M_IX86)
#define MIRNDLL_CALL __stdcall
#else
#define MIRNDLL_CALL
#endif

/* The library's numbers, for hosts that check its results or wait for its
   sound. */
#define MIRNDLL_RECORDING_RATE 8000  /* samples/s of a recording, 8-bit mono */
#define MIRNDLL_STORE_BYTES 1600000  /* the store: 200 s at the recording rate */
#define MIRNDLL_TONE_SCALE 11025     /* ToneCreate's replay: its length times this / rate */
#define MIRNDLL_MAX_PATH_BYTES 99    /* the longest narrow path a save or load takes */
#define MIRNDLL_NO_OUTPUT 33         /* SoundRecordPlay, ToneCreate: no wave output opened */
#define MIRNDLL_FILE_FAILED (-1)     /* SoundRecordSave, SoundRecordLoad: the file failed */

#ifdef __cplusplus
extern "C" {
#endif

/* The contract for every call:
   - Calls must not overlap: the library takes no locks, and every call works
     on one shared store. Call from one thread at a time.
   - A path is an automation string from this allocator (SysAllocString,
     SysAllocStringLen or AutomationStringFromUtf8 in automation_strings.h).
     The library releases it with SysFreeString during the call, whatever
     the outcome: never use or release it afterwards. Its narrow form (UTF-8;
     on Windows the ANSI code page) may be at most 99 bytes; a longer or null
     path fails with -1, as on Windows does a path that code page cannot
     represent exactly.
   - Calls may come in any order and any number of times; none needs an
     initialisation call first. Sound runs on the wave service's own threads
     between calls; no call waits for a device to finish.
   - One sound at a time: what a play or a tone replay plays replaces what an
     earlier one still plays, and the passes of one call play one after
     another, a pass over the same bytes at the same rate as the one before
     it heard once.
   - The library may be unloaded at any moment, also right after a call while
     sound runs: once the unload returns, nothing reads or writes the
     library's memory again. The wave service (libMirnWave) is never unloaded:
     its threads stop the library's sound, close their devices and end on
     their own, within about a second where the sound server answers. A
     library loaded again starts afresh (its store zeroed); it may find
     devices the service still keeps open, which it then uses. On Windows,
     for now, MirnDLL.dll holds the service itself and stays loaded once it
     has used a device: a FreeLibrary then leaves its sound running, and a
     LoadLibrary after it gets the same library and store, not a zeroed one. */

/* Ordinal 1. Clears the store, stops and closes any earlier recording, and
   starts recording into the store at 8,000 samples/s, 8-bit mono; the device
   fills it while the host waits, for at most 200 s. Returns 1, also when no
   input device opened (the recording then records nothing). */
MIRNDLL_API int32_t MIRNDLL_CALL SoundRecordStart(void);
/* Ordinal 2. Stops the recording, keeps the length recorded and closes the
   input. Returns 2, also when no recording was running. */
MIRNDLL_API int32_t MIRNDLL_CALL SoundRecordStop(void);
/* Ordinal 3. Plays the store's recorded (or loaded) bytes at rate
   samples/s, closing the output of any earlier play first. Its two passes
   are one after another; after a stop or a load both play the same bytes,
   heard once. Returns at once with 3 while the device plays, and never says
   when the sound has ended: a host that must wait waits the bytes divided by
   rate. Returns 33 when a wave output could not be opened at rate; nothing
   plays then. */
MIRNDLL_API int32_t MIRNDLL_CALL SoundRecordPlay(int32_t rate);
/* Ordinal 4. Saves the recording as a WAVE file with a 52-byte header (a
   24-byte format chunk: 8-bit mono PCM, rate written into the header as
   given, which need not be the 8,000 samples/s it was recorded at), then the
   samples. Releases path. Returns the bytes of samples saved, or -1 when the
   path is null or too long or the file could not be written in full. */
MIRNDLL_API int32_t MIRNDLL_CALL SoundRecordSave(AutomationString path, int32_t rate);
/* Ordinal 5. Loads a file saved by SoundRecordSave into the store, for the
   next play. Only the data size at byte offset 48 of the 52-byte header is
   read, and the samples from offset 52: no tag, format or rate is examined,
   so a file of another layout (a common 44-byte header) loads as whatever
   lies there. At most the store's 1,600,000 bytes and never past the file's
   end are read. Releases path. Returns the bytes loaded, or -1 (the store
   unchanged) when the path is null or too long or no 52-byte header could
   be read. */
MIRNDLL_API int32_t MIRNDLL_CALL SoundRecordLoad(AutomationString path);
/* Ordinal 6. The tone replay: plays the store at rate, then replays it at
   8,000 samples/s, first over its length scaled by 11025 / rate (whole
   division; at most the store) and then over its recorded length (a
   SoundRecordPlay(8000)), one after another. Returns at once with 1, with no
   notice of the end, or 33 when the output could not be opened at rate. */
MIRNDLL_API int32_t MIRNDLL_CALL ToneCreate(int32_t rate);
/* Ordinal 7. The host's end-of-use call. Returns 0; the library stays
   usable, and its sound stops when it is unloaded or the process exits. */
MIRNDLL_API int32_t MIRNDLL_CALL DLLStop(void);

#ifdef __cplusplus
}
#endif

#endif
