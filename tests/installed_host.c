/* A host built from an installed copy of MirnDLL alone (pkg-config mirndll,
   no source tree): saves and loads an empty recording at the path given. */
#include <stdio.h>
#include <string.h>

#include <MirnDLL.h>

static AutomationString Path(const char* text) {
  AutomationChar wide[256] = {0};
  for (size_t i = 0; text[i] != '\0' && i + 1 < sizeof wide / sizeof wide[0]; ++i) {
    wide[i] = (AutomationChar)(unsigned char)text[i];
  }
  return SysAllocString(wide);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE.wav\n", argv[0]);
    return 2;
  }
  const int32_t stop = SoundRecordStop();
  const int32_t saved = SoundRecordSave(Path(argv[1]), 8000);
  const int32_t loaded = SoundRecordLoad(Path(argv[1]));
  const int32_t end = DLLStop();
  printf("stop %d, saved %d, loaded %d, end %d\n", (int)stop, (int)saved, (int)loaded, (int)end);
  return stop == 2 && saved == 0 && loaded == 0 && end == 0 ? 0 : 1;
}
