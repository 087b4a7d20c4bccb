#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonValue>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QQueue>
#include <QSslCertificate>
#include <QSslKey>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>

#include <functional>

class QTcpSocket;

using FakeHttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// One request as the fake server received it.
struct FakeHttpRequest
{
    QString method;
    QString target;      // as sent on the request line, query included
    QString path;        // target without the query
    QUrlQuery query;
    FakeHttpHeaders headers; // in the order sent
    QByteArray body;
    QHostAddress peer;
    bool encrypted = false;
    QSslCertificate peerCertificate; // the client certificate, if one was presented
    QSsl::SslProtocol protocol = QSsl::UnknownProtocol; // the TLS version in use

    // First value of a header, name compared without case; empty when absent.
    QByteArray header(QByteArray const &name) const;
    bool hasHeader(QByteArray const &name) const;
    QStringList headerNames() const;
};

// What the fake server does with a request.
struct FakeHttpResponse
{
    enum class Kind {
        Answer,   // status line, headers, body
        NoAnswer, // read the request, keep the connection open, never answer
        HangUp,   // close the connection without a byte of answer
        Raw,      // write `body` as it stands (not HTTP), then close
        Partial,  // write `body` as it stands (say a head and part of a body), then go silent
    };

    Kind kind = Kind::Answer;
    int status = 200;
    QByteArray reason; // empty: the usual phrase for the status
    FakeHttpHeaders headers;
    QByteArray body;
    int delayMs = 0;           // wait this long before answering (or hanging up)
    bool contentLength = true; // false: no Content-Length, the body ends when the connection closes
    bool close = false;        // close the connection after this answer
    int pieceSize = 0;         // > 0: the answer goes out in pieces of this size ...
    int pieceGapMs = 0;        // ... this far apart

    static FakeHttpResponse json(int status, QJsonValue const &value);
    static FakeHttpResponse text(int status, QByteArray const &body, QByteArray const &contentType = "text/plain");
    static FakeHttpResponse redirect(int status, QString const &location);
    static FakeHttpResponse noAnswer();
    static FakeHttpResponse hangUp();
    static FakeHttpResponse raw(QByteArray const &bytes);
    static FakeHttpResponse partial(QByteArray const &bytes);
    // `size` bytes of '0' packed as `encoding` says ("gzip" or "deflate"), with that
    // Content-Encoding: about a thousandth of the size on the wire.
    static FakeHttpResponse packed(QByteArray const &encoding, qint64 size);
    static QByteArray pack(QByteArray const &encoding, qint64 size);

    FakeHttpResponse &withHeader(QByteArray const &name, QByteArray const &value);
    FakeHttpResponse &withDelay(int msec);
    FakeHttpResponse &withoutContentLength();
    FakeHttpResponse &inPieces(int size, int gapMs);
};

// A local HTTP or HTTPS server with scripted answers that records every request.
// Plain HTTP by default; setTls() turns every later connection into TLS, optionally demanding a
// client certificate signed by one of the given authorities. Keep-alive is supported.
class FakeHttpServer : public QTcpServer
{
    Q_OBJECT

public:
    using Handler = std::function<FakeHttpResponse(FakeHttpRequest const &)>;

    explicit FakeHttpServer(QObject *parent = nullptr);
    ~FakeHttpServer() override;

    void setTls(QSslCertificate const &certificate, QSslKey const &key,
                QList<QSslCertificate> const &clientAuthorities = {}, bool requireClientCertificate = false);
    bool isTls() const { return m_tls; }

    // Port 0 picks a free one.
    bool start(QHostAddress const &address = QHostAddress(QHostAddress::LocalHost), quint16 port = 0);
    // http(s)://<address>:<port><pathAndQuery>
    QUrl url(QString const &pathAndQuery = QStringLiteral("/")) const;

    // Standing answer for a method ("*" for any) and a path (no query).
    void setResponse(QString const &method, QString const &path, FakeHttpResponse const &response);
    // One-off answers, used in order before the standing answer of the same route.
    void queueResponse(QString const &method, QString const &path, FakeHttpResponse const &response);
    // Answer for unknown routes; 404 at first.
    void setDefaultResponse(FakeHttpResponse const &response);
    // Decides every answer when set; the tables are then ignored.
    void setHandler(Handler handler);

    QList<FakeHttpRequest> requests() const { return m_requests; }
    FakeHttpRequest lastRequest() const { return m_requests.isEmpty() ? FakeHttpRequest() : m_requests.last(); }
    int requestCount() const { return m_requests.size(); }
    void clearRequests() { m_requests.clear(); }

    int acceptedConnections() const { return m_accepted; }
    int openConnections() const { return m_open; }
    // TLS failures seen on the server side (handshake errors, refused client certificates).
    QStringList tlsErrors() const { return m_tlsErrors; }

signals:
    void requestReceived(FakeHttpRequest const &request);
    void connectionClosed();
    void tlsFailed(QString const &error);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    void setUp(QTcpSocket *socket);
    void process(QTcpSocket *socket);
    FakeHttpResponse responseFor(FakeHttpRequest const &request);
    void answer(QTcpSocket *socket, FakeHttpResponse const &response, bool keepAlive);
    void write(QTcpSocket *socket, QByteArray const &bytes, FakeHttpResponse const &response, std::function<void()> then);

    bool m_tls = false;
    bool m_requireClientCertificate = false;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QList<QSslCertificate> m_clientAuthorities;

    QHash<QString, FakeHttpResponse> m_responses;
    QHash<QString, QQueue<FakeHttpResponse>> m_queued;
    FakeHttpResponse m_default;
    Handler m_handler;

    QList<FakeHttpRequest> m_requests;
    QStringList m_tlsErrors;
    int m_accepted = 0;
    int m_open = 0;
};

Q_DECLARE_METATYPE(FakeHttpRequest)
Q_DECLARE_METATYPE(FakeHttpResponse)
