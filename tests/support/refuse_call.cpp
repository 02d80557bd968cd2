// refuse_call NAME[:FD] ERRNO PROGRAM [ARG...]: runs PROGRAM under a seccomp
// filter that fails the system call NAME with ERRNO and allows everything
// else, as a sandbox or an emulation layer that lacks the call would. With FD,
// only calls whose first argument is that descriptor are refused: the filter is
// inherited by everything PROGRAM starts, and a program loader that reads its
// libraries with the same call must still work.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Headers from before these calls may lack their numbers, which are common to
// the architectures below.
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef SYS_close_range
#define SYS_close_range 436
#endif
#ifndef SYS_clone3
#define SYS_clone3 435
#endif

namespace {

#if defined(__x86_64__)
constexpr unsigned native_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned native_arch = AUDIT_ARCH_AARCH64;
#else
#error "refuse_call knows no audit architecture for this processor"
#endif

struct named_call {
    const char* name;
    long number;
};

// The calls the relay may do without; more can be added as they are needed.
constexpr named_call calls[] = {
    {"tee", SYS_tee},           {"vmsplice", SYS_vmsplice},
    {"sendfile", SYS_sendfile}, {"recvfrom", SYS_recvfrom},
    {"pread64", SYS_pread64},   {"pidfd_open", SYS_pidfd_open},
    {"splice", SYS_splice},     {"preadv2", SYS_preadv2},
    {"execve", SYS_execve},     {"close_range", SYS_close_range},
    {"clone3", SYS_clone3},
};

long number_of(const char* name)
{
    for (const named_call& call : calls) {
        if (std::strcmp(call.name, name) == 0) {
            return call.number;
        }
    }
    return -1;
}

// `fd` below 0: every call of that number.
bool refuse(long number, int fd, unsigned error)
{
    const auto call = static_cast<unsigned>(number);
    const auto first_argument = static_cast<unsigned>(offsetof(seccomp_data, args));
    const unsigned char any_fd = fd < 0 ? 2 : 0;  // jumps over the descriptor test
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, native_arch, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, any_fd, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, first_argument),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(fd), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: refuse_call NAME[:FD] ERRNO PROGRAM [ARG...]\n");
        return 2;
    }
    char* fd_part = std::strchr(argv[1], ':');
    const int fd = fd_part != nullptr ? std::atoi(fd_part + 1) : -1;
    if (fd_part != nullptr) {
        *fd_part = '\0';
    }
    const long number = number_of(argv[1]);
    if (number < 0) {
        std::fprintf(stderr, "refuse_call: unknown call %s\n", argv[1]);
        return 2;
    }
    if (!refuse(number, fd, static_cast<unsigned>(std::atoi(argv[2])))) {
        std::perror("refuse_call: seccomp");
        return 2;
    }
    // Through execveat, so that a refused execve fails only what PROGRAM starts.
    syscall(SYS_execveat, AT_FDCWD, argv[3], argv + 3, environ, 0);
    if (errno == ENOSYS) {
        execv(argv[3], argv + 3);
    }
    std::perror("refuse_call: exec");
    return 127;
}
