// mirn's operating-system calls on Windows: the C runtime's descriptors in
// binary mode over the system's own file calls, paths in the ANSI code page
// (as the library takes them), the console's own width and Ctrl-C.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <oleauto.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/mirn/system.h"

namespace mirn::cli::sys {
namespace {

std::atomic<void (*)()> g_interrupt_handler{nullptr};

// The C runtime turns Ctrl-C and Ctrl-Break of the console into these
// signals, and resets a handler once it has run: it is set again each time.
extern "C" void CallInterruptHandler(int signal) {
  std::signal(signal, CallInterruptHandler);
  if (const auto handler = g_interrupt_handler.load()) handler();
}

// errno for the few system errors whose reasons mirn tells apart.
void SetErrnoFrom(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: errno = EACCES; break;
    case ERROR_NOT_SAME_DEVICE: errno = EXDEV; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    default: errno = EIO; break;
  }
}

// Whether the wide text converts to the ANSI code page exactly, with no
// best-fit or default character standing for another.
bool NarrowsExactly(const wchar_t* text) {
  BOOL used_default = FALSE;
  return WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, nullptr,
                             &used_default) > 0 &&
         !used_default;
}

}  // namespace

const char* const kLibraryName = "MirnDLL.dll";
const char kSeparator = '\\';
bool IsSeparator(char c) { return c == '\\' || c == '/'; }

void UseBinary(std::FILE* stream) {
  std::fflush(stream);
  _setmode(_fileno(stream), _O_BINARY);
}

void PrepareStandardStreams() {
  // A console redraws the progress line with the terminal's escapes.
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(error, &mode)) {
    SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  }
}

std::string ArgumentsProblem() {
  // The program's arguments arrive in the ANSI code page, where a character
  // the code page lacks becomes another (U+03A9 best-fit 'O'): such a path
  // would name another file.
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return "";
  std::string problem;
  for (int i = 1; i < count && problem.empty(); ++i) {
    if (!NarrowsExactly(arguments[i])) {
      problem = "argument " + std::to_string(i) + " holds characters that the ANSI code page (" +
                std::to_string(GetACP()) + ") cannot spell, so it would name another file";
    }
  }
  LocalFree(arguments);
  return problem;
}

AutomationString NewPathString(const std::string& path) {
  if (path.size() > INT_MAX - 1) return nullptr;
  const int size = static_cast<int>(path.size());
  const int length =
      MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(), size, nullptr, 0);
  if (length <= 0 && size > 0) return nullptr;
  std::vector<wchar_t> wide(static_cast<std::size_t>(length) + 1);
  MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(), size, wide.data(), length);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(length));
}

const char* const kPathEncoding = "text of the ANSI code page";

bool PathTextIsValid(const std::string& path) {
  return path.size() < INT_MAX &&
         (path.empty() || MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, path.data(),
                                              static_cast<int>(path.size()), nullptr, 0) > 0);
}

int OpenToRead(const std::string& path) {
  // Folders are refused here; opening a pipe or a device does not wait.
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    errno = EISDIR;
    return -1;
  }
  return _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

int OpenToWrite(const std::string& path) {
  return _open(path.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY | _O_NOINHERIT);
}

int MakeTemporary(std::string& path, std::size_t suffix_length) {
  if (path.size() < suffix_length + 6) {
    errno = EINVAL;
    return -1;
  }
  const std::size_t at = path.size() - suffix_length - 6;
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  // Names from the process, the clock and a count: a name some file has is
  // skipped, since the create insists on a new file.
  unsigned long long seed = GetCurrentProcessId() * 2654435761ull ^ GetTickCount64();
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    unsigned long long bits = seed + attempt * 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < 6; ++i, bits /= 36) path[at + i] = kLetters[bits % 36];
    const int fd = _open(path.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                         _S_IREAD | _S_IWRITE);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

std::string TemporaryFolder(std::size_t longest) {
  char folder[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH) return ".";
  // A long folder by its short (8.3) name, where the volume keeps them.
  if (length > longest) length = GetShortPathNameA(folder, folder, sizeof folder);
  if (length == 0 || length > longest) return ".";
  std::string text(folder, length);
  if (text.size() > 3 && IsSeparator(text.back())) text.pop_back();  // keeps "C:\"
  return text;
}

long long ReadAt(int fd, void* into, std::size_t size, std::uint64_t offset) {
  if (_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) < 0) return -1;
  const unsigned piece = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
  return _read(fd, into, piece);
}

bool Seek(std::FILE* file, std::uint64_t offset) {
  return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
}

std::FILE* StreamOf(int fd) { return _fdopen(fd, "rb"); }

bool SyncToDisk(int fd) { return _commit(fd) == 0; }

// A new file takes the permissions of its folder, as any new file does.
bool TakeUsualPermissions(const std::string&) { return true; }

bool RenameOver(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  SetErrnoFrom(GetLastError());
  return false;
}

bool MayRead(const std::string& path) { return _access(path.c_str(), 4) == 0; }
bool MayWrite(const std::string& path) { return _access(path.c_str(), 2) == 0; }
// Windows grants traversal to everyone by default: a folder that exists is
// entered.
bool MayEnter(const std::string& folder) { return _access(folder.c_str(), 0) == 0; }

bool IsTerminal(int fd) { return _isatty(fd) != 0; }

std::size_t TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
  return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

void SetVariable(const char* name, const std::string& value) {
  // The C runtime's copy, which getenv reads, and the process's own.
  _putenv_s(name, value.c_str());
  SetEnvironmentVariableA(name, value.c_str());
}

void OnInterrupt(void (*handler)()) {
  g_interrupt_handler = handler;
  std::signal(SIGINT, CallInterruptHandler);
  std::signal(SIGBREAK, CallInterruptHandler);
}

}  // namespace mirn::cli::sys
