// Socket failures as the Winsock numbers the wizard reports ("Ошибка сокета %d").
#pragma once

#include <QAbstractSocket>

namespace SocketErrors {

constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAHOST_NOT_FOUND = 11001;

// The system's error of the socket call that failed last on this thread: errno, or
// WSAGetLastError() on Windows. Qt emits a socket's error signal right after that call, so
// its handler reads it first thing; later calls may overwrite it.
int LastNativeError();

// The Winsock number of a system error (errno, or on Windows the number itself); 0 for
// one that has none here.
int NativeToWinsock(int nativeError);

// The nearest Winsock number to a Qt socket error. Qt files an unreachable network, an
// unreachable host and a connect timed out by the kernel all as NetworkError, told apart
// only by a text in the user's language; the system's own error (LastNativeError at the
// signal) decides between them. Without a network error of the system's, an unreachable
// network is reported.
int WinsockError(QAbstractSocket::SocketError error, int nativeError);

} // namespace SocketErrors
