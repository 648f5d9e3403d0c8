/* Builds a plain C11 program against the public header, links it with the
   shipped library and checks the results that need no sound device. */
#include <stdio.h>
#include <stdint.h>

#include "MirnDLL.h"

static int failures = 0;

#define CHECK_EQ(actual, expected)                                              \
  do {                                                                          \
    long long actual_ = (actual), expected_ = (expected);                       \
    if (actual_ != expected_) {                                                 \
      fprintf(stderr, "%s:%d: %s is %lld, expected %lld\n", __FILE__, __LINE__, \
              #actual, actual_, expected_);                                     \
      ++failures;                                                               \
    }                                                                           \
  } while (0)

/* The prototypes a C host relies on; a changed signature stops the build
   (this file is built with incompatible pointer types as errors). */
static int32_t (MIRNDLL_CALL *const start_fn)(void) = SoundRecordStart;
static int32_t (MIRNDLL_CALL *const stop_fn)(void) = SoundRecordStop;
static int32_t (MIRNDLL_CALL *const play_fn)(int32_t) = SoundRecordPlay;
static int32_t (MIRNDLL_CALL *const save_fn)(AutomationString, int32_t) = SoundRecordSave;
static int32_t (MIRNDLL_CALL *const load_fn)(AutomationString) = SoundRecordLoad;
static int32_t (MIRNDLL_CALL *const tone_fn)(int32_t) = ToneCreate;
static int32_t (MIRNDLL_CALL *const end_fn)(void) = DLLStop;

static AutomationString PathString(const char* ascii) {
  AutomationChar wide[128];
  size_t i = 0;
  for (; ascii[i] != '\0' && i + 1 < sizeof wide / sizeof wide[0]; ++i) wide[i] = (AutomationChar)ascii[i];
  wide[i] = 0;
  return SysAllocString(wide);
}

int main(void) {
  (void)start_fn;

  /* Stopping needs no recording first, and repeats. */
  CHECK_EQ(stop_fn(), 2);
  CHECK_EQ(stop_fn(), 2);

  /* No output opens at a rate below 1, whatever device there is. */
  CHECK_EQ(play_fn(0), 33);
  CHECK_EQ(play_fn(-8000), 33);
  CHECK_EQ(tone_fn(0), 33);

  /* Failed file operations report -1; a null path is refused. */
  CHECK_EQ(load_fn(PathString("/nonexistent-mirn-dir/in.wav")), -1);
  CHECK_EQ(save_fn(PathString("/nonexistent-mirn-dir/out.wav"), 8000), -1);
  CHECK_EQ(load_fn(NULL), -1);

  /* The end-of-use call returns 0 and leaves every export usable. */
  CHECK_EQ(end_fn(), 0);
  CHECK_EQ(stop_fn(), 2);
  CHECK_EQ(play_fn(0), 33);
  CHECK_EQ(end_fn(), 0);

  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  puts("C header checks passed");
  return 0;
}
