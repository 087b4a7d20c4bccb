#include "fakes/ScriptedMqttBroker.h"

#include <QTcpSocket>

namespace {
enum PacketType : quint8 { Connect = 1, Subscribe = 8, PingReq = 12 };

// The fixed header's remaining length (1 to 4 bytes from `at`): the value and the bytes it took,
// or 0 bytes while incomplete.
QPair<int, int> remainingLength(QByteArray const &data, int at)
{
    int value = 0;
    for (int i = 0; i < 4 && at + i < data.size(); ++i) {
        quint8 const byte = quint8(data.at(at + i));
        value |= (byte & 0x7f) << (7 * i);
        if (!(byte & 0x80))
            return {value, i + 1};
    }
    return {0, 0};
}
} // namespace

ScriptedMqttBroker::ScriptedMqttBroker(QObject *parent) : QObject(parent), m_connectAnswer(connack(0))
{
    QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_buffers.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

bool ScriptedMqttBroker::start()
{
    return m_server.isListening() || m_server.listen(QHostAddress::LocalHost, 0);
}

QByteArray ScriptedMqttBroker::connack(int code)
{
    return QByteArray("\x20\x02\x00", 3) + char(code);
}

void ScriptedMqttBroker::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    if (m_silent) {
        buffer.clear();
        return;
    }
    for (;;) {
        if (buffer.size() < 2)
            return;
        QPair<int, int> const length = remainingLength(buffer, 1);
        if (length.second == 0 || buffer.size() < 1 + length.second + length.first)
            return;
        quint8 const type = quint8(buffer.at(0)) >> 4;
        QByteArray const body = buffer.mid(1 + length.second, length.first);
        buffer.remove(0, 1 + length.second + length.first);
        handle(socket, type, body);
    }
}

void ScriptedMqttBroker::handle(QTcpSocket *socket, quint8 type, QByteArray const &body)
{
    switch (type) {
    case Connect:
        socket->write(m_connectAnswer);
        break;
    case PingReq:
        socket->write(QByteArray("\xd0\x00", 2));
        break;
    case Subscribe: {
        // Packet id, then (filter length, filter, QoS) per filter.
        QByteArray codes;
        for (int at = 2; at + 2 <= body.size();) {
            int const size = (quint8(body.at(at)) << 8) | quint8(body.at(at + 1));
            QString const filter = QString::fromUtf8(body.mid(at + 2, size));
            quint8 const qos = at + 2 + size < body.size() ? quint8(body.at(at + 2 + size)) : 0;
            at += 3 + size;
            m_subscriptions.append(filter);
            bool refused = false;
            for (QString const &prefix : qAsConst(m_refused))
                refused = refused || filter.startsWith(prefix);
            codes.append(char(refused ? 0x80 : qos));
        }
        socket->write(QByteArray(1, char(0x90)) + char(2 + codes.size()) + body.left(2) + codes);
        break;
    }
    default:
        break;
    }
}
