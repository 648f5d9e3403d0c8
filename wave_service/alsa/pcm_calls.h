// The one table of ALSA PCM calls the device makes. Every snd_pcm_* call of
// the device goes through it, so that a test can put a table of its own in
// its place (to fail or hold up a chosen call) without touching the library;
// unset, each entry is ALSA's own function and costs one indirect call.
#pragma once

#include <alsa/asoundlib.h>

namespace wave_service::alsa {

// X(entry, ALSA function): every call in the table, in one list, so that the
// table, its names and a test's wrappers are all made from it.
#define MIRN_PCM_CALLS(X)                                              \
  X(open, snd_pcm_open)                                                \
  X(close, snd_pcm_close)                                              \
  X(hw_params_any, snd_pcm_hw_params_any)                              \
  X(hw_params_set_rate_resample, snd_pcm_hw_params_set_rate_resample)  \
  X(hw_params_set_access, snd_pcm_hw_params_set_access)                \
  X(hw_params_set_format, snd_pcm_hw_params_set_format)                \
  X(hw_params_set_channels, snd_pcm_hw_params_set_channels)            \
  X(hw_params_set_rate, snd_pcm_hw_params_set_rate)                    \
  X(hw_params_set_buffer_time_near, snd_pcm_hw_params_set_buffer_time_near) \
  X(hw_params_set_period_time_near, snd_pcm_hw_params_set_period_time_near) \
  X(hw_params, snd_pcm_hw_params)                                      \
  X(hw_free, snd_pcm_hw_free)                                          \
  X(hw_params_get_period_size, snd_pcm_hw_params_get_period_size)      \
  X(hw_params_get_buffer_size, snd_pcm_hw_params_get_buffer_size)      \
  X(sw_params_current, snd_pcm_sw_params_current)                      \
  X(sw_params_set_start_threshold, snd_pcm_sw_params_set_start_threshold) \
  X(sw_params_set_avail_min, snd_pcm_sw_params_set_avail_min)          \
  X(sw_params, snd_pcm_sw_params)                                      \
  X(prepare, snd_pcm_prepare)                                          \
  X(start, snd_pcm_start)                                              \
  X(drop, snd_pcm_drop)                                                \
  X(resume, snd_pcm_resume)                                            \
  X(readi, snd_pcm_readi)                                              \
  X(writei, snd_pcm_writei)                                            \
  X(avail_update, snd_pcm_avail_update)                                \
  X(state, snd_pcm_state)                                              \
  X(delay, snd_pcm_delay)                                              \
  X(poll_descriptors_count, snd_pcm_poll_descriptors_count)            \
  X(poll_descriptors, snd_pcm_poll_descriptors)                        \
  X(poll_descriptors_revents, snd_pcm_poll_descriptors_revents)

struct PcmCalls {
#define MIRN_PCM_ENTRY(entry, function) decltype(&function) entry;
  MIRN_PCM_CALLS(MIRN_PCM_ENTRY)
#undef MIRN_PCM_ENTRY
};

// The entries by name, to say which call a test means.
enum class PcmCall {
#define MIRN_PCM_ID(entry, function) entry,
  MIRN_PCM_CALLS(MIRN_PCM_ID)
#undef MIRN_PCM_ID
      kCount
};

// ALSA's own functions.
const PcmCalls& AlsaPcmCalls();
// The table in use.
const PcmCalls& Pcm();
// Puts `table` in place of ALSA's own (nullptr restores them). The table
// must outlive its use; a call already running finishes where it began.
void SetPcmCalls(const PcmCalls* table);

}  // namespace wave_service::alsa
