// The simulated network: scripted name lookups and time servers on the virtual clock.
//
// Nothing here completes synchronously. A connect, a lookup and a server's answer each become
// a call scheduled on the virtual clock; when it comes due it changes the socket or task and
// posts the notice, so the logic sees the same order of events as on the platform.
#include <cstring>

#include "platform/net.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_internal.h"

namespace {

constexpr int SERVER_MAX = 256;
constexpr int LOOKUP_MAX = 128;
constexpr int SOCKET_MAX = 256;
constexpr int TASK_MAX = 256;
constexpr int NAME_MAX = 128;
constexpr int DATA_MAX = 16;

// Small multiples of 4 above zero, like the platform's handles.
constexpr SocketHandle SOCKET_HANDLE_BASE = 0x100;
constexpr TaskHandle TASK_HANDLE_BASE = 0x5000;

// The scripted servers listen on the Time protocol's port only; other ports refuse.
constexpr uint16_t SIM_TIME_PORT = 37;

constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAENOTCONN = 10057;

constexpr uint64_t FILETIME_PER_MS = 10000;
// Milliseconds from 1601-01-01 to 1900-01-01.
constexpr int64_t EPOCH_DISTANCE_MS = 9435484800000;

struct ServerEntry {
    bool used;
    bool scripted; // false: only counts connects to an address nobody serves
    uint32_t address;
    SimServer server;
    int connects;
    uint64_t connectAt[32]; // the virtual time of the first connects
};

struct LookupEntry {
    bool used;
    char name[NAME_MAX];
    uint32_t address;
    int error;
    uint32_t delayMs;
    int count;
};

struct SocketEntry {
    bool open;
    uint64_t id; // unique per socket ever opened, so late calls find a closed one gone
    WindowHandle window;
    uint32_t message;
    long events;
    bool connecting;
    bool connected;
    bool peerClosed;
    bool readNoticeQueued; // a readable notice is out and no read has happened since
    uint32_t address;
    uint16_t port;
    uint8_t data[DATA_MAX];
    int dataLength;
    uint8_t later[2]; // the second piece of a split answer, still on its way
};

struct TaskEntry {
    bool pending;
    TaskHandle handle;
    WindowHandle window;
    uint32_t message;
    char* buffer;
    int bufferSize;
    int lookup; // index into lookups
};

enum NetOp { OP_SOCKET, OP_BIND, OP_SETSOCKOPT, OP_SELECT, OP_CONNECT, OP_LOOKUP, OP_COUNT };
const char* const OP_NAMES[OP_COUNT] = {"socket", "bind",    "setsockopt",
                                        "select", "connect", "lookup"};

struct NetState {
    ServerEntry servers[SERVER_MAX];
    LookupEntry lookups[LOOKUP_MAX];
    SocketEntry sockets[SOCKET_MAX];
    TaskEntry tasks[TASK_MAX];
    uint64_t nextSocketId;
    TaskHandle nextTask;
    int failures[OP_COUNT]; // 0: none armed
    int lastError;
};

NetState net;

// The layout the platform writes into a lookup buffer: a host entry whose pointers point
// further into the same buffer.
struct HostEntry {
    char* name;
    char** aliases;
    int16_t addressType;
    int16_t addressLength;
    char** addressList;
};

bool TakeFailure(NetOp op) {
    if (net.failures[op] == 0) {
        return false;
    }
    net.lastError = net.failures[op];
    net.failures[op] = 0;
    return true;
}

ServerEntry* FindServer(uint32_t address, bool create) {
    for (ServerEntry& s : net.servers) {
        if (s.used && s.address == address) {
            return &s;
        }
    }
    if (!create) {
        return nullptr;
    }
    for (ServerEntry& s : net.servers) {
        if (!s.used) {
            s = ServerEntry{};
            s.used = true;
            s.address = address;
            return &s;
        }
    }
    return nullptr;
}

LookupEntry* FindLookup(const char* name, bool create) {
    for (LookupEntry& l : net.lookups) {
        if (l.used && strncmp(l.name, name, NAME_MAX) == 0) {
            return &l;
        }
    }
    if (!create) {
        return nullptr;
    }
    for (LookupEntry& l : net.lookups) {
        if (!l.used) {
            l = LookupEntry{};
            l.used = true;
            strncpy(l.name, name, NAME_MAX - 1);
            l.error = NET_WSAHOST_NOT_FOUND;
            l.delayMs = 1;
            return &l;
        }
    }
    return nullptr;
}

SocketEntry* FindSocket(SocketHandle handle) {
    if (handle < SOCKET_HANDLE_BASE || (handle - SOCKET_HANDLE_BASE) % 4 != 0) {
        return nullptr;
    }
    const SocketHandle index = (handle - SOCKET_HANDLE_BASE) / 4;
    if (index >= SOCKET_MAX || !net.sockets[index].open) {
        return nullptr;
    }
    return &net.sockets[index];
}

SocketHandle HandleOf(const SocketEntry& s) {
    return SOCKET_HANDLE_BASE + static_cast<SocketHandle>(&s - net.sockets) * 4;
}

SocketEntry* FindSocketById(uintptr_t id) {
    for (SocketEntry& s : net.sockets) {
        if (s.open && s.id == id) {
            return &s;
        }
    }
    return nullptr;
}

void PostSocketEvent(SocketEntry& s, long event, int error) {
    if ((s.events & event) == 0 || s.window == nullptr) {
        return;
    }
    if (event == NET_FD_READ) {
        s.readNoticeQueued = true;
    }
    const uintptr_t lParam =
        (static_cast<uintptr_t>(error & 0xFFFF) << 16) | static_cast<uintptr_t>(event);
    SimPostMessage(s.window, s.message, HandleOf(s), static_cast<intptr_t>(lParam));
}

void Arrive(SocketEntry& s, const uint8_t* bytes, int count) {
    for (int i = 0; i < count && s.dataLength < DATA_MAX; i++) {
        s.data[s.dataLength++] = bytes[i];
    }
    if (!s.readNoticeQueued) {
        PostSocketEvent(s, NET_FD_READ, 0);
    }
}

int64_t FloorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

uint32_t ServerSeconds(const SimServer& server) {
    if (server.fixedSeconds >= 0) {
        return static_cast<uint32_t>(server.fixedSeconds);
    }
    const int64_t wallMs =
        static_cast<int64_t>(SimTrueClock() / FILETIME_PER_MS) - EPOCH_DISTANCE_MS;
    return static_cast<uint32_t>(static_cast<uint64_t>(FloorDiv(wallMs + server.offsetMs, 1000)));
}

void SecondHalf(uintptr_t id) {
    SocketEntry* s = FindSocketById(id);
    if (s == nullptr) {
        return;
    }
    Arrive(*s, s->later, 2);
}

void ServerSends(uintptr_t id) {
    SocketEntry* s = FindSocketById(id);
    if (s == nullptr) {
        return;
    }
    const ServerEntry* server = FindServer(s->address, false);
    if (server == nullptr) {
        return;
    }
    const uint32_t seconds = ServerSeconds(server->server);
    uint8_t bytes[8] = {static_cast<uint8_t>(seconds >> 24),
                        static_cast<uint8_t>(seconds >> 16),
                        static_cast<uint8_t>(seconds >> 8),
                        static_cast<uint8_t>(seconds),
                        0,
                        0,
                        0,
                        0};
    switch (server->server.kind) {
    case SIM_ANSWER:
        Arrive(*s, bytes, 4);
        break;
    case SIM_ZERO:
        Arrive(*s, bytes + 4, 4);
        break;
    case SIM_EIGHT:
        Arrive(*s, bytes, 8);
        break;
    case SIM_SPLIT:
        // The whole answer is the time at the moment of sending; only its delivery is split.
        s->later[0] = bytes[2];
        s->later[1] = bytes[3];
        Arrive(*s, bytes, 2);
        SimScheduleCall(1, SecondHalf, id);
        break;
    case SIM_CLOSE:
        // The platform reports a close only as a close notice: no readable notice comes.
        s->peerClosed = true;
        PostSocketEvent(*s, NET_FD_CLOSE, 0);
        break;
    case SIM_ANSWER_CLOSE:
        // The two notices of an answer followed by a close come in no promised order.
        s->peerClosed = true;
        PostSocketEvent(*s, NET_FD_CLOSE, 0);
        Arrive(*s, bytes, 4);
        break;
    case SIM_READ_ERROR:
        PostSocketEvent(*s, NET_FD_READ, WSAECONNABORTED);
        break;
    default:
        break;
    }
}

void ConnectionOutcome(uintptr_t id) {
    SocketEntry* s = FindSocketById(id);
    if (s == nullptr) {
        return;
    }
    s->connecting = false;
    const ServerEntry* server = FindServer(s->address, false);
    if (server == nullptr || !server->scripted) {
        PostSocketEvent(*s, NET_FD_CONNECT, NET_WSAETIMEDOUT);
        return;
    }
    if (s->port != SIM_TIME_PORT) {
        PostSocketEvent(*s, NET_FD_CONNECT, NET_WSAECONNREFUSED);
        return;
    }
    switch (server->server.kind) {
    case SIM_REFUSE:
        PostSocketEvent(*s, NET_FD_CONNECT, NET_WSAECONNREFUSED);
        return;
    case SIM_CONNECT_TIMEOUT:
        PostSocketEvent(*s, NET_FD_CONNECT, NET_WSAETIMEDOUT);
        return;
    default:
        break;
    }
    s->connected = true;
    PostSocketEvent(*s, NET_FD_CONNECT, 0);
    if (server->server.kind != SIM_SILENT) {
        SimScheduleCall(server->server.answerDelayMs, ServerSends, id);
    }
}

void LookupFinished(uintptr_t handle) {
    TaskEntry* task = nullptr;
    for (TaskEntry& t : net.tasks) {
        if (t.pending && t.handle == handle) {
            task = &t;
        }
    }
    if (task == nullptr) {
        return; // cancelled
    }
    task->pending = false;
    const LookupEntry& lookup = net.lookups[task->lookup];
    int error = lookup.error;
    int length = 0;
    if (error == 0) {
        // Host entry, address list (one address and the terminating null), alias list (empty),
        // the address bytes, the name.
        const size_t nameLength = strlen(lookup.name) + 1;
        const size_t listOffset = sizeof(HostEntry);
        const size_t aliasOffset = listOffset + 2 * sizeof(char*);
        const size_t addressOffset = aliasOffset + sizeof(char*);
        const size_t nameOffset = addressOffset + 4;
        const size_t total = nameOffset + nameLength;
        if (total > static_cast<size_t>(task->bufferSize)) {
            error = WSAENOBUFS;
        } else {
            char* b = task->buffer;
            HostEntry host = {b + nameOffset, reinterpret_cast<char**>(b + aliasOffset), 2, 4,
                              reinterpret_cast<char**>(b + listOffset)};
            char* list[2] = {b + addressOffset, nullptr};
            char* aliases[1] = {nullptr};
            memcpy(b, &host, sizeof host);
            memcpy(b + listOffset, list, sizeof list);
            memcpy(b + aliasOffset, aliases, sizeof aliases);
            memcpy(b + addressOffset, &lookup.address, 4);
            memcpy(b + nameOffset, lookup.name, nameLength);
            length = static_cast<int>(total);
        }
    }
    const uintptr_t lParam =
        (static_cast<uintptr_t>(error & 0xFFFF) << 16) | static_cast<uintptr_t>(length & 0xFFFF);
    SimPostMessage(task->window, task->message, task->handle, static_cast<intptr_t>(lParam));
}

} // namespace

void SimResetNet() {
    memset(&net, 0, sizeof net);
    net.nextSocketId = 1;
    net.nextTask = TASK_HANDLE_BASE;
}

// ---- control ----

void SimAddServer(uint32_t address, const SimServer& server) {
    ServerEntry* s = FindServer(address, true);
    if (s != nullptr) {
        s->scripted = true;
        s->server = server;
    }
}

uint64_t SimConnectTime(uint32_t address, int k) {
    const ServerEntry* s = FindServer(address, false);
    return s != nullptr && k >= 0 && k < s->connects && k < 32 ? s->connectAt[k] : UINT64_MAX;
}

int SimConnectCount(uint32_t address) {
    const ServerEntry* s = FindServer(address, false);
    return s != nullptr ? s->connects : 0;
}

int SimOpenSocketCount() {
    int n = 0;
    for (const SocketEntry& s : net.sockets) {
        n += s.open;
    }
    return n;
}

void SimAddLookup(const char* name, uint32_t address, int error, uint32_t delayMs) {
    LookupEntry* l = FindLookup(name, true);
    if (l != nullptr) {
        l->address = address;
        l->error = error;
        l->delayMs = delayMs;
    }
}

int SimLookupCount(const char* name) {
    const LookupEntry* l = FindLookup(name, false);
    return l != nullptr ? l->count : 0;
}

int SimPendingLookupCount() {
    int n = 0;
    for (const TaskEntry& t : net.tasks) {
        n += t.pending;
    }
    return n;
}

void SimNetFail(const char* operation, int error) {
    for (int op = 0; op < OP_COUNT; op++) {
        if (strcmp(operation, OP_NAMES[op]) == 0) {
            net.failures[op] = error;
        }
    }
}

uint32_t SimAddress(int a, int b, int c, int d) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                              static_cast<uint8_t>(c), static_cast<uint8_t>(d)};
    uint32_t address;
    memcpy(&address, bytes, 4);
    return address;
}

// ---- the platform's operations ----

// The platform's forms: one to four parts between dots, a.b.c.d, a.b.c (c fills the last 16
// bits), a.b (b the last 24) or a (all 32); each part decimal, octal after a leading 0 or
// hexadecimal after 0x or 0X, and none wider than its place. The address ends at the end of
// the text or at a blank, tab or line break, and anything may follow that: the platform
// reads "1.2.3.4 x" as 1.2.3.4. Any other text, and the all-ones address, is INADDR_NONE.
static int DigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

static bool EndsAddress(char c) {
    return c == 0 || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

uint32_t NetInetAddr(const char* text) {
    if (text == nullptr) {
        return NET_INADDR_NONE;
    }
    uint64_t parts[4];
    int count = 0;
    const char* p = text;
    for (;;) {
        int base = 10;
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
            base = 16;
            p += 2;
        } else if (p[0] == '0') {
            base = 8; // the 0 is a digit of the part as well
        }
        uint64_t value = 0;
        int digits = 0;
        for (int d = DigitValue(*p); d >= 0 && d < base; d = DigitValue(*++p)) {
            value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
            if (value > 0xFFFFFFFFu) {
                return NET_INADDR_NONE;
            }
            digits++;
        }
        if (digits == 0 || count == 4) {
            return NET_INADDR_NONE;
        }
        parts[count++] = value;
        if (*p != '.') {
            break;
        }
        p++;
    }
    if (!EndsAddress(*p)) {
        return NET_INADDR_NONE;
    }
    // The last part fills every byte that the parts before it leave.
    const int lastBits = 32 - 8 * (count - 1);
    uint64_t value = parts[count - 1];
    if (lastBits < 32 && value >> lastBits != 0) {
        return NET_INADDR_NONE;
    }
    for (int i = 0; i < count - 1; i++) {
        if (parts[i] > 255) {
            return NET_INADDR_NONE;
        }
        value |= parts[i] << (24 - 8 * i);
    }
    return SimAddress(static_cast<int>(value >> 24), static_cast<int>(value >> 16 & 255),
                      static_cast<int>(value >> 8 & 255), static_cast<int>(value & 255));
}

TaskHandle NetAsyncGetHostByName(WindowHandle window, uint32_t message, const char* name,
                                 char* buffer, int bufferSize) {
    SimCheckWindow(window, "a lookup");
    if (TakeFailure(OP_LOOKUP)) {
        return 0;
    }
    LookupEntry* lookup = FindLookup(name, true);
    TaskEntry* task = nullptr;
    for (TaskEntry& t : net.tasks) {
        if (!t.pending) {
            task = &t;
            break;
        }
    }
    if (lookup == nullptr || task == nullptr) {
        net.lastError = WSAENOBUFS;
        return 0;
    }
    lookup->count++;
    net.nextTask += 4;
    *task = TaskEntry{true,
                      net.nextTask,
                      window,
                      message,
                      buffer,
                      bufferSize,
                      static_cast<int>(lookup - net.lookups)};
    SimScheduleCall(lookup->delayMs, LookupFinished, task->handle);
    return task->handle;
}

void NetCancelAsyncRequest(TaskHandle task) {
    for (TaskEntry& t : net.tasks) {
        if (t.pending && t.handle == task) {
            t.pending = false;
        }
    }
}

uint32_t NetLookupFirstAddress(const char* buffer) {
    HostEntry host;
    memcpy(&host, buffer, sizeof host);
    if (host.addressList == nullptr) {
        return NET_INADDR_NONE;
    }
    const char* first;
    memcpy(&first, host.addressList, sizeof first);
    if (first == nullptr) {
        return NET_INADDR_NONE;
    }
    uint32_t address;
    memcpy(&address, first, sizeof address);
    return address;
}

SocketHandle NetSocket() {
    if (TakeFailure(OP_SOCKET)) {
        return NET_INVALID_SOCKET;
    }
    // The lowest free handle, as the platform hands out the value of a socket just closed.
    for (SocketEntry& s : net.sockets) {
        if (!s.open) {
            s = SocketEntry{};
            s.open = true;
            s.id = net.nextSocketId++;
            return HandleOf(s);
        }
    }
    net.lastError = WSAENOBUFS;
    return NET_INVALID_SOCKET;
}

static int SocketCall(SocketHandle socket, NetOp op, SocketEntry** entry) {
    *entry = FindSocket(socket);
    if (*entry == nullptr) {
        net.lastError = WSAENOTSOCK;
        return NET_SOCKET_ERROR;
    }
    return TakeFailure(op) ? NET_SOCKET_ERROR : 0;
}

int NetBindAny(SocketHandle socket) {
    SocketEntry* s;
    return SocketCall(socket, OP_BIND, &s);
}

int NetSetDontLinger(SocketHandle socket) {
    SocketEntry* s;
    return SocketCall(socket, OP_SETSOCKOPT, &s);
}

int NetAsyncSelect(SocketHandle socket, WindowHandle window, uint32_t message, long events) {
    SimCheckWindow(window, "selecting socket notices");
    SocketEntry* s;
    if (SocketCall(socket, OP_SELECT, &s) != 0) {
        return NET_SOCKET_ERROR;
    }
    s->window = window;
    s->message = message;
    s->events = events;
    s->readNoticeQueued = false;
    return 0;
}

int NetConnect(SocketHandle socket, uint32_t address, uint16_t port) {
    SocketEntry* s;
    if (SocketCall(socket, OP_CONNECT, &s) != 0) {
        return NET_SOCKET_ERROR;
    }
    if (s->connecting || s->connected || port == 0) {
        net.lastError = WSAEINVAL;
        return NET_SOCKET_ERROR;
    }
    // Neither the any-address nor the broadcast address can be connected to.
    if (address == 0 || address == NET_INADDR_NONE) {
        net.lastError = WSAEADDRNOTAVAIL;
        return NET_SOCKET_ERROR;
    }
    ServerEntry* server = FindServer(address, true);
    if (server != nullptr) {
        if (server->connects < 32) {
            server->connectAt[server->connects] = SimElapsedMs();
        }
        server->connects++;
    }
    s->address = address;
    s->connecting = true;
    s->port = port;
    const bool scripted = server != nullptr && server->scripted;
    SimScheduleCall(scripted ? server->server.connectDelayMs : SIM_NO_SERVER_TIMEOUT_MS,
                    ConnectionOutcome, static_cast<uintptr_t>(s->id));
    net.lastError = NET_WSAEWOULDBLOCK;
    return NET_SOCKET_ERROR;
}

int NetRecv(SocketHandle socket, char* buffer, int size) {
    SocketEntry* s = FindSocket(socket);
    if (s == nullptr) {
        net.lastError = WSAENOTSOCK;
        return NET_SOCKET_ERROR;
    }
    if (!s->connected) {
        net.lastError = WSAENOTCONN;
        return NET_SOCKET_ERROR;
    }
    if (size < 0) {
        net.lastError = WSAEINVAL;
        return NET_SOCKET_ERROR;
    }
    s->readNoticeQueued = false;
    if (s->dataLength == 0) {
        if (s->peerClosed) {
            return 0;
        }
        net.lastError = NET_WSAEWOULDBLOCK;
        return NET_SOCKET_ERROR;
    }
    const int n = size < s->dataLength ? size : s->dataLength;
    memcpy(buffer, s->data, static_cast<size_t>(n));
    memmove(s->data, s->data + n, static_cast<size_t>(s->dataLength - n));
    s->dataLength -= n;
    if (s->dataLength > 0) {
        PostSocketEvent(*s, NET_FD_READ, 0);
    }
    return n;
}

void NetCloseSocket(SocketHandle socket) {
    SocketEntry* s = FindSocket(socket);
    if (s != nullptr) {
        s->open = false;
    }
}

int NetLastError() {
    return net.lastError;
}
