// A path with a round trip, for the suites and the benchmark: two network namespaces of the
// line's own, joined by two TUN devices and this forwarder, which holds every packet for its
// direction's delay. It ends by itself after its lifetime.
//
//   delay_line LIFETIME_S UP_MS[:JITTER_MS] DOWN_MS[:JITTER_MS] SERVERS_COMMAND COMMAND [ARGS...]
//
// SERVERS_COMMAND runs under /bin/sh in the servers' namespace, where every address of
// 198.19.0.0/24 is local; COMMAND starts once the servers print their first line ("ready").
// COMMAND runs in the client's namespace, whose one address, 198.18.0.1, reaches 198.19.0.0/24
// through the line, with CHRONOPLEX_DELAY_LINE=UP_MS+DOWN_MS in its environment. Up is the
// way to the servers. JITTER_MS adds a uniform -JITTER ... +JITTER to each packet's delay, but
// no packet leaves before one that came in earlier the same way.
//
// The line ends with COMMAND and exits with its status; after LIFETIME_S it ends anyway (124).
// Nothing outlives it: the devices are not persistent and vanish with the line's handles, the
// namespaces with the last of their processes, and the servers get SIGTERM when the line
// goes. Without /dev/net/tun or the right to make a namespace it says so and exits with 77.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int SKIP = 77;
constexpr int SLOTS = 1024;
constexpr int PACKET_BYTES = 2048;
constexpr int64_t NS_PER_MS = 1000000;

struct Packet {
    int64_t dueNs;
    int length;
    uint8_t bytes[PACKET_BYTES];
};

// One way through the line: a ring of packets waiting for their moment.
struct Direction {
    int from;
    int to;
    int64_t delayNs;
    int64_t jitterNs;
    int64_t lastDueNs;
    int head;
    int count;
    Packet ring[SLOTS];
};

Direction up, down;
uint64_t randomState = 88172645463325252u;

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

int64_t Jitter(int64_t spanNs) {
    if (spanNs <= 0) {
        return 0;
    }
    randomState ^= randomState << 13;
    randomState ^= randomState >> 7;
    randomState ^= randomState << 17;
    return static_cast<int64_t>(randomState % static_cast<uint64_t>(2 * spanNs + 1)) - spanNs;
}

// "MS" or "MS:JITTER_MS".
bool ParseDelay(const char* text, Direction* d) {
    char* end = nullptr;
    const double delay = strtod(text, &end);
    double jitter = 0;
    if (*end == ':') {
        jitter = strtod(end + 1, &end);
    }
    d->delayNs = static_cast<int64_t>(delay * NS_PER_MS);
    d->jitterNs = static_cast<int64_t>(jitter * NS_PER_MS);
    return *end == 0 && end != text && delay >= 0 && jitter >= 0;
}

// A TUN device named "line" in the namespace the process is in now; it goes with the handle.
int OpenTun() {
    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    ifreq request = {};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    snprintf(request.ifr_name, sizeof request.ifr_name, "line");
    if (ioctl(fd, TUNSETIFF, &request) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool Shell(const char* command) {
    const int status = system(command);
    if (status != 0) {
        fprintf(stderr, "delay_line: failed: %s\n", command);
    }
    return status == 0;
}

// Takes in what the device has to give; a packet that finds its ring full is dropped, as a
// full queue drops it. Only IPv4 crosses.
void Take(Direction& d, int64_t now) {
    for (;;) {
        Packet& p = d.ring[(d.head + d.count) % SLOTS];
        const ssize_t length = read(d.from, p.bytes, sizeof p.bytes);
        if (length <= 0) {
            return;
        }
        if (d.count == SLOTS || (p.bytes[0] >> 4) != 4) {
            continue;
        }
        int64_t due = now + d.delayNs + Jitter(d.jitterNs);
        due = due < d.lastDueNs ? d.lastDueNs : due;
        d.lastDueNs = due;
        p.dueNs = due;
        p.length = static_cast<int>(length);
        d.count++;
    }
}

void Deliver(Direction& d, int64_t now) {
    while (d.count > 0 && d.ring[d.head].dueNs <= now) {
        const Packet& p = d.ring[d.head];
        if (write(d.to, p.bytes, static_cast<size_t>(p.length)) < 0 && errno == EAGAIN) {
            return;
        }
        d.head = (d.head + 1) % SLOTS;
        d.count--;
    }
}

int64_t NextDue(const Direction& d, int64_t bound) {
    return d.count > 0 && d.ring[d.head].dueNs < bound ? d.ring[d.head].dueNs : bound;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 6 || !ParseDelay(argv[2], &up) || !ParseDelay(argv[3], &down)) {
        fprintf(stderr,
                "usage: %s LIFETIME_S UP_MS[:JITTER_MS] DOWN_MS[:JITTER_MS] SERVERS_COMMAND "
                "COMMAND [ARGS...]\n",
                argv[0]);
        return 2;
    }
    const int64_t endNs = NowNs() + static_cast<int64_t>(strtod(argv[1], nullptr) * 1e9);
    randomState ^= static_cast<uint64_t>(NowNs());
    const pid_t line = getpid();

    // The servers' side.
    if (access("/dev/net/tun", R_OK | W_OK) != 0) {
        fprintf(stderr, "delay_line: no delay line: /dev/net/tun: %s\n", strerror(errno));
        return SKIP;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        fprintf(stderr, "delay_line: no delay line: cannot make a network namespace: %s\n",
                strerror(errno));
        return SKIP;
    }
    down.from = up.to = OpenTun();
    if (up.to < 0) {
        fprintf(stderr, "delay_line: no delay line: no TUN device: %s\n", strerror(errno));
        return SKIP;
    }
    if (!Shell("ip link set lo up && ip route add local 198.19.0.0/24 dev lo && "
               "ip link set line up && ip route add 198.18.0.0/24 dev line")) {
        return 1;
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return 1;
    }
    const pid_t servers = fork();
    if (servers == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != line) {
            _exit(1);
        }
        setpgid(0, 0);
        dup2(ready[1], 1);
        execl("/bin/sh", "sh", "-c", argv[4], static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);

    // The client's side: the rest of this process's life, and the command's.
    if (unshare(CLONE_NEWNET) != 0) {
        fprintf(stderr, "delay_line: no delay line: cannot make a network namespace: %s\n",
                strerror(errno));
        kill(-servers, SIGTERM);
        return SKIP;
    }
    up.from = down.to = OpenTun();
    if (up.from < 0 || !Shell("ip link set lo up && ip addr add 198.18.0.1/32 dev line && "
                              "ip link set line up && ip route add 198.19.0.0/24 dev line")) {
        kill(-servers, SIGTERM);
        return 1;
    }
    char first[256];
    size_t got = 0;
    pollfd wait = {ready[0], POLLIN, 0};
    while ((got == 0 || first[got - 1] != '\n') && got < sizeof first - 1 &&
           poll(&wait, 1, 10000) == 1) {
        const ssize_t n = read(ready[0], first + got, sizeof first - 1 - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    first[got] = 0;
    if (strncmp(first, "ready", 5) != 0) {
        fprintf(stderr, "delay_line: the servers did not start: %s\n", first);
        kill(-servers, SIGTERM);
        return 1;
    }
    char delays[64];
    snprintf(delays, sizeof delays, "%s+%s", argv[2], argv[3]);
    setenv("CHRONOPLEX_DELAY_LINE", delays, 1);
    const pid_t client = fork();
    if (client == 0) {
        execvp(argv[5], argv + 5);
        fprintf(stderr, "delay_line: cannot run %s: %s\n", argv[5], strerror(errno));
        _exit(127);
    }

    // The servers' later output goes to the log; the line runs until the command ends.
    pollfd fds[3] = {{up.from, POLLIN, 0}, {down.from, POLLIN, 0}, {ready[0], POLLIN, 0}};
    int status = 0;
    int code = 124;
    while (NowNs() < endNs) {
        const pid_t ended = waitpid(-1, &status, WNOHANG);
        if (ended == client) {
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        const int64_t now = NowNs();
        const int64_t next = NextDue(down, NextDue(up, now + 50 * NS_PER_MS));
        const int64_t waitNs = next > now ? next - now : 0;
        const timespec timeout = {static_cast<time_t>(waitNs / 1000000000),
                                  static_cast<long>(waitNs % 1000000000)};
        ppoll(fds, 3, &timeout, nullptr);
        if (fds[2].revents != 0) {
            char text[512];
            const ssize_t n = read(ready[0], text, sizeof text);
            if (n <= 0 || write(2, text, static_cast<size_t>(n)) < 0) {
                fds[2].fd = -1;
            }
        }
        const int64_t at = NowNs();
        Take(up, at);
        Take(down, at);
        Deliver(up, at);
        Deliver(down, at);
    }
    if (code == 124) {
        fprintf(stderr, "delay_line: lifetime over, the line ends\n");
    }
    kill(-servers, SIGTERM);
    return code;
}
