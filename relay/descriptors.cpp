#include "relay/descriptors.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

// C libraries before 2.34 have no close_range and may lack its number; it is
// the same on every architecture that numbers new calls in common.
#ifndef SYS_close_range
#define SYS_close_range 436
#endif

namespace brindock {
namespace {

// Where the last-resort loop stops even under a higher limit: the kernel's
// own ceiling on descriptors, fs.nr_open, is this unless raised, and a loop
// of a billion closes would hold the watchdog for minutes.
constexpr long highest_descriptor_bound = 1L << 20;

// The decimal number that `name` spells, or -1 when it is not one.
long number_named(const char* name)
{
    long number = 0;
    for (const char* at = name; *at != '\0'; ++at) {
        if (*at < '0' || *at > '9' || number > (LONG_MAX - 9) / 10) {
            return -1;
        }
        number = number * 10 + (*at - '0');
    }
    return name[0] != '\0' ? number : -1;
}

struct closing {
    int lowest;
    int listing;  // the descriptor of /proc/self/fd itself, closed last
};

bool close_listed(long fd, void* context)
{
    const auto* range = static_cast<const closing*>(context);
    if (fd >= range->lowest && fd != range->listing) {
        close(static_cast<int>(fd));
    }
    return true;
}

// Closing while listing is sound: the listing goes on from the number it had
// reached, not from a position among the entries that are left.
bool close_each_listed(int lowest)
{
    const int listing = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        return false;
    }
    closing range{lowest, listing};
    const bool listed = visit_numbered_entries(listing, close_listed, &range);
    close(listing);
    return listed;
}

void close_each_below_limit(int lowest)
{
    struct rlimit limit {};
    long bound = highest_descriptor_bound;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        bound = std::min(bound, static_cast<long>(limit.rlim_cur));
    }
    for (long fd = lowest; fd < bound; ++fd) {
        close(static_cast<int>(fd));
    }
}

}  // namespace

bool visit_numbered_entries(int dir, bool (*visit)(long number, void* context), void* context)
{
    alignas(8) char entries[4096];
    long got = 0;
    while ((got = syscall(SYS_getdents64, dir, entries, sizeof entries)) > 0) {
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            const long number = number_named(entry->d_name);
            if (number >= 0 && !visit(number, context)) {
                return true;
            }
            at += entry->d_reclen;
        }
    }
    return got == 0;
}

void close_descriptors_from(int lowest)
{
    // Every failure counts as a refusal, as for the other optional calls: this
    // call neither waits nor has a peer, and closing one at a time loses nothing.
    if (syscall(SYS_close_range, static_cast<unsigned>(lowest), ~0U, 0U) == 0) {
        return;
    }
    if (!close_each_listed(lowest)) {
        close_each_below_limit(lowest);
    }
}

void open_missing_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number is taken, which is `fd` itself since the
        // ones below it are open by now. Inherited on purpose: the child's
        // standard error may be this very descriptor.
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

bool only_had_to_wait()
{
    return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
}

bool must_take_plain_path()
{
    // A sandbox or an emulation layer may refuse such a call with any error at
    // all (ENOSYS, EPERM, EINVAL...), so only the answers that say something
    // about the descriptors themselves keep the call in use.
    return !only_had_to_wait() && errno != EPIPE && errno != ECONNRESET;
}

std::int64_t monotonic_ms()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

int poll_spinning_first(pollfd* watched, nfds_t count, int timeout_ms, int spin_us,
                        bool* found_spinning)
{
    struct timespec start {};
    if (spin_us > 0 && clock_gettime(CLOCK_MONOTONIC, &start) == 0) {
        for (;;) {
            const int ready = poll(watched, count, 0);
            struct timespec now {};
            if (ready != 0 || clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
                *found_spinning = ready > 0;
                return ready;
            }
            const long spun_us =
                (now.tv_sec - start.tv_sec) * 1000000L + (now.tv_nsec - start.tv_nsec) / 1000;
            if (spun_us >= spin_us) {
                break;
            }
        }
    }
    return poll(watched, count, timeout_ms);
}

bool wait_for_any(pollfd* watched, nfds_t count)
{
    while (poll(watched, count, -1) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

void wait_for_room(int fd)
{
    if (errno != EINTR) {
        struct pollfd room = {fd, POLLOUT, 0};
        wait_for_any(&room, 1);
    }
}

bool write_fully(int fd, const unsigned char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<std::size_t>(written);
        } else if (written < 0 && only_had_to_wait()) {
            wait_for_room(fd);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace brindock
