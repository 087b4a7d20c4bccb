#pragma once

#include <QByteArray>
#include <QHostAddress>
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

    explicit HttpServer(QObject *parent = nullptr);

    bool listen(int port);
    void close();

    bool isListening() const;
    quint16 serverPort() const;

    int idleTimeout() const { return m_idleTimeout; }
    void setIdleTimeout(int msec);

signals:
    void requestReceived(QHostAddress peer, HttpServer::Request request);

private slots:
    void onNewConnection();

private:
    void onReadyRead(QTcpSocket *socket, HttpServerConnection *connection, QHostAddress const &peer);
    void drop(QTcpSocket *socket, HttpServerConnection *connection, QString const &reason);
    void handleRequest(QHostAddress const &peer, QByteArray const &data);

    QTcpServer *m_server;
    int m_idleTimeout = DefaultIdleTimeout;
};

Q_DECLARE_METATYPE(HttpServer::Request)
// QtNetwork does not declare it; needed to queue or spy on requestReceived.
Q_DECLARE_METATYPE(QHostAddress)
