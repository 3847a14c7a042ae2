#include "platform/files.h"
#include "platform/linux/interrupted.h"
#include "platform/linux/linux_internal.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kestrix::platform {

namespace fs = std::filesystem;

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    // access() lets root through on any execute bit; a file without one is
    // not executable for anybody.
    if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) return false;
    return ::access(path.c_str(), X_OK) == 0;
}

bool isWritable(const std::string& path) {
    return ::access(path.c_str(), W_OK) == 0;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

namespace {

// All of `data` to `fd`, however many writes it takes.
bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = retryInterrupted([&] { return ::write(fd, data.data(), data.size()); });
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Copies `from` to a new file `to`, which must not exist yet; a link that
// appears at `to` meanwhile is neither followed nor written through.
bool copyFileExclusive(const std::string& from, const std::string& to, unsigned mode) {
    const Descriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return false;
    Descriptor out(
        ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 07777));
    if (!out) return false;
    bool ok = true;
    char buffer[1 << 16];
    for (ssize_t n; ok && (n = retryInterrupted(
                               [&] { return ::read(in.get(), buffer, sizeof buffer); })) != 0;)
        ok = n > 0 && writeAll(out.get(), {buffer, static_cast<size_t>(n)});
    // Whatever umask: exactly `mode`; and on disk before it can replace anything.
    ok = ok && ::fchmod(out.get(), mode & 07777) == 0 && ::fsync(out.get()) == 0;
    return out.close() == 0 && ok;
}

}  // namespace

bool replaceWithCopy(const std::string& from, const std::string& to, unsigned mode) {
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return false;
    const std::string temporary = to + ".new-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (copyFileExclusive(from, temporary, mode) && ::rename(temporary.c_str(), to.c_str()) == 0)
        return true;
    ::unlink(temporary.c_str());
    return false;
}

void createDirectories(const std::string& path, unsigned mode) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), mode);
        if (slash == std::string::npos) break;
    }
}

bool writeFileAtomically(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".new-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    Descriptor file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file) return false;
    const bool written = writeAll(file.get(), content);
    if (file.close() == 0 && written && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

void createEmptyFile(const std::string& path, unsigned mode) {
    const Descriptor created(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
}

namespace {

// `fd` when it is a regular file of this user; else closed, and none.
Descriptor ownRegularFile(int fd, std::string* why = nullptr) {
    Descriptor file(fd);
    struct stat st {};
    if (!file) {
        if (why) *why = std::strerror(errno);
        return {};
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        if (why) *why = "not a regular file of this user";
        return {};
    }
    return file;
}

}  // namespace

Descriptor openForAppending(const std::string& path, std::string& why) {
    // Neither through a link nor blocked by a FIFO; then only a regular file
    // of ours will do.
    Descriptor file = ownRegularFile(
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK), &why);
    if (file) ::fcntl(file.get(), F_SETFL, O_WRONLY | O_APPEND);
    return file;
}

std::optional<Pipe> makePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    return Pipe{Descriptor(ends[0]), Descriptor(ends[1])};
}

Descriptor openProgram(const std::string& path) {
    return Descriptor(::open(path.c_str(), O_PATH | O_CLOEXEC));
}

Descriptor lockExclusively(const std::string& path, bool& unusable) {
    Descriptor file = ownRegularFile(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
    unusable = !file;
    if (file && ::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return {};
    return file;
}

std::optional<std::string> readOwnFile(const std::string& path, size_t limit) {
    const Descriptor file =
        ownRegularFile(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!file) return std::nullopt;
    std::string text;
    char buffer[512];
    for (ssize_t n; text.size() < limit && (n = ::read(file.get(), buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    if (text.size() > limit) text.resize(limit);
    return text;
}

bool privateDirectory(const std::string& path) {
    createDirectories(path, 0700);
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 07777) == 0700;
}

void removeFile(const std::string& path) {
    ::unlink(path.c_str());
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

std::string deletingLastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.rfind('/');
    if (slash == std::string::npos) return "";
    if (slash == 0) return "/";
    return p.substr(0, slash);
}

std::string mainBundlePath() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? "." : bundleOfExecutable(exe.string());
}

std::string bundleOfExecutable(const std::string& path) {
    const fs::path dir = fs::path(path).parent_path();
    if (dir.filename() == "MacOS" && dir.parent_path().filename() == "Contents")
        return dir.parent_path().parent_path().string();
    return dir.string();
}

}  // namespace kestrix::platform
