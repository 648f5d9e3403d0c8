/* A plain C host (no C++ runtime of its own, as many hosts are) that loads
   the library the way a host does, calls one export and unloads it at once,
   round after round; after each unload it waits up to 3 s for every thread
   the library started to end. Then it loads the library once more, records
   and plays, and exits with it loaded. The benchmark runs it once per export
   and device; a crash or a hang shows in how it ends.

     mirn_bench_unload_host AUTOMATION_LIBRARY LIBRARY EXPORT ROUNDS FOLDER

   EXPORT is start, stop, play, save (during a take), load (after a play),
   tone or dllstop (after a play). Prints "round N threads_gone_ms T" after
   each round (T is -1 when threads were left 3 s on), then "reload OK" or
   "reload FAILED", and exits 0, or 1 when a library cannot be loaded. */
#define _POSIX_C_SOURCE 200809L
#include <dirent.h>
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef uint16_t* AutomationString;
typedef int32_t (*Call0)(void);
typedef int32_t (*Call1)(int32_t);
typedef int32_t (*CallPath)(AutomationString);
typedef int32_t (*CallPathRate)(AutomationString, int32_t);
typedef AutomationString (*FromUtf8)(const char*);

static FromUtf8 from_utf8;
static char take_path[512];
static char save_path[512];

struct Exports {
  Call0 start, stop, dll_stop;
  Call1 play, tone;
  CallPathRate save;
  CallPath load;
};

static int Threads(void) {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == NULL) return 0;
  for (struct dirent* entry; (entry = readdir(tasks)) != NULL;) count += entry->d_name[0] != '.';
  closedir(tasks);
  return count;
}

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static void Sleep(double millis) {
  struct timespec t = {(time_t)(millis / 1e3), (long)((millis - (double)(time_t)(millis / 1e3) * 1e3) * 1e6)};
  nanosleep(&t, NULL);
}

static void* Open(const char* library, struct Exports* e) {
  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle == NULL) return NULL;
  /* Through a union: ISO C has no cast between object and function pointers. */
  union { void* object; Call0 call0; Call1 call1; CallPath path; CallPathRate path_rate; } s;
  s.object = dlsym(handle, "SoundRecordStart"); e->start = s.call0;
  s.object = dlsym(handle, "SoundRecordStop"); e->stop = s.call0;
  s.object = dlsym(handle, "DLLStop"); e->dll_stop = s.call0;
  s.object = dlsym(handle, "SoundRecordPlay"); e->play = s.call1;
  s.object = dlsym(handle, "ToneCreate"); e->tone = s.call1;
  s.object = dlsym(handle, "SoundRecordSave"); e->save = s.path_rate;
  s.object = dlsym(handle, "SoundRecordLoad"); e->load = s.path;
  return handle;
}

static void Run(const char* name, const struct Exports* e) {
  if (strcmp(name, "start") == 0) {
    e->start();
  } else if (strcmp(name, "stop") == 0) {
    e->stop();
  } else if (strcmp(name, "play") == 0) {
    e->load(from_utf8(take_path));
    e->play(8000);
  } else if (strcmp(name, "save") == 0) {
    e->start();
    e->save(from_utf8(save_path), 8000);
  } else if (strcmp(name, "load") == 0) {
    e->load(from_utf8(take_path));
    e->play(8000);
    e->load(from_utf8(take_path));
  } else if (strcmp(name, "tone") == 0) {
    e->load(from_utf8(take_path));
    e->tone(11025);
  } else if (strcmp(name, "dllstop") == 0) {
    e->load(from_utf8(take_path));
    e->play(8000);
    e->dll_stop();
  }
}

/* Waits up to 3 s for the process to be down to its own thread; the time
   it took, or -1 when threads were left. */
static double WaitForThreads(void) {
  const double start = Now();
  while (Threads() > 1) {
    if (Now() - start > 3000) return -1;
    Sleep(1);
  }
  return Now() - start;
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s AUTOMATION_LIBRARY LIBRARY EXPORT ROUNDS FOLDER\n", argv[0]);
    return 2;
  }
  void* automation = dlopen(argv[1], RTLD_NOW | RTLD_GLOBAL);
  if (automation == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  union { void* object; FromUtf8 call; } s;
  s.object = dlsym(automation, "AutomationStringFromUtf8");
  from_utf8 = s.call;
  snprintf(take_path, sizeof take_path, "%s/unload_take.wav", argv[5]);
  snprintf(save_path, sizeof save_path, "%s/unload_saved.wav", argv[5]);
  /* Half a second of sound: 52 header bytes, the data size at offset 48. */
  FILE* take = fopen(take_path, "wb");
  if (take != NULL) {
    unsigned char header[52] = {0};
    const uint32_t size = 4000;
    for (int i = 0; i < 4; ++i) header[48 + i] = (unsigned char)(size >> (8 * i));
    fwrite(header, 1, sizeof header, take);
    for (uint32_t i = 0; i < size; ++i) fputc(i % 2 ? 0x30 : 0xd0, take);
    fclose(take);
  }

  /* A line a round, at once: a crash later leaves those before it. */
  const int rounds = atoi(argv[4]);
  for (int round = 0; round < rounds; ++round) {
    struct Exports e;
    void* library = Open(argv[2], &e);
    if (library == NULL) {
      fprintf(stderr, "%s\n", dlerror());
      return 1;
    }
    Run(argv[3], &e);
    dlclose(library);
    printf("round %d threads_gone_ms %.0f\n", round, WaitForThreads());
    fflush(stdout);
  }

  /* A reload records and plays; the process then exits with it loaded. */
  struct Exports e;
  int reload = Open(argv[2], &e) != NULL;
  if (reload) {
    reload = e.start() == 1;
    Sleep(500);
    reload = reload && e.stop() == 2;
    reload = reload && e.save(from_utf8(save_path), 8000) > 0;
    reload = reload && e.play(8000) == 3;
  }
  printf("reload %s\n", reload ? "OK" : "FAILED");
  return 0;
}
