#pragma once

#include <QHostAddress>

// A port for a program under test that is given a port number rather than a socket. The pick is
// random, below the kernel's range of ephemeral ports, and free at the address when it is made:
// outgoing connections and listen(0) of tests running at the same time never take it in the
// moment before the program listens on it.
class FreePort
{
public:
    static quint16 pick(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost));
};
