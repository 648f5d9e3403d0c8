// Keeps the big blocks a sound server's client allocates per stream mapped on
// their own, so that memory stays flat as PCMs come and go.
#pragma once

namespace wave_service::alsa {

// Called once a PCM is open. Where that PCM runs through PipeWire's plugin,
// fixes glibc's mmap threshold at its starting value for the whole process
// (once), unless the host chose one itself.
void KeepBigBlocksMapped();

}  // namespace wave_service::alsa
