// mirn's operating-system calls on POSIX: descriptors opened without
// blocking, mkstemps, rename, and UTF-8 paths.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "host/binding/host_strings.h"
#include "host/mirn/system.h"

namespace mirn::cli::sys {
namespace {

void (*g_interrupt_handler)() = nullptr;

extern "C" void CallInterruptHandler(int) {
  if (g_interrupt_handler != nullptr) g_interrupt_handler();
}

// Occurrences of part in text.
template <typename String>
std::size_t CountOf(const String& text, const typename String::value_type* part) {
  const String needle(part);
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != String::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace

const char* const kLibraryName = "libMirnDLL.so.1";
const char kSeparator = '/';
bool IsSeparator(char c) { return c == '/'; }

void PrepareStandardStreams() {}
void UseBinary(std::FILE* stream) { std::fflush(stream); }  // POSIX streams never translate
std::string ArgumentsProblem() { return ""; }

AutomationString NewPathString(const std::string& path) {
  return host::NewAutomationString(path);
}

const char* const kPathEncoding = "UTF-8";

bool PathTextIsValid(const std::string& path) {
  // Decoding turns each byte that is not UTF-8 into U+FFFD, so a path is
  // valid exactly when the replacement characters after decoding are the
  // ones it spelled out itself.
  return CountOf(host::Utf8ToUtf16(path), u"\uFFFD") == CountOf(path, "\xEF\xBF\xBD");
}

int OpenToRead(const std::string& path) {
  // O_NONBLOCK: opening a FIFO with no writer, or a device, returns at once.
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

int OpenToWrite(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
}

int MakeTemporary(std::string& path, std::size_t suffix_length) {
  return mkstemps(path.data(), static_cast<int>(suffix_length));
}

std::string TemporaryFolder(std::size_t longest) {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string folder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
  return folder.size() <= longest ? folder : "/tmp";
}

long long ReadAt(int fd, void* into, std::size_t size, std::uint64_t offset) {
  for (;;) {
    const ssize_t n = pread(fd, into, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

bool Seek(std::FILE* file, std::uint64_t offset) {
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::FILE* StreamOf(int fd) { return fdopen(fd, "rb"); }

bool SyncToDisk(int fd) { return fsync(fd) == 0; }

bool TakeUsualPermissions(const std::string& path) {
  // mkstemp makes a file for its owner alone.
  const mode_t mask = umask(0);
  umask(mask);
  return chmod(path.c_str(), 0666 & ~mask) == 0;
}

bool RenameOver(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

bool MayRead(const std::string& path) { return access(path.c_str(), R_OK) == 0; }
bool MayWrite(const std::string& path) { return access(path.c_str(), W_OK) == 0; }
bool MayEnter(const std::string& folder) { return access(folder.c_str(), X_OK) == 0; }

bool IsTerminal(int fd) { return isatty(fd) == 1; }

std::size_t TerminalColumns() {
  winsize size{};
  if (isatty(STDOUT_FILENO) == 1 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) {
    return size.ws_col;
  }
  return 0;
}

void SetVariable(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);
}

void OnInterrupt(void (*handler)()) {
  g_interrupt_handler = handler;
  struct sigaction action {};
  action.sa_handler = CallInterruptHandler;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace mirn::cli::sys
