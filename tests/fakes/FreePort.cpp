#include "fakes/FreePort.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>

namespace {

// The first port the kernel hands out on its own.
int ephemeralStart()
{
    QFile range(QStringLiteral("/proc/sys/net/ipv4/ip_local_port_range"));
    if (range.open(QIODevice::ReadOnly)) {
        bool ok = false;
        const int first = range.readAll().simplified().split(' ').value(0).toInt(&ok);
        if (ok)
            return first;
    }
    return 32768;
}

} // namespace

quint16 FreePort::pick(const QHostAddress &address)
{
    const int from = 10000;
    const int to = ephemeralStart();
    if (to - from >= 1000) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const quint16 port = quint16(QRandomGenerator::global()->bounded(from, to));
            QTcpServer probe;
            if (probe.listen(address, port))
                return port;
        }
    }
    // No room below the ephemeral range: take one the kernel picks.
    QTcpServer probe;
    return probe.listen(address, 0) ? probe.serverPort() : 0;
}
