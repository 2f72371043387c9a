// Asynchronous sockets and host-name lookups on Windows Sockets 1.1.
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "platform/net.h"

static_assert(NET_LOOKUP_BUFFER_SIZE == MAXGETHOSTSTRUCT, "lookup buffer is a whole hostent");
static_assert(NET_FD_READ == FD_READ && NET_FD_CONNECT == FD_CONNECT, "event codes");
static_assert(NET_WSAEWOULDBLOCK == WSAEWOULDBLOCK && NET_WSAECONNREFUSED == WSAECONNREFUSED &&
                  NET_WSAHOST_NOT_FOUND == WSAHOST_NOT_FOUND && NET_WSAETIMEDOUT == WSAETIMEDOUT &&
                  NET_WSAENETDOWN == WSAENETDOWN && NET_WSATRY_AGAIN == WSATRY_AGAIN &&
                  NET_WSANO_DATA == WSANO_DATA,
              "error numbers");
static_assert(NET_INVALID_SOCKET == INVALID_SOCKET && NET_SOCKET_ERROR == SOCKET_ERROR,
              "failure results");

static HWND Hwnd(WindowHandle window) {
    return static_cast<HWND>(window);
}
static SOCKET Sock(SocketHandle socket) {
    return static_cast<SOCKET>(socket);
}

uint32_t NetInetAddr(const char* text) {
    return inet_addr(text);
}

TaskHandle NetAsyncGetHostByName(WindowHandle window, uint32_t message, const char* name,
                                 char* buffer, int bufferSize) {
    return reinterpret_cast<TaskHandle>(
        WSAAsyncGetHostByName(Hwnd(window), message, name, buffer, bufferSize));
}

void NetCancelAsyncRequest(TaskHandle task) {
    WSACancelAsyncRequest(reinterpret_cast<HANDLE>(task));
}

// The hostent's pointers point into the same buffer, so the buffer must not have moved since
// the lookup wrote it; the address bytes may lie at any alignment.
uint32_t NetLookupFirstAddress(const char* buffer) {
    const hostent* host = reinterpret_cast<const hostent*>(buffer);
    uint32_t address = NET_INADDR_NONE;
    if (host->h_addr_list != nullptr && host->h_addr_list[0] != nullptr) {
        memcpy(&address, host->h_addr_list[0], sizeof address);
    }
    return address;
}

SocketHandle NetSocket() {
    return socket(AF_INET, SOCK_STREAM, 0);
}

int NetBindAny(SocketHandle socket) {
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = 0;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    return bind(Sock(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

int NetSetDontLinger(SocketHandle socket) {
    BOOL on = TRUE;
    return setsockopt(Sock(socket), SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<const char*>(&on),
                      sizeof on);
}

int NetAsyncSelect(SocketHandle socket, WindowHandle window, uint32_t message, long events) {
    return WSAAsyncSelect(Sock(socket), Hwnd(window), message, events);
}

int NetConnect(SocketHandle socket, uint32_t address, uint16_t port) {
    sockaddr_in remote;
    memset(&remote, 0, sizeof remote);
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = address;
    return connect(Sock(socket), reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
}

int NetRecv(SocketHandle socket, char* buffer, int size) {
    return recv(Sock(socket), buffer, size, 0);
}

void NetCloseSocket(SocketHandle socket) {
    closesocket(Sock(socket));
}

int NetLastError() {
    return WSAGetLastError();
}
