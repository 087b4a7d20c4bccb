#include "transport/HttpServer.h"

#include "app/LogQuote.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtDebug>

#define SERVER_TAG "[HttpServer] "

namespace {

QByteArray const okAnswer("HTTP/1.1 200 OK\r\n\r\n");

// Bytes pulled from the kernel per read: keeps a flooding peer from growing the socket buffer
// far beyond the request limit before the limit is checked.
qint64 const readChunk = 64 * 1024;

struct HeadEnd
{
    int pos = -1;    // index of the separator, -1 while the blank line has not arrived
    int length = 0;  // 4 for "\r\n\r\n", 2 for "\n\n"
};

// The earliest blank line ends the head, whichever line ending the peer uses. `from` skips
// bytes already searched on earlier reads.
HeadEnd findHeadEnd(QByteArray const &data, int from = 0)
{
    int const crlf = data.indexOf("\r\n\r\n", from);
    int const lf = data.indexOf("\n\n", from);
    if (crlf >= 0 && (lf < 0 || crlf < lf))
        return {crlf, 4};
    if (lf >= 0)
        return {lf, 2};
    return {};
}

// Content-Length of the head: -1 when absent, -2 when malformed or contradictory.
qint64 contentLength(QByteArray const &head)
{
    qint64 length = -1;
    for (QByteArray line : head.split('\n')) {
        int const colon = line.indexOf(':');
        if (colon <= 0 || line.left(colon).trimmed().toLower() != "content-length")
            continue;
        QByteArray const value = line.mid(colon + 1).trimmed();
        bool ok = !value.isEmpty();
        for (char c : value)
            ok = ok && c >= '0' && c <= '9';
        qint64 const n = ok ? value.toLongLong(&ok) : -1;
        if (!ok || (length >= 0 && n != length))
            return -2;
        length = n;
    }
    return length;
}

// An IPv4 peer on the dual-stack socket shows up as ::ffff:a.b.c.d; users compare with IPv4.
QHostAddress plainPeer(QHostAddress const &address)
{
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        bool isV4 = false;
        quint32 const v4 = address.toIPv4Address(&isV4);
        if (isV4)
            return QHostAddress(v4);
    }
    return address;
}

} // namespace

// What one connection has sent so far; a child of its socket, so it goes with it.
struct HttpServerConnection : QObject
{
    using QObject::QObject;
    QByteArray buffer;
    int searched = 0; // bytes of the buffer known to hold no blank line
    bool answered = false;
};

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    qRegisterMetaType<HttpServer::Request>();
    qRegisterMetaType<QHostAddress>();
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
}

bool HttpServer::listen(int port)
{
    if (m_server->isListening())
        m_server->close();
    qInfo().noquote().nospace() << SERVER_TAG << "Listening for HTTP requests on : 0.0.0.0:" << port;
    if (!m_server->listen(QHostAddress::Any, static_cast<quint16>(port))) {
        qCritical().noquote().nospace() << SERVER_TAG << "ERROR: Failed to listen : " << m_server->errorString();
        return false;
    }
    return true;
}

void HttpServer::close()
{
    if (!m_server->isListening())
        return;
    qInfo().noquote().nospace() << SERVER_TAG << "Stopped listening for HTTP requests";
    m_server->close();
}

bool HttpServer::isListening() const
{
    return m_server->isListening();
}

quint16 HttpServer::serverPort() const
{
    return m_server->serverPort();
}

void HttpServer::setIdleTimeout(int msec)
{
    m_idleTimeout = msec;
}

void HttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        QHostAddress const peer = plainPeer(socket->peerAddress());
        qInfo().noquote().nospace() << SERVER_TAG << "New connection received from : " << peer.toString();

        socket->setReadBufferSize(readChunk);
        auto *connection = new HttpServerConnection(socket);
        auto *idle = new QTimer(socket);
        idle->setSingleShot(true);
        idle->setInterval(m_idleTimeout);
        connect(idle, &QTimer::timeout, this, [this, socket, connection, peer, idle]() {
            drop(socket, connection, QStringLiteral("Connection from %1 silent for %2 msec").arg(peer.toString()).arg(idle->interval()));
        });
        auto const restartIdle = [idle]() {
            if (idle->interval() > 0)
                idle->start();
        };
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, connection, peer, restartIdle]() {
            restartIdle();
            onReadyRead(socket, connection, peer);
        });
        connect(socket, &QTcpSocket::disconnected, this, [socket, connection, peer]() {
            if (!connection->answered && !connection->buffer.isEmpty()) {
                qWarning().noquote().nospace() << SERVER_TAG << "WARN: Connection from " << peer.toString()
                                               << " closed before its request was complete, "
                                               << connection->buffer.size() << " bytes dropped";
            }
            connection->answered = true;
            socket->deleteLater();
        });
        restartIdle();
    }
}

void HttpServer::onReadyRead(QTcpSocket *socket, HttpServerConnection *connection, QHostAddress const &peer)
{
    if (connection->answered) {
        socket->readAll(); // one request per connection; anything behind it is discarded
        return;
    }
    connection->buffer += socket->readAll();
    QByteArray &buffer = connection->buffer;

    HeadEnd const headEnd = findHeadEnd(buffer, qMax(0, connection->searched - 3));
    if (headEnd.pos < 0) {
        connection->searched = buffer.size();
        if (buffer.size() > MaxRequestSize)
            drop(socket, connection, QStringLiteral("Request from %1 exceeds %2 bytes without a complete head").arg(peer.toString()).arg(MaxRequestSize));
        return;
    }
    qint64 const declared = contentLength(buffer.left(headEnd.pos));
    if (declared == -2) {
        drop(socket, connection, QStringLiteral("Request from %1 has an invalid Content-Length").arg(peer.toString()));
        return;
    }
    qint64 const bodyStart = headEnd.pos + headEnd.length;
    // Without a Content-Length the body is what came with the head.
    qint64 const total = declared >= 0 ? bodyStart + declared : buffer.size();
    if (total > MaxRequestSize) {
        drop(socket, connection, QStringLiteral("Request from %1 exceeds %2 bytes (%3 bytes)").arg(peer.toString()).arg(MaxRequestSize).arg(total));
        return;
    }
    if (buffer.size() < total)
        return;

    connection->answered = true;
    QByteArray const request = buffer.left(static_cast<int>(total));
    buffer.clear();

    handleRequest(peer, request);
    socket->write(okAnswer);
    socket->disconnectFromHost();
}

void HttpServer::drop(QTcpSocket *socket, HttpServerConnection *connection, QString const &reason)
{
    qWarning().noquote().nospace() << SERVER_TAG << "WARN: " << reason << ", connection dropped";
    connection->answered = true;
    socket->abort();
    socket->deleteLater();
}

void HttpServer::handleRequest(QHostAddress const &peer, QByteArray const &data)
{
    static QRegularExpression const httpRegex(QStringLiteral("^(\\w+)\\s+([^\\s?]+)"));

    HeadEnd const headEnd = findHeadEnd(data);
    QString head;
    if (headEnd.pos >= 0) {
        QByteArray bytes = data.left(headEnd.pos);
        int const nul = bytes.indexOf('\0');
        if (nul >= 0)
            bytes.truncate(nul);
        head = QString::fromUtf8(bytes);
    }
    QRegularExpressionMatch const match = httpRegex.match(head);
    if (!match.hasMatch())
        return;

    Request request;
    request.method = match.captured(1);
    request.path = match.captured(2);
    request.body = data.mid(headEnd.pos + headEnd.length);
    qDebug().noquote().nospace() << SERVER_TAG << "HTTP request received : method="
                                 << LogQuote::quote(request.method) << ", path=" << LogQuote::quote(request.path);
    emit requestReceived(peer, request);
}
