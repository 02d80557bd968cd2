// trickle INTERVAL_US SECONDS: writes one byte to standard output every
// INTERVAL_US microseconds for SECONDS seconds, on an absolute schedule, then
// ends: a command whose output comes in small pieces at a steady pace.
#include <time.h>
#include <unistd.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        return 2;
    }
    const long interval_ns = std::atol(argv[1]) * 1000L;
    const long count = std::atol(argv[2]) * 1000000000L / interval_ns;
    struct timespec next {};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long i = 0; i < count; ++i) {
        next.tv_nsec += interval_ns;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        if (write(STDOUT_FILENO, "x", 1) != 1) {
            return 1;
        }
    }
    return 0;
}
