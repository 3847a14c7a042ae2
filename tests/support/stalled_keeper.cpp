// A keeper stopped before its first word, as one stopped from outside would
// be; continued, it is the real one. In a process group of its own, as the
// keeper makes itself first: a stopped process in a group that became
// orphaned would get SIGHUP and SIGCONT from the kernel.
#include <signal.h>
#include <unistd.h>

int main(int, char** argv) {
    ::setpgid(0, 0);
    ::raise(SIGSTOP);
    ::execv(KESTRIX_KEEPER_PATH, argv);
    return 127;
}
