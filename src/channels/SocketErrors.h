// Socket failures as the Winsock numbers the wizard reports ("Ошибка сокета %d").
#pragma once

#include <QAbstractSocket>
#include <QString>

namespace SocketErrors {

constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAHOST_NOT_FOUND = 11001;

// The nearest Winsock number to a Qt socket error. Qt reports an unreachable network and
// an unreachable host with one error code and tells them apart only by the text.
int WinsockError(QAbstractSocket::SocketError error, const QString& errorString);

} // namespace SocketErrors
