/* What ThreadSanitizer ignores in every program that talks to a sound
   server of the tests (the C++ test programs and the C unload host alike). */
#if defined(__SANITIZE_THREAD__)
/* libpulse and libpipewire are not built with ThreadSanitizer, so the atomics
   of their lock-free ring buffers and reference counts are invisible to it,
   and the copies they make on either side of them look like races. Ignore
   the accesses their own calls make. */
const char* __tsan_default_suppressions(void);
const char* __tsan_default_suppressions(void) {
  /* called_from_lib takes one library each, and only one that stays loaded;
     PipeWire's modules come and go with its streams, so their frames are
     matched by name instead. */
  return "called_from_lib:libpulse.so\ncalled_from_lib:libpulsecommon\n"
         "called_from_lib:libpipewire-0.3.so\n"
         "race:libasound_module_pcm_pipewire.so\nrace:libspa-\nrace:libpipewire-module-\n"
         /* the plugin unlocks its thread loop's lock on a thread TSan did not see take it */
         "mutex:libasound_module_pcm_pipewire.so\nmutex:libpipewire-0.3.so\nmutex:libspa-\n"
         /* PipeWire's thread fills the ring alsa-lib copies captured frames out of */
         "race:snd_pcm_area_copy\n"
         /* the loader's own tables, under its own lock, which ThreadSanitizer does not
            see: a PCM's owner opening a plugin (dlopen) while the host unloads */
         "race:ld-linux\n"
         /* a descriptor number that a PipeWire module's thread used before the
            module was unloaded (its frames then have no name), made anew */
         "race:eventfd\n";
}
#else
typedef int mirn_no_suppressions; /* ISO C wants something in a file */
#endif
