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

// Pause before accepting again after the process ran out of descriptors.
int const acceptRetryMsec = 1000;

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
    QHostAddress peer;
    QByteArray buffer;
    int searched = 0; // bytes of the buffer known to hold no blank line
    bool answered = false;
};

namespace {

// The record of an open connection (findChild cannot tell it from the socket's timers).
HttpServerConnection *connectionOf(QTcpSocket *socket)
{
    for (QObject *child : socket->children()) {
        if (auto *connection = dynamic_cast<HttpServerConnection *>(child))
            return connection;
    }
    return nullptr;
}

} // namespace

HttpServer::HttpServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    qRegisterMetaType<HttpServer::Request>();
    qRegisterMetaType<QHostAddress>();
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::onNewConnection);
    // Out of descriptors (EMFILE), the TCP server stops accepting for good: try again later.
    connect(m_server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        if (!m_acceptFailing) {
            qCritical().noquote().nospace() << SERVER_TAG << "ERROR: Cannot accept connections : " << m_server->errorString()
                                            << "; trying again every " << acceptRetryMsec << " msec";
        }
        m_acceptFailing = true;
        QTimer::singleShot(acceptRetryMsec, m_server, [this]() {
            if (m_server->isListening())
                m_server->resumeAccepting();
        });
    });
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
    m_acceptFailing = false;
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        QHostAddress const peer = plainPeer(socket->peerAddress());
        if (!admit(peer)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_open[peer].append(socket);
        ++m_openCount;
        qInfo().noquote().nospace() << SERVER_TAG << "New connection received from : " << peer.toString();

        socket->setReadBufferSize(readChunk);
        auto *connection = new HttpServerConnection(socket);
        connection->peer = peer;
        auto *idle = new QTimer(socket);
        idle->setSingleShot(true);
        idle->setInterval(m_idleTimeout);
        connect(idle, &QTimer::timeout, this, [this, socket, connection, peer, idle]() {
            drop(socket, connection, QStringLiteral("Connection from %1 silent for %2 msec").arg(peer.toString()).arg(idle->interval()));
        });
        // The silence limit restarts with every byte; this one does not.
        if (m_requestTimeout > 0) {
            auto *deadline = new QTimer(socket);
            deadline->setSingleShot(true);
            int const limit = m_requestTimeout;
            connect(deadline, &QTimer::timeout, this, [this, socket, connection, peer, limit]() {
                if (!connection->answered)
                    drop(socket, connection, QStringLiteral("Request from %1 not complete within %2 msec").arg(peer.toString()).arg(limit));
            });
            deadline->start(limit);
        }
        auto const restartIdle = [idle]() {
            if (idle->interval() > 0)
                idle->start();
        };
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, connection, peer, restartIdle]() {
            restartIdle();
            onReadyRead(socket, connection, peer);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket, connection, peer]() {
            if (!connection->answered && !connection->buffer.isEmpty()) {
                qWarning().noquote().nospace() << SERVER_TAG << "WARN: Connection from " << peer.toString()
                                               << " closed before its request was complete, "
                                               << connection->buffer.size() << " bytes dropped";
            }
            connection->answered = true;
            release(socket, peer);
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
    // The declared length is checked before any sum: near the top of its range it would wrap.
    if (declared > MaxRequestSize - bodyStart) {
        drop(socket, connection, QStringLiteral("Request from %1 exceeds %2 bytes (head of %3 bytes, Content-Length %4)")
                                     .arg(peer.toString()).arg(MaxRequestSize).arg(bodyStart).arg(declared));
        return;
    }
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
    release(socket, connection->peer);
    socket->abort();
    socket->deleteLater();
}

bool HttpServer::admit(QHostAddress const &peer)
{
    int const mine = m_open.value(peer).size();
    if (mine >= m_maxPerPeer) {
        if (!m_capReported.value(peer)) {
            qWarning().noquote().nospace() << SERVER_TAG << "WARN: " << peer.toString() << " holds " << mine
                                           << " connections, the most one address may; further ones are closed at once";
            m_capReported.insert(peer, true);
        }
        return false;
    }
    if (m_openCount < m_maxConnections)
        return true;

    // All taken: the address holding the most gives up its oldest, unless that would leave
    // the newcomer's address holding as many.
    QHostAddress busiest;
    int most = 0;
    for (auto it = m_open.cbegin(); it != m_open.cend(); ++it) {
        if (it.value().size() > most) {
            most = it.value().size();
            busiest = it.key();
        }
    }
    if (most <= mine + 1) {
        if (!m_fullReported) {
            qWarning().noquote().nospace() << SERVER_TAG << "WARN: " << m_openCount
                                           << " connections open, the most the receiver keeps; further ones are closed at once";
            m_fullReported = true;
        }
        return false;
    }
    QTcpSocket *oldest = m_open.value(busiest).first();
    drop(oldest, connectionOf(oldest),
         QStringLiteral("Connection from %1 closed to make room for %2 (%3 connections open)")
             .arg(busiest.toString(), peer.toString())
             .arg(m_openCount));
    return true;
}

void HttpServer::release(QTcpSocket *socket, QHostAddress const &peer)
{
    auto it = m_open.find(peer);
    if (it == m_open.end() || !it->removeOne(socket))
        return;
    --m_openCount;
    // Warn again only after the crowd has thinned out, not at every turn of it.
    if (it->isEmpty()) {
        m_open.erase(it);
        m_capReported.remove(peer);
    }
    if (m_openCount <= m_maxConnections / 2)
        m_fullReported = false;
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
