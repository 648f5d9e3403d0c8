/* A plain C host that loads the library as hosts do (the automation library
   with RTLD_GLOBAL, then libMirnDLL with RTLD_LOCAL), calls one export while
   sound runs and unloads the library, or exits, right after it. Being C, it
   has no libstdc++ of its own loaded first, as a C++ host would: the library
   must not depend on that.

     mirn_unload_host AUTOMATION_LIBRARY MIRN_LIBRARY EXPORT unload|exit [ROUNDS]

   EXPORT is one of start, stop, play, tone, save, load, dllstop; each is
   called in the state that makes its unload hardest (stop, save during a
   take; play, tone, load, dllstop while a play runs). With "unload", ROUNDS
   rounds (20 unless given) each load the library, call the export and
   unload it; then no thread of the library may remain after 3 s, and a
   library loaded again must record and play. With "exit", the process exits
   with the library loaded. Exits 0 when all went well; a crash or a hang
   (left to the test's timeout) fails. */
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "MirnDLL.h"

typedef int32_t (*Call)(void);
typedef int32_t (*RateCall)(int32_t);
typedef int32_t (*PathCall)(AutomationString);
typedef int32_t (*SaveCall)(AutomationString, int32_t);
typedef AutomationString (*MakeString)(const char*);

static const char* g_library;
static MakeString g_make_string;
static char g_take[512];    /* a file the whole store long, for the loads */
static char g_saved[512];   /* where saves go */

struct Exports {
  void* handle;
  Call start, stop, dllstop;
  RateCall play, tone;
  SaveCall save;
  PathCall load;
};

static void Fail(const char* what) {
  fprintf(stderr, "mirn_unload_host: %s\n", what);
  exit(1);
}

/* Sets the function pointer at `function` to the library's `name`, through
   its bytes: ISO C has no cast from dlsym's object pointer to a function's. */
static void Bind(void* handle, const char* name, void* function) {
  void* symbol = dlsym(handle, name);
  if (symbol == NULL) Fail(name);
  memcpy(function, &symbol, sizeof symbol);
}

static struct Exports Load(void) {
  struct Exports e;
  e.handle = dlopen(g_library, RTLD_NOW | RTLD_LOCAL);
  if (e.handle == NULL) Fail(dlerror());
  Bind(e.handle, "SoundRecordStart", &e.start);
  Bind(e.handle, "SoundRecordStop", &e.stop);
  Bind(e.handle, "SoundRecordPlay", &e.play);
  Bind(e.handle, "SoundRecordSave", &e.save);
  Bind(e.handle, "SoundRecordLoad", &e.load);
  Bind(e.handle, "ToneCreate", &e.tone);
  Bind(e.handle, "DLLStop", &e.dllstop);
  return e;
}

static int Threads(void) {
  /* The kernel's own count: a listing of /proc/self/task can miss an entry
     while other threads end, and so read low. */
  FILE* status = fopen("/proc/self/status", "r");
  if (status == NULL) return -1;
  char line[256];
  int count = -1;
  while (count < 0 && fgets(line, sizeof line, status) != NULL) {
    if (sscanf(line, "Threads: %d", &count) != 1) count = -1;
  }
  fclose(status);
  return count;
}

/* Whether the loader still has the library loaded (its file may stay mapped
   for other reasons: ThreadSanitizer maps files it reads symbols from). */
static int Loaded(const char* path) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle != NULL) dlclose(handle);
  return handle != NULL;
}

static void Wait(int millis) {
  const struct timespec pause = {millis / 1000, (long)(millis % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

static int32_t LoadTake(const struct Exports* e) { return e->load(g_make_string(g_take)); }

/* The export `name`, in the state that makes an unload right after it
   hardest. */
static void CallExport(const struct Exports* e, const char* name) {
  if (strcmp(name, "start") == 0) {
    e->start();
  } else if (strcmp(name, "stop") == 0) {
    e->start();
    e->stop();
  } else if (strcmp(name, "save") == 0) {
    e->start();
    e->save(g_make_string(g_saved), 8000);
  } else if (strcmp(name, "play") == 0) {
    LoadTake(e);
    e->play(8000);
  } else if (strcmp(name, "tone") == 0) {
    LoadTake(e);
    e->tone(11025);
  } else if (strcmp(name, "load") == 0) {
    LoadTake(e);
    e->play(8000);
    LoadTake(e);
  } else if (strcmp(name, "dllstop") == 0) {
    LoadTake(e);
    e->play(8000);
    e->dllstop();
  } else {
    Fail("no such export");
  }
}

/* A library loaded again starts afresh: it records (within a few seconds,
   through a server that delivers in real time) and plays. */
static int RecordsAndPlays(void) {
  struct Exports e = Load();
  int32_t saved = 0;
  for (int attempt = 0; attempt < 15 && saved <= 0; ++attempt) {
    e.start();
    Wait(200);  /* time for the device to capture something */
    e.stop();
    saved = e.save(g_make_string(g_saved), 8000);
  }
  const int played = LoadTake(&e) == 1600000 && e.play(8000) == 3;
  dlclose(e.handle);
  if (saved <= 0) fprintf(stderr, "mirn_unload_host: a reload records nothing\n");
  if (!played) fprintf(stderr, "mirn_unload_host: a reload does not play\n");
  return saved > 0 && played;
}

/* Within 3 s, the library's threads are gone and the library is unmapped. */
static int LetGo(int threads_before) {
  int left = Threads() - threads_before;
  for (int waited = 0; left > 0 && waited < 3000; waited += 10) {
    Wait(10);
    left = Threads() - threads_before;
  }
  if (left > 0) {
    fprintf(stderr, "mirn_unload_host: %d threads left 3 s after the unload\n", left);
    return 0;
  }
  if (Loaded(g_library)) {
    fprintf(stderr, "mirn_unload_host: %s still loaded\n", g_library);
    return 0;
  }
  return 1;
}

static void* Nothing(void* unused) { return unused; }

int main(int argc, char** argv) {
  if (argc < 5 || (strcmp(argv[4], "unload") != 0 && strcmp(argv[4], "exit") != 0)) {
    fprintf(stderr, "usage: %s AUTOMATION_LIBRARY MIRN_LIBRARY EXPORT unload|exit [ROUNDS]\n",
            argv[0]);
    return 2;
  }
  g_library = argv[2];
  const char* name = argv[3];
  const int rounds = argc > 5 ? atoi(argv[5]) : 20;
  void* automation = dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL);
  if (automation == NULL) Fail(dlerror());
  Bind(automation, "AutomationStringFromUtf8", &g_make_string);

  char dir[] = "/tmp/mirn-unload-XXXXXX";
  if (mkdtemp(dir) == NULL) Fail("no temporary folder");
  snprintf(g_take, sizeof g_take, "%s/take.wav", dir);
  snprintf(g_saved, sizeof g_saved, "%s/saved.wav", dir);
  /* 52 header bytes, of which only the data size at offset 48 is read, then
     the whole store of samples a little off silence. */
  FILE* take = fopen(g_take, "wb");
  if (take == NULL) Fail("cannot write the take");
  unsigned char header[52] = {0};
  const uint32_t size = 1600000;
  for (int i = 0; i < 4; ++i) header[48 + i] = (unsigned char)(size >> (8 * i));
  fwrite(header, 1, sizeof header, take);
  for (uint32_t n = 0; n < size; ++n) fputc(0x90, take);
  fclose(take);

  /* ThreadSanitizer starts a thread of its own with a program's first. */
  pthread_t first;
  pthread_create(&first, NULL, Nothing, NULL);
  pthread_join(first, NULL);
  const int threads_before = Threads();

  int ok = 1;
  if (strcmp(argv[4], "exit") == 0) {
    struct Exports e = Load();
    CallExport(&e, name);
    exit(0);  /* with the library loaded and its sound running */
  }
  for (int round = 0; round < rounds; ++round) {
    struct Exports e = Load();
    CallExport(&e, name);
    if (dlclose(e.handle) != 0) Fail(dlerror());
  }
  ok &= LetGo(threads_before);
  ok &= RecordsAndPlays();
  ok &= LetGo(threads_before);
  unlink(g_take);
  unlink(g_saved);
  rmdir(dir);
  return ok ? 0 : 1;
}
