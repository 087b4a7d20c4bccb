#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;
struct HttpServerConnection;

// Minimal receiver of pushed HTTP requests: one request per connection, always answered
// "200 OK" and closed. No routing, no keep-alive.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QString method;
        QString path;
        QByteArray body;
    };

    // A request (head and body) larger than this is dropped.
    static constexpr qint64 MaxRequestSize = 1024 * 1024;
    // A connection that sends nothing for this long is dropped (0: never).
    static constexpr int DefaultIdleTimeout = 10000;
    // A request (head and body) not complete this long after its connection was accepted is
    // dropped, however steadily its bytes trickle in (0: never).
    static constexpr int DefaultRequestTimeout = 30000;
    // Connections kept open at once, in all and from one address. Beyond them a newcomer is
    // closed at once, or, when all are taken, the oldest of the address that holds the most
    // makes room: slow peers cannot exhaust the process's descriptors or lock the cameras out.
    static constexpr int DefaultMaxConnections = 64;
    static constexpr int DefaultMaxConnectionsPerPeer = 8;

    explicit HttpServer(QObject *parent = nullptr);

    bool listen(int port);
    void close();

    bool isListening() const;
    quint16 serverPort() const;

    int idleTimeout() const { return m_idleTimeout; }
    void setIdleTimeout(int msec);
    int requestTimeout() const { return m_requestTimeout; }
    void setRequestTimeout(int msec) { m_requestTimeout = msec; }
    int maxConnections() const { return m_maxConnections; }
    void setMaxConnections(int count) { m_maxConnections = qMax(1, count); }
    int maxConnectionsPerPeer() const { return m_maxPerPeer; }
    void setMaxConnectionsPerPeer(int count) { m_maxPerPeer = qMax(1, count); }
    // Connections open now (accepted, not yet closed).
    int connectionCount() const { return m_openCount; }

signals:
    void requestReceived(QHostAddress peer, HttpServer::Request request);

private slots:
    void onNewConnection();

private:
    // Whether a connection from peer may open; may close another peer's oldest to make room.
    bool admit(QHostAddress const &peer);
    void onReadyRead(QTcpSocket *socket, HttpServerConnection *connection, QHostAddress const &peer);
    void drop(QTcpSocket *socket, HttpServerConnection *connection, QString const &reason);
    // Forgets an open connection (once).
    void release(QTcpSocket *socket, QHostAddress const &peer);
    void handleRequest(QHostAddress const &peer, QByteArray const &data);

    QTcpServer *m_server;
    int m_idleTimeout = DefaultIdleTimeout;
    int m_requestTimeout = DefaultRequestTimeout;
    int m_maxConnections = DefaultMaxConnections;
    int m_maxPerPeer = DefaultMaxConnectionsPerPeer;
    QHash<QHostAddress, QList<QTcpSocket *>> m_open; // per peer, oldest first
    int m_openCount = 0;
    QHash<QHostAddress, bool> m_capReported; // peers told about once per spell at the cap
    bool m_fullReported = false;
    bool m_acceptFailing = false;
};

Q_DECLARE_METATYPE(HttpServer::Request)
// QtNetwork does not declare it; needed to queue or spy on requestReceived.
Q_DECLARE_METATYPE(QHostAddress)
