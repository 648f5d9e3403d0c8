/* A host built from an installed copy of MirnDLL alone (pkg-config mirndll or
   the CMake package, no source tree): saves and loads an empty recording at
   the UTF-8 path given, which may hold any character. */
#include <stdio.h>

#include <MirnDLL.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE.wav\n", argv[0]);
    return 2;
  }
  const int32_t stop = SoundRecordStop();
  const int32_t saved = SoundRecordSave(AutomationStringFromUtf8(argv[1]), 8000);
  const int32_t loaded = SoundRecordLoad(AutomationStringFromUtf8(argv[1]));
  const int32_t end = DLLStop();
  printf("stop %d, saved %d, loaded %d, end %d\n", (int)stop, (int)saved, (int)loaded, (int)end);
  return stop == 2 && saved == 0 && loaded == 0 && end == 0 ? 0 : 1;
}
