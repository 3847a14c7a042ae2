// File operations the launch needs. Failures fold into plain results.
#pragma once

#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

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
// An open file of ours, closed with the object; -1 (false) for none.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Descriptor() { close(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes it now; what close() said (0 when all was written), 0 for none.
    int close() { return fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0; }

private:
    int fd_ = -1;
};

// Both ends of a new pipe, close-on-exec; none where it cannot be made
// (errno says why).
struct Pipe {
    Descriptor read, write;
};
std::optional<Pipe> makePipe();

// Opens `path` for appending, close-on-exec, when it is a regular file of
// ours reached without a link; else none and the reason in `why`. Never
// blocks (a FIFO there is refused).
Descriptor openForAppending(const std::string& path, std::string& why);
// The program at `path`, opened to be run later as it is now (whatever is
// installed there meanwhile); none when it cannot be opened.
Descriptor openProgram(const std::string& path);
// A lock on `path` (made 0600 when missing, never through a link, never
// blocked by a FIFO), held while the descriptor lives; none when another
// holds it. `unusable` is set where no lock can be had there at all
// (anything there but a regular file of ours).
Descriptor lockExclusively(const std::string& path, bool& unusable);
// The contents of `path`, up to `limit` bytes, when it is a regular file of
// ours reached without a link; nothing otherwise. Never blocks.
std::optional<std::string> readOwnFile(const std::string& path, size_t limit);
// `path` as a directory of ours alone (mode 0700, not a link), made when
// missing; false when it is anything else.
bool privateDirectory(const std::string& path);
void removeFile(const std::string& path);

// $HOME, or the password database's entry when it is unset.
std::string homeDirectory();
// The path less its last component ("/a/b/c" -> "/a/b").
std::string deletingLastPathComponent(const std::string& path);
// The application package: <pkg> for an executable at
// <pkg>/Contents/MacOS/<exe>, otherwise the executable's own directory.
std::string mainBundlePath();

}  // namespace kestrix::platform
