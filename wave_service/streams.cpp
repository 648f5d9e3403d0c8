// Capture and playback bookkeeping shared by every device: queued buffers and
// plays, bytes stored and played, position, and the header flags that mark a
// buffer done once no stream uses it.
#include <algorithm>
#include <cstring>

#include "wave_service/service_core.h"
#include "wave_service/shared_words.h"

namespace wave_service {

// Every copy a device makes into or out of a caller's buffer goes through
// here. Those buffers (the library's sample store) are shared with the device
// by design, like memory a sound card writes: their owner may clear, load or
// save them while a device thread copies, and takes no lock to do so. Kept
// out of line, and of external linkage so that its stack frame carries the
// namespace, for ThreadSanitizer to name it in wave_service/tsan.supp.
[[gnu::noinline]] void CopyStoreBytes(void* to, const void* from, std::size_t count);
void CopyStoreBytes(void* to, const void* from, std::size_t count) {
  std::memcpy(to, from, count);
}

void InputStream::Deliver(const std::uint8_t* bytes, std::size_t count) {
  ServiceCore::Get().Deliver(*this, bytes, count);
}

Pulled OutputStream::Pull(std::uint8_t* out, std::size_t max) {
  return ServiceCore::Get().Pull(*this, out, max);
}

bool OutputStream::Busy() const { return ServiceCore::Get().Busy(*this); }

void OutputStream::Release() { ServiceCore::Get().Release(*this); }

bool Stream::Holds(const BufferHeader* header) const {
  return std::ranges::any_of(queue_, [&](const Queued& queued) { return queued.header == header; });
}

void ServiceCore::UseHeader(BufferHeader* header) {
  ++header_uses_[header];
  UpdateSharedBits(header->flags, kInQueue, kDone);
}

// `touch_header` is false when the stream is being forgotten and the header's
// memory may no longer be the caller's to hand.
void ServiceCore::EndHeaderUse(BufferHeader* header, bool touch_header) {
  auto use = header_uses_.find(header);
  if (use == header_uses_.end()) return;
  if (--use->second > 0) return;
  header_uses_.erase(use);
  if (touch_header) UpdateSharedBits(header->flags, kDone, kInQueue);
}

void ServiceCore::FinishInputBuffer(InputStream& stream) {
  const Stream::Queued& buffer = stream.queue_.front();
  StoreShared(buffer.header->bytes_recorded, buffer.moved);
  EndHeaderUse(buffer.header, true);
  stream.queue_.pop_front();
}

void ServiceCore::FinishPlay(OutputStream& stream) {
  EndHeaderUse(stream.queue_.front().header, true);
  stream.queue_.pop_front();
}

void ServiceCore::Deliver(InputStream& stream, const std::uint8_t* bytes, std::size_t count) {
  std::lock_guard lock(mutex_);
  if (!stream.started_) return;
  stream.position_ += count;
  while (count > 0 && !stream.queue_.empty()) {
    Stream::Queued& buffer = stream.queue_.front();
    const std::size_t n = std::min<std::size_t>(count, buffer.length - buffer.moved);
    CopyStoreBytes(buffer.data + buffer.moved, bytes, n);
    buffer.moved += static_cast<std::uint32_t>(n);
    bytes += n;
    count -= n;
    // Release order: the caller that reads this count also sees the bytes.
    StoreShared(buffer.header->bytes_recorded, buffer.moved);
    if (buffer.moved == buffer.length) FinishInputBuffer(stream);
  }
}

Pulled ServiceCore::Pull(OutputStream& stream, std::uint8_t* out, std::size_t max) {
  std::lock_guard lock(mutex_);
  if (stream.queue_.empty()) return {};
  Stream::Queued& play = stream.queue_.front();
  const std::size_t n = std::min<std::size_t>(max, play.length - play.moved);
  CopyStoreBytes(out, play.data + play.moved, n);
  play.moved += static_cast<std::uint32_t>(n);
  Pulled pulled{play.play, n, play.moved == play.length};
  if (pulled.finished) FinishPlay(stream);
  return pulled;
}

bool ServiceCore::Busy(const OutputStream& stream) {
  std::lock_guard lock(mutex_);
  return !stream.queue_.empty();
}

void ServiceCore::Release(OutputStream& stream) {
  std::lock_guard lock(mutex_);
  while (!stream.queue_.empty()) FinishPlay(stream);
  std::erase_if(outputs_, [&](const auto& owned) { return owned.get() == &stream; });
}

}  // namespace wave_service
