// Stand-in backend for the launch tests: appends to $KESTRIX_RECORD_FILE how
// it was started, one "key=value" line each: its ids, arguments, working
// directory, environment, open descriptors and blocked and ignored signals.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

extern char** environ;

int main(int argc, char** argv) {
    const char* path = std::getenv("KESTRIX_RECORD_FILE");
    FILE* out = path ? std::fopen(path, "a") : nullptr;
    if (!out) return 1;
    std::fprintf(out, "pid=%d\nsid=%d\n", getpid(), getsid(0));
    for (int i = 0; i < argc; ++i) std::fprintf(out, "arg=%s\n", argv[i]);
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) std::fprintf(out, "cwd=%s\n", cwd);
    for (char** e = environ; *e; ++e) std::fprintf(out, "env=%s\n", *e);
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            const int fd = std::atoi(entry->d_name);
            if (entry->d_name[0] != '.' && fd != dirfd(dir) && fd != fileno(out))
                std::fprintf(out, "fd=%d\n", fd);
        }
        closedir(dir);
    }
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        unsigned long long mask = 0;
        while (std::fgets(line, sizeof line, status)) {
            if (std::sscanf(line, "SigBlk: %llx", &mask) == 1) std::fprintf(out, "sigblk=%llx\n", mask);
            if (std::sscanf(line, "SigIgn: %llx", &mask) == 1) std::fprintf(out, "sigign=%llx\n", mask);
        }
        std::fclose(status);
    }
    std::fclose(out);
    return 0;
}
