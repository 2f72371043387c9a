// Asynchronous IPv4 TCP client sockets and host-name lookups.
//
// Conventions: addresses are 32-bit IPv4 addresses in network byte order, stored as they
// would lie in memory (the first octet in the lowest byte); ports are in host byte order.
// Results follow the platform's sockets: 0 or a handle on success, NET_SOCKET_ERROR or
// NET_INVALID_SOCKET on failure with the reason in NetLastError(). Completions never call
// back: they are posted to the given window as messages and handled one at a time.
//   lookup done:  wParam = the task handle, lParam = error << 16 (0 = success)
//   socket event: wParam = the socket, lParam = (error << 16) | event (NET_FD_READ/CONNECT/CLOSE)
#pragma once
#include <cstdint>

#include "platform/window.h"

using SocketHandle = uintptr_t;
using TaskHandle = uintptr_t;

constexpr SocketHandle NET_INVALID_SOCKET = ~static_cast<SocketHandle>(0);
constexpr int NET_SOCKET_ERROR = -1;
constexpr uint32_t NET_INADDR_NONE = 0xFFFFFFFFu;
constexpr int NET_LOOKUP_BUFFER_SIZE = 1024;

constexpr long NET_FD_READ = 1;
constexpr long NET_FD_CONNECT = 16;
constexpr long NET_FD_CLOSE = 32;

constexpr int NET_WSAEWOULDBLOCK = 10035;
constexpr int NET_WSAENETDOWN = 10050;
constexpr int NET_WSAETIMEDOUT = 10060;
constexpr int NET_WSAECONNREFUSED = 10061;
constexpr int NET_WSAHOST_NOT_FOUND = 11001;
constexpr int NET_WSATRY_AGAIN = 11002;
constexpr int NET_WSANO_DATA = 11004;

// Parses an address in any of the platform's dotted forms (a.b.c.d, a.b.c, a.b or a; each
// part decimal, octal or hexadecimal; the text may go on after a blank); NET_INADDR_NONE for
// any other text, and for the all-ones address itself.
uint32_t NetInetAddr(const char* text);

// Starts a lookup whose result lands in buffer; 0 when none could be started.
TaskHandle NetAsyncGetHostByName(WindowHandle window, uint32_t message, const char* name,
                                 char* buffer, int bufferSize);
void NetCancelAsyncRequest(TaskHandle task);

// The first address of a finished lookup's result, its 4 bytes taken as they stand.
uint32_t NetLookupFirstAddress(const char* buffer);

SocketHandle NetSocket();                  // a TCP socket
int NetBindAny(SocketHandle socket);       // local address 0.0.0.0, port 0
int NetSetDontLinger(SocketHandle socket); // closing returns at once
// Makes the socket non-blocking and asks for the events as messages; events 0 stops them.
int NetAsyncSelect(SocketHandle socket, WindowHandle window, uint32_t message, long events);
int NetConnect(SocketHandle socket, uint32_t address, uint16_t port);
int NetRecv(SocketHandle socket, char* buffer, int size);
void NetCloseSocket(SocketHandle socket);
int NetLastError();
