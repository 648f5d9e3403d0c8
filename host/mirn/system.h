// The operating-system calls of mirn that POSIX and Windows spell
// differently, in one place: system_posix.cpp and system_windows.cpp. Paths
// are narrow strings as the command line gives them (UTF-8 on POSIX, the ANSI
// code page on Windows); descriptors are the C runtime's, always binary.
// Failures leave errno set for strerror.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "automation_strings.h"

// read, write and close of descriptors.
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace mirn::cli::sys {

// The library file mirn loads: "libMirnDLL.so.1", "MirnDLL.dll".
extern const char* const kLibraryName;
// The separator mirn puts between a folder and a name.
extern const char kSeparator;
// Whether the character separates folders in a path.
bool IsSeparator(char c);

// Prepares the standard streams: on a console, able to redraw a line in place.
void PrepareStandardStreams();
// Flushes a stream and makes it move raw bytes (record - and play -), not
// text, whose line ends and end-of-file byte a platform may translate.
void UseBinary(std::FILE* stream);
// Why the command line cannot be taken as it stands (an argument that the
// narrow form spells differently from what was typed); empty when it can.
std::string ArgumentsProblem();

// A path as the library's automation string (released by the call it is
// passed to), or null when the text is not a path of this platform.
AutomationString NewPathString(const std::string& path);
// Whether the path's bytes are text of this platform's narrow encoding,
// which kPathEncoding names ("UTF-8").
bool PathTextIsValid(const std::string& path);
extern const char* const kPathEncoding;

// Opens to read without waiting for anything (a FIFO with no writer, a
// device); -1 on failure.
int OpenToRead(const std::string& path);
// Opens an existing file to write, emptied; -1 on failure.
int OpenToWrite(const std::string& path);
// Creates a new file from `path`, whose last `suffix_length` characters
// follow six X characters that are replaced to make a name no file has.
// Returns its descriptor, open to write, or -1.
int MakeTemporary(std::string& path, std::size_t suffix_length);
// A folder for temporary files whose path is at most `longest` bytes.
std::string TemporaryFolder(std::size_t longest);
// Reads up to `size` bytes at `offset`; the bytes read, -1 on failure.
long long ReadAt(int fd, void* into, std::size_t size, std::uint64_t offset);
bool Seek(std::FILE* file, std::uint64_t offset);
std::FILE* StreamOf(int fd);  // "rb"; the stream owns fd from then on
bool SyncToDisk(int fd);
// Gives a file made by MakeTemporary the permissions a plain new file of
// the user's would have.
bool TakeUsualPermissions(const std::string& path);
// Renames `from` over `to`, replacing it at once. errno EXDEV: the two lie
// on different file systems.
bool RenameOver(const std::string& from, const std::string& to);

// What the calling user may do with a path.
bool MayRead(const std::string& path);
bool MayWrite(const std::string& path);
bool MayEnter(const std::string& folder);

bool IsTerminal(int fd);
// The width of the terminal on standard output; 0 when it is none.
std::size_t TerminalColumns();
// Sets an environment variable of this process (and of the library it
// loads); empty is a value too, which the library takes as naming nothing.
void SetVariable(const char* name, const std::string& value);
// Makes Ctrl-C (and a request to end) call `handler` instead of ending the
// program; the handler may only set a flag.
void OnInterrupt(void (*handler)());

}  // namespace mirn::cli::sys
