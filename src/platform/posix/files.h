// File operations the launch needs. Failures fold into plain results.
#pragma once

#include <string>

namespace kestrix::platform {

// True only when `path` exists and the user may execute it.
bool isExecutableFile(const std::string& path);
// True when the user may write into `path` (a directory).
bool isWritable(const std::string& path);
bool fileExists(const std::string& path);

// Replaces the file or link at `to` (or nothing) by a copy of `from` with
// exactly `mode`, whole or not at all: the copy is written beside it,
// complete and with its mode, then renamed over it. On any failure (a full
// disk) what was there stays as it was and no partial file is left.
// Anything else at `to` (a directory) is left alone: false.
bool replaceWithCopy(const std::string& from, const std::string& to, unsigned mode);

// Creates `path` and every missing directory above it, each with `mode`
// (less the umask).
void createDirectories(const std::string& path, unsigned mode = 0777);
// Replaces `path` by a new file with `content` (mode 0600), in one rename.
bool writeFileAtomically(const std::string& path, const std::string& content);
void createEmptyFile(const std::string& path, unsigned mode);
// Opens `path` for appending, close-on-exec, when it is a regular file of
// ours reached without a link; else -1 and the reason in `why`. Never
// blocks (a FIFO there is refused).
int openForAppending(const std::string& path, std::string& why);

// $HOME, or the password database's entry when it is unset.
std::string homeDirectory();
// The path less its last component ("/a/b/c" -> "/a/b").
std::string deletingLastPathComponent(const std::string& path);
// The application package: <pkg> for an executable at
// <pkg>/Contents/MacOS/<exe>, otherwise the executable's own directory.
std::string mainBundlePath();

}  // namespace kestrix::platform
