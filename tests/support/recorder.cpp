// Stand-in backend for the launch tests: writes down how it was started,
// writes one line to each output stream, then exits or waits for SIGTERM.
//
//   KESTRIX_RECORD_FILE   where the record goes (appended)
//   KESTRIX_RECORD_WAIT=1 stay until SIGTERM instead of exiting at once
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern char** environ;

int main(int argc, char** argv) {
    const char* path = std::getenv("KESTRIX_RECORD_FILE");
    if (path) {
        FILE* out = std::fopen(path, "a");
        if (out) {
            std::fprintf(out, "pid=%d\nsid=%d\npgid=%d\n", getpid(), getsid(0), getpgrp());
            for (int i = 0; i < argc; ++i) std::fprintf(out, "arg=%s\n", argv[i]);
            char cwd[4096];
            if (getcwd(cwd, sizeof cwd)) std::fprintf(out, "cwd=%s\n", cwd);
            for (char** e = environ; *e; ++e) std::fprintf(out, "env=%s\n", *e);
            const int ownFd = fileno(out);
            if (DIR* dir = opendir("/proc/self/fd")) {
                const int dirFd = dirfd(dir);
                while (dirent* entry = readdir(dir)) {
                    if (entry->d_name[0] == '.') continue;
                    const int fd = std::atoi(entry->d_name);
                    if (fd != dirFd && fd != ownFd) std::fprintf(out, "fd=%d\n", fd);
                }
                closedir(dir);
            }
            // Blocked and ignored signals, as the kernel reports them.
            if (FILE* status = std::fopen("/proc/self/status", "r")) {
                char line[256];
                while (std::fgets(line, sizeof line, status)) {
                    unsigned long long mask = 0;
                    if (std::sscanf(line, "SigBlk: %llx", &mask) == 1)
                        std::fprintf(out, "sigblk=%llx\n", mask);
                    if (std::sscanf(line, "SigIgn: %llx", &mask) == 1)
                        std::fprintf(out, "sigign=%llx\n", mask);
                }
                std::fclose(status);
            }
            std::fprintf(out, "end\n");
            std::fclose(out);
        }
    }
    std::printf("recorder stdout %d\n", getpid());
    std::fflush(stdout);
    std::fprintf(stderr, "recorder stderr %d\n", getpid());
    if (const char* wait = std::getenv("KESTRIX_RECORD_WAIT"); wait && std::string(wait) == "1") {
        for (;;) pause();  // SIGTERM's default action ends us
    }
    return 0;
}
