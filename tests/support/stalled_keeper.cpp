// A keeper stopped before its first word, as one stopped from outside would
// be; continued, it is the real one. (Started, as every keeper is, in a
// session of its own.)
#include <signal.h>
#include <unistd.h>

int main(int, char** argv) {
    ::raise(SIGSTOP);
    ::execv(KESTRIX_KEEPER_PATH, argv);
    return 127;
}
