// Capture and playback bookkeeping shared by every device: queued buffers and
// plays, bytes stored and played, position, and the header flags that mark a
// buffer done once no stream uses it.
#include <algorithm>
#include <cstring>

#include "wave_service/service_core.h"
#include "wave_service/shared_words.h"

#if defined(__SANITIZE_THREAD__)
#define MIRN_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MIRN_THREAD_SANITIZER 1
#endif
#endif

#ifdef MIRN_THREAD_SANITIZER
// ThreadSanitizer's runtime: while ignored, a thread's accesses (those of
// intercepted calls such as memcpy included) are not recorded, so they can
// neither race nor be raced.
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

namespace {

// Exempts the accesses made during its lifetime from ThreadSanitizer.
struct SharedAccess {
#ifdef MIRN_THREAD_SANITIZER
  SharedAccess() {
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
  }
  ~SharedAccess() {
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
  }
#endif
};

}  // namespace

namespace wave_service {

void CopyIntoShared(void* shared, const void* from, std::size_t count) {
  [[maybe_unused]] const SharedAccess exempt;
  std::memcpy(shared, from, count);
}

void CopyFromShared(void* to, const void* shared, std::size_t count) {
  [[maybe_unused]] const SharedAccess exempt;
  std::memcpy(to, shared, count);
}

void ClearShared(void* shared, std::size_t count) {
  [[maybe_unused]] const SharedAccess exempt;
  std::memset(shared, 0, count);
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
    CopyIntoShared(buffer.data + buffer.moved, bytes, n);
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
  CopyFromShared(out, play.data + play.moved, n);
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
