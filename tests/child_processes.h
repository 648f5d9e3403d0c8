// Child processes and small files for the private sound servers of the tests:
// spawning with an environment of their own, stopping, and asking a tool.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace mirn::test {

// This process's environment with `overrides` (NAME=value) in place of the
// variables of the same names.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& overrides);

// Runs argv[0] (looked up in PATH) with stdout and stderr into `out`. The
// child is killed if the thread that spawned it ends first (a crashed or
// killed test leaves no server behind) and inherits no other descriptor.
pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> env, int out);

bool Exited(pid_t pid);
// SIGTERM, then SIGKILL if it lingers; reaps the child; pid becomes -1.
void StopChild(pid_t& pid);
// SIGKILL at once, as a crash: reaps the child; pid becomes -1.
void KillChild(pid_t& pid);

// What a shell command prints on stdout; nullopt when it fails.
std::optional<std::string> CommandOutput(const std::string& command);

void WriteFile(const std::filesystem::path& path, const std::string& text);
std::string ReadText(const std::filesystem::path& path);

// Whether a Unix socket at the path takes a connection.
bool Accepts(const std::filesystem::path& socket_path);

}  // namespace mirn::test
