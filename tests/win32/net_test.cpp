// The Windows Sockets layer against real loopback servers: what the engine relies on from
// each call and each notice. Servers of this suite live on 127.0.1.x.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/net.h"
#include "query/engine_messages.h"
#include "tests/tables/inet_addr_forms.h"
#include "tests/win32/support/pump.h"
#include "tests/win32/support/time_servers.h"

namespace {

uint32_t Address(int a, int b, int c, int d) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                    static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    uint32_t address;
    memcpy(&address, bytes, sizeof address);
    return address;
}

uint16_t EventOf(const Notice& n) {
    return LOWORD(n.lParam);
}
uint16_t ErrorOf(const Notice& n) {
    return HIWORD(n.lParam);
}

constexpr DWORD NOTICE_LIMIT_MS = 5000;
constexpr DWORD SERVER_LIFETIME_MS = 30000;

class NetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetNoticeSink([this](const Notice& n) { notices.push_back(n); });
    }
    void TearDown() override {
        for (SocketHandle s : sockets) {
            NetAsyncSelect(s, testWindow, 0, 0);
            NetCloseSocket(s);
        }
        SetNoticeSink(nullptr);
        StopTimeServers();
    }

    void Serve(const TimeServerSetup* setups, int count) {
        ASSERT_TRUE(StartTimeServers(setups, count, SERVER_LIFETIME_MS));
    }

    // A socket prepared the way the engine prepares one, connect already called.
    SocketHandle Connect(uint32_t address) {
        SocketHandle s = NetSocket();
        EXPECT_NE(s, NET_INVALID_SOCKET);
        sockets.push_back(s);
        EXPECT_EQ(NetBindAny(s), 0);
        EXPECT_EQ(NetSetDontLinger(s), 0);
        EXPECT_EQ(NetAsyncSelect(s, testWindow, WM_SOCKET_EVENT,
                                 NET_FD_READ | NET_FD_CONNECT | NET_FD_CLOSE),
                  0);
        int result = NetConnect(s, address, 37);
        if (result != 0) {
            EXPECT_EQ(result, NET_SOCKET_ERROR);
            EXPECT_EQ(NetLastError(), NET_WSAEWOULDBLOCK);
        }
        return s;
    }

    // Waits for the next notice of the socket with the given event and returns its index.
    int AwaitEvent(SocketHandle s, uint16_t event) {
        size_t seen = 0;
        int found = -1;
        PumpUntil(
            [&] {
                for (; seen < notices.size(); seen++) {
                    const Notice& n = notices[seen];
                    if (n.message == WM_SOCKET_EVENT && n.wParam == s && EventOf(n) == event) {
                        found = static_cast<int>(seen);
                        return true;
                    }
                }
                return false;
            },
            NOTICE_LIMIT_MS);
        return found;
    }

    int CountEvents(SocketHandle s, uint16_t event) {
        int count = 0;
        for (const Notice& n : notices) {
            count += n.message == WM_SOCKET_EVENT && n.wParam == s && EventOf(n) == event;
        }
        return count;
    }

    std::vector<Notice> notices;
    std::vector<SocketHandle> sockets;
};

// The platform's own reading of every form in the table that the simulation is held to.
TEST(NetInetAddr, ReadsEveryFormAsTheSimulationDoes) {
    for (const InetAddrForm& form : INET_ADDR_FORMS) {
        EXPECT_EQ(NetInetAddr(form.text), InetAddrFormValue(form)) << form.text;
    }
    for (const char* text : INET_ADDR_NOT_ADDRESSES) {
        EXPECT_EQ(NetInetAddr(text), NET_INADDR_NONE) << text;
    }
}

TEST_F(NetTest, LookupPostsItsTaskAndTheFirstAddress) {
    struct Case {
        const char* name;
        uint32_t expected;
    };
    const Case cases[] = {
        {"localhost", Address(127, 0, 0, 1)},
        {"127.0.1.7", Address(127, 0, 1, 7)},
    };
    for (const Case& c : cases) {
        // The buffer is deliberately misaligned by one byte inside a larger one: the address
        // is copied out, never read through a misaligned pointer.
        alignas(8) static char storage[NET_LOOKUP_BUFFER_SIZE + 8];
        char* buffer = storage;
        memset(storage, 0x5A, sizeof storage);
        notices.clear();
        TaskHandle task = NetAsyncGetHostByName(testWindow, WM_LOOKUP_DONE, c.name, buffer,
                                                NET_LOOKUP_BUFFER_SIZE);
        ASSERT_NE(task, 0u) << c.name;
        ASSERT_TRUE(PumpUntil([&] { return !notices.empty(); }, NOTICE_LIMIT_MS)) << c.name;
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(notices[0].message, static_cast<UINT>(WM_LOOKUP_DONE));
        EXPECT_EQ(notices[0].wParam, task);
        EXPECT_EQ(ErrorOf(notices[0]), 0) << c.name;
        EXPECT_EQ(NetLookupFirstAddress(buffer), c.expected) << c.name;
    }
}

TEST_F(NetTest, AnsweringServerGivesConnectThenReadWithFourBytes) {
    const TimeServerSetup setup[] = {{"127.0.1.2", ServeTime, 0}};
    Serve(setup, 1);
    const uint32_t before = SecondsSince1900Now();
    SocketHandle s = Connect(Address(127, 0, 1, 2));
    const int connected = AwaitEvent(s, NET_FD_CONNECT);
    ASSERT_GE(connected, 0);
    EXPECT_EQ(ErrorOf(notices[connected]), 0);
    const int readable = AwaitEvent(s, NET_FD_READ);
    ASSERT_GT(readable, connected);
    EXPECT_EQ(ErrorOf(notices[readable]), 0);
    unsigned char answer[4];
    ASSERT_EQ(NetRecv(s, reinterpret_cast<char*>(answer), 4), 4);
    const uint32_t seconds = (uint32_t{answer[0]} << 24) | (uint32_t{answer[1]} << 16) |
                             (uint32_t{answer[2]} << 8) | answer[3];
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, SecondsSince1900Now());
    EXPECT_EQ(CountEvents(s, NET_FD_CONNECT), 1);
}

TEST_F(NetTest, NothingListeningGivesConnectNoticeWithRefusal) {
    SocketHandle s = Connect(Address(127, 0, 1, 9));
    const int connected = AwaitEvent(s, NET_FD_CONNECT);
    ASSERT_GE(connected, 0);
    EXPECT_EQ(ErrorOf(notices[connected]), NET_WSAECONNREFUSED);
    PumpFor(200);
    EXPECT_EQ(CountEvents(s, NET_FD_READ), 0);
}

TEST_F(NetTest, AnswerInTwoSegmentsGivesAShortFirstRead) {
    const TimeServerSetup setup[] = {{"127.0.1.3", ServeSplit, 0}};
    Serve(setup, 1);
    SocketHandle s = Connect(Address(127, 0, 1, 3));
    ASSERT_GE(AwaitEvent(s, NET_FD_CONNECT), 0);
    ASSERT_GE(AwaitEvent(s, NET_FD_READ), 0);
    char answer[4];
    const int got = NetRecv(s, answer, 4);
    EXPECT_GT(got, 0);
    EXPECT_LT(got, 4);
}

TEST_F(NetTest, EightByteAnswerReadsItsFirstFour) {
    const TimeServerSetup setup[] = {{"127.0.1.4", ServeEight, 0}};
    Serve(setup, 1);
    SocketHandle s = Connect(Address(127, 0, 1, 4));
    ASSERT_GE(AwaitEvent(s, NET_FD_CONNECT), 0);
    ASSERT_GE(AwaitEvent(s, NET_FD_READ), 0);
    // Give the whole answer time to arrive, so that the read cannot be short by chance.
    PumpFor(100);
    unsigned char answer[4];
    ASSERT_EQ(NetRecv(s, reinterpret_cast<char*>(answer), 4), 4);
    const uint32_t seconds = (uint32_t{answer[0]} << 24) | (uint32_t{answer[1]} << 16) |
                             (uint32_t{answer[2]} << 8) | answer[3];
    EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(SecondsSince1900Now()), 1.0);
    // The read leaves four bytes behind, so the platform posts a second read notice. It can
    // still be waiting after the socket is closed, and the platform hands the next socket the
    // same handle at once: the engine must not take that late notice for its next sample.
    PumpFor(100);
    EXPECT_EQ(CountEvents(s, NET_FD_READ), 2);
}

// A server that closes without an answer gives a close notice and no read notice: without the
// close notice the engine would hear nothing and wait for the deadline.
TEST_F(NetTest, ServerClosingWithoutAnswerGivesOnlyACloseNotice) {
    const TimeServerSetup setup[] = {{"127.0.1.5", ServeClose, 0}};
    Serve(setup, 1);
    SocketHandle s = Connect(Address(127, 0, 1, 5));
    ASSERT_GE(AwaitEvent(s, NET_FD_CONNECT), 0);
    PumpFor(500);
    EXPECT_EQ(CountEvents(s, NET_FD_READ), 0);
    EXPECT_EQ(CountEvents(s, NET_FD_CLOSE), 1);
    char answer[4];
    EXPECT_EQ(NetRecv(s, answer, 4), 0);
}

} // namespace
