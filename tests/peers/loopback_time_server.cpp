// Time protocol servers on loopback addresses, each with a behaviour of its own, for the
// demonstration and the end-to-end suite: honest ones with an offset, and the ways real
// servers misbehave. One process serves them all and ends by itself after its lifetime.
//
//   loopback_time_server LIFETIME_S KIND@ADDRESS[@OFFSET[@READ_MS@SEND_MS]]...
//
// OFFSET: seconds added to this machine's clock, with a fraction if wanted (1.234), or the
// path of a file (starting with /) that holds such a number, read anew at each connection, so
// that a benchmark can give every run an offset of its own. READ_MS and SEND_MS (time and round):
// the clock is read READ_MS after the accept and the answer sent SEND_MS after that, a slow
// path with the reading in its middle.
// KIND: time (the whole seconds of the clock plus OFFSET), round (the same rounded to the nearest
// second, as some servers answer), silent (accepts, never sends), close
// (accepts and closes), split (two bytes, a pause, the other two), three (three bytes and close),
// zero (four zero bytes), extra (the four bytes and four more), record (the time, and a line
// "connect ADDRESS MS" on standard output for each connection, MS on a monotonic clock).
// Every server reads its clock only after accept() has returned, as inetd's built-in service
// does. ADDRESS must lie in 127.0.0.0/8, except in the servers' namespace of
// tests/peers/delay_line (no device but lo and the line's), where any address may be used.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

enum Kind { Time, Silent, Close, Split, Three, Zero, Extra, Record, Round };

struct Listener {
    int fd;
    Kind kind;
    double offsetSeconds;
    char offsetFile[200]; // when not empty, the offset is read from here at each connection
    double readDelay;     // seconds from the accept to the reading of the clock
    double sendDelay;     // seconds from the reading to the answer
    char address[16];
};

// A connection that still owes its second half (split), is held open (silent), or waits to
// read the clock or to send what it read (a time server with delays).
struct Pending {
    int fd;
    Kind kind;
    uint8_t rest[4];
    int restLength;
    double dueAt;
    const Listener* reads; // not null: read the clock at dueAt, then send sendDelay later
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
    static const char* const NAMES[] = {"time", "silent", "close",  "split", "three",
                                        "zero", "extra",  "record", "round"};
    for (int i = 0; i < 9; i++) {
        if (strcmp(text, NAMES[i]) == 0) {
            *kind = static_cast<Kind>(i);
            return true;
        }
    }
    return false;
}

// Whether the network this process sees is the delay line's own: lo and "line", nothing else.
bool LineNamespace() {
    FILE* devices = fopen("/proc/net/dev", "r");
    if (devices == nullptr) {
        return false;
    }
    char line[512];
    int lines = 0;
    bool others = false;
    while (fgets(line, sizeof line, devices) != nullptr) {
        char name[32] = {};
        if (++lines > 2 && sscanf(line, " %31[^:]", name) == 1) {
            others = others || (strcmp(name, "lo") != 0 && strcmp(name, "line") != 0);
        }
    }
    fclose(devices);
    return lines > 2 && !others;
}

int Listen(const char* address) {
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(37);
    if (inet_pton(AF_INET, address, &local.sin_addr) != 1 ||
        ((ntohl(local.sin_addr.s_addr) >> 24) != 127 && !LineNamespace())) {
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

double OffsetSeconds(const Listener& listener) {
    if (listener.offsetFile[0] == 0) {
        return listener.offsetSeconds;
    }
    double offset = 0;
    if (FILE* file = fopen(listener.offsetFile, "r")) {
        if (fscanf(file, "%lf", &offset) != 1) {
            offset = 0;
        }
        fclose(file);
    }
    return offset;
}

// The whole seconds since 1900 of this machine's clock plus the offset, big-endian; rounded
// to the nearest second by a rounding server.
void ReadClock(const Listener& listener, uint8_t* answer) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const double now = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    const double half = listener.kind == Round ? 0.5 : 0;
    const uint32_t seconds = static_cast<uint32_t>(static_cast<int64_t>(
        floor(now + OffsetSeconds(listener) + half) + static_cast<double>(SECONDS_1900_TO_1970)));
    answer[0] = static_cast<uint8_t>(seconds >> 24);
    answer[1] = static_cast<uint8_t>(seconds >> 16);
    answer[2] = static_cast<uint8_t>(seconds >> 8);
    answer[3] = static_cast<uint8_t>(seconds);
}

void Serve(const Listener& listener, Pending* pending, int* pendingCount) {
    const int fd = accept(listener.fd, nullptr, nullptr);
    if (fd < 0) {
        return;
    }
    const bool delayed = (listener.kind == Time || listener.kind == Round) &&
                         (listener.readDelay > 0 || listener.sendDelay > 0);
    uint8_t answer[8] = {};
    if (!delayed) {
        ReadClock(listener, answer);
    }
    size_t length = 4;
    switch (listener.kind) {
    case Silent:
    case Split:
        if (*pendingCount < MAX_PENDING) {
            Pending& p = pending[(*pendingCount)++];
            p = Pending{fd, listener.kind, {answer[2], answer[3]}, 2, 0, nullptr};
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
    case Round:
        if (delayed) {
            if (*pendingCount < MAX_PENDING) {
                pending[(*pendingCount)++] =
                    Pending{fd, listener.kind, {}, 0, Now() + listener.readDelay, &listener};
            } else {
                close(fd);
            }
            return;
        }
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
        char* readMs = offset != nullptr ? strchr(offset, '@') : nullptr;
        if (readMs != nullptr) {
            *readMs++ = 0;
        }
        char* sendMs = readMs != nullptr ? strchr(readMs, '@') : nullptr;
        if (sendMs != nullptr) {
            *sendMs++ = 0;
        }
        l.offsetFile[0] = 0;
        l.offsetSeconds = 0;
        if (offset != nullptr && offset[0] == '/') {
            snprintf(l.offsetFile, sizeof l.offsetFile, "%s", offset);
        } else if (offset != nullptr) {
            l.offsetSeconds = atof(offset);
        }
        l.readDelay = readMs != nullptr ? atof(readMs) / 1000 : 0;
        l.sendDelay = sendMs != nullptr ? atof(sendMs) / 1000 : 0;
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
        // Up to 50 ms, less when a delayed answer falls due sooner.
        double wait = 0.05;
        for (int i = 0; i < pendingCount; i++) {
            const double left = pending[i].dueAt - Now();
            wait = left < wait ? left : wait;
        }
        poll(fds, static_cast<nfds_t>(count), wait > 0 ? static_cast<int>(ceil(wait * 1000)) : 0);
        for (int i = 0; i < count; i++) {
            if (fds[i].revents & POLLIN) {
                Serve(listeners[i], pending, &pendingCount);
            }
        }
        const double now = Now();
        for (int i = 0; i < pendingCount;) {
            Pending& p = pending[i];
            if (p.dueAt > now) {
                i++;
            } else if (p.reads != nullptr) {
                ReadClock(*p.reads, p.rest);
                p.restLength = 4;
                p.dueAt = Now() + p.reads->sendDelay;
                p.reads = nullptr;
                i++;
            } else {
                send(p.fd, p.rest, static_cast<size_t>(p.restLength), MSG_NOSIGNAL);
                close(p.fd);
                p = pending[--pendingCount];
            }
        }
    }
    return 0;
}
