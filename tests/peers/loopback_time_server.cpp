// Time protocol servers on loopback addresses, each with a behaviour of its own, for the
// demonstration and the end-to-end suite: honest ones with an offset, and the ways real
// servers misbehave. One process serves them all and ends by itself after its lifetime.
//
//   loopback_time_server LIFETIME_S KIND@ADDRESS[@OFFSET_S]...
//
// KIND: time (the time plus OFFSET_S seconds), silent (accepts, never sends), close (accepts
// and closes), split (two bytes, a pause, the other two), three (three bytes and close), zero
// (four zero bytes), extra (the four bytes and four more), record (the time, and a line
// "connect ADDRESS MS" on standard output for each connection, MS on a monotonic clock).
// ADDRESS must lie in 127.0.0.0/8.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

enum Kind { Time, Silent, Close, Split, Three, Zero, Extra, Record };

struct Listener {
    int fd;
    Kind kind;
    int64_t offsetSeconds;
    char address[16];
};

// A connection that still owes its second half (split) or is held open (silent).
struct Pending {
    int fd;
    Kind kind;
    uint8_t rest[2];
    double dueAt;
};

constexpr int MAX_LISTENERS = 64;
constexpr int MAX_PENDING = 256;
constexpr double SPLIT_PAUSE_S = 0.5;
// 1900-01-01 to 1970-01-01.
constexpr int64_t SECONDS_1900_TO_1970 = 2208988800;

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool ParseKind(const char* text, Kind* kind) {
    static const char* const NAMES[] = {"time",  "silent", "close", "split",
                                        "three", "zero",   "extra", "record"};
    for (int i = 0; i < 8; i++) {
        if (strcmp(text, NAMES[i]) == 0) {
            *kind = static_cast<Kind>(i);
            return true;
        }
    }
    return false;
}

int Listen(const char* address) {
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(37);
    if (inet_pton(AF_INET, address, &local.sin_addr) != 1 ||
        (ntohl(local.sin_addr.s_addr) >> 24) != 127) {
        fprintf(stderr, "loopback_time_server: %s is not a loopback address\n", address);
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, 64) != 0) {
        fprintf(stderr, "loopback_time_server: cannot listen on %s:37: %s\n", address,
                strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void Serve(const Listener& listener, Pending* pending, int* pendingCount) {
    const int fd = accept(listener.fd, nullptr, nullptr);
    if (fd < 0) {
        return;
    }
    const uint32_t seconds =
        static_cast<uint32_t>(time(nullptr) + SECONDS_1900_TO_1970 + listener.offsetSeconds);
    uint8_t answer[8] = {static_cast<uint8_t>(seconds >> 24), static_cast<uint8_t>(seconds >> 16),
                         static_cast<uint8_t>(seconds >> 8), static_cast<uint8_t>(seconds)};
    size_t length = 4;
    switch (listener.kind) {
    case Silent:
    case Split:
        if (*pendingCount < MAX_PENDING) {
            Pending& p = pending[(*pendingCount)++];
            p = Pending{fd, listener.kind, {answer[2], answer[3]}, 0};
            if (listener.kind == Split) {
                p.dueAt = Now() + SPLIT_PAUSE_S;
                send(fd, answer, 2, MSG_NOSIGNAL);
            } else {
                p.dueAt = 1e300;
            }
            return;
        }
        close(fd);
        return;
    case Close:
        length = 0;
        break;
    case Three:
        length = 3;
        break;
    case Zero:
        memset(answer, 0, sizeof answer);
        break;
    case Extra:
        length = 8;
        break;
    case Record:
        printf("connect %s %.0f\n", listener.address, Now() * 1000);
        fflush(stdout);
        break;
    case Time:
        break;
    }
    if (length > 0) {
        send(fd, answer, length, MSG_NOSIGNAL);
    }
    close(fd);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s LIFETIME_S KIND@ADDRESS[@OFFSET_S]...\n", argv[0]);
        return 2;
    }
    const double endAt = Now() + atof(argv[1]);
    Listener listeners[MAX_LISTENERS];
    int count = 0;
    for (int i = 2; i < argc && count < MAX_LISTENERS; i++) {
        char arg[128];
        snprintf(arg, sizeof arg, "%s", argv[i]);
        char* address = strchr(arg, '@');
        if (address == nullptr) {
            fprintf(stderr, "loopback_time_server: %s: expected KIND@ADDRESS\n", argv[i]);
            return 2;
        }
        *address++ = 0;
        char* offset = strchr(address, '@');
        if (offset != nullptr) {
            *offset++ = 0;
        }
        Listener& l = listeners[count];
        if (!ParseKind(arg, &l.kind)) {
            fprintf(stderr, "loopback_time_server: unknown kind %s\n", arg);
            return 2;
        }
        l.offsetSeconds = offset != nullptr ? atoll(offset) : 0;
        snprintf(l.address, sizeof l.address, "%s", address);
        l.fd = Listen(address);
        if (l.fd < 0) {
            return 1;
        }
        count++;
    }
    printf("ready\n");
    fflush(stdout);
    Pending pending[MAX_PENDING];
    int pendingCount = 0;
    while (Now() < endAt) {
        pollfd fds[MAX_LISTENERS];
        for (int i = 0; i < count; i++) {
            fds[i] = pollfd{listeners[i].fd, POLLIN, 0};
        }
        poll(fds, static_cast<nfds_t>(count), 50);
        for (int i = 0; i < count; i++) {
            if (fds[i].revents & POLLIN) {
                Serve(listeners[i], pending, &pendingCount);
            }
        }
        const double now = Now();
        for (int i = 0; i < pendingCount;) {
            if (pending[i].dueAt <= now) {
                send(pending[i].fd, pending[i].rest, 2, MSG_NOSIGNAL);
                close(pending[i].fd);
                pending[i] = pending[--pendingCount];
            } else {
                i++;
            }
        }
    }
    return 0;
}
