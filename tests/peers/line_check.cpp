// The delay line's own check, run inside its client's namespace: a TCP connect through the
// line takes up + down, and so does the answer after it (the server's accept waits for the
// last handshake packet to go up, the answer then comes down). It prints what it measured and
// fails when a median lies more than TOLERANCE_MS above the line's round trip, or any one
// below it, which no path can be.
//
//   line_check ADDRESS ROUND_TRIP_MS [TOLERANCE_MS]   default tolerance 3 ms
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

constexpr int CONNECTS = 10;

double NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1000 + static_cast<double>(ts.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s ADDRESS ROUND_TRIP_MS [TOLERANCE_MS]\n", argv[0]);
        return 2;
    }
    const double roundTrip = strtod(argv[2], nullptr);
    const double tolerance = argc > 3 ? strtod(argv[3], nullptr) : 3;
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(37);
    if (inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) {
        fprintf(stderr, "line_check: %s is no IPv4 address\n", argv[1]);
        return 2;
    }
    double connects[CONNECTS], answers[CONNECTS];
    bool ok = true;
    for (int i = 0; i < CONNECTS; i++) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const double start = NowMs();
        if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            perror("line_check: connect");
            return 1;
        }
        const double connected = NowMs();
        unsigned char answer[4];
        if (recv(fd, answer, sizeof answer, MSG_WAITALL) != 4) {
            fprintf(stderr, "line_check: no answer\n");
            return 1;
        }
        connects[i] = connected - start;
        answers[i] = NowMs() - connected;
        close(fd);
        printf("connect %.2f ms, answer %.2f ms later\n", connects[i], answers[i]);
        ok = ok && connects[i] >= roundTrip - 0.5 && answers[i] >= roundTrip - 0.5;
    }
    std::sort(connects, connects + CONNECTS);
    std::sort(answers, answers + CONNECTS);
    const double connect = connects[CONNECTS / 2], later = answers[CONNECTS / 2];
    printf("median connect %.2f ms, answer %.2f ms later; the line's round trip %.0f ms\n", connect,
           later, roundTrip);
    ok = ok && connect <= roundTrip + tolerance && later <= roundTrip + tolerance;
    if (!ok) {
        printf("line_check: not within %.0f ms above the round trip, or below it\n", tolerance);
    }
    return ok ? 0 : 1;
}
