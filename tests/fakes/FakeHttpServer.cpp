#include "fakes/FakeHttpServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTimer>

#include <zlib.h>

namespace {

// Per-connection bytes not yet taken as a request; child of the socket.
struct FakeConnection : QObject
{
    using QObject::QObject;
    QByteArray buffer;
    bool busy = false; // a request is being answered (delayed answers)
    bool done = false; // no more requests on this connection
};

char const *const connectionProperty = "fakeHttpConnection";

FakeConnection *connectionOf(QTcpSocket *socket)
{
    return static_cast<FakeConnection *>(socket->property(connectionProperty).value<QObject *>());
}

QString routeKey(QString const &method, QString const &path)
{
    return method.toUpper() + QLatin1Char(' ') + path;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

QByteArray FakeHttpRequest::header(QByteArray const &name) const
{
    for (auto const &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return {};
}

bool FakeHttpRequest::hasHeader(QByteArray const &name) const
{
    for (auto const &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QStringList FakeHttpRequest::headerNames() const
{
    QStringList names;
    for (auto const &h : headers)
        names << QString::fromLatin1(h.first);
    return names;
}

FakeHttpResponse FakeHttpResponse::json(int status, QJsonValue const &value)
{
    FakeHttpResponse r;
    r.status = status;
    if (value.isArray())
        r.body = QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    else if (value.isObject())
        r.body = QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    else
        r.body = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    r.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return r;
}

FakeHttpResponse FakeHttpResponse::text(int status, QByteArray const &body, QByteArray const &contentType)
{
    FakeHttpResponse r;
    r.status = status;
    r.body = body;
    if (!contentType.isEmpty())
        r.headers.append(qMakePair(QByteArray("Content-Type"), contentType));
    return r;
}

FakeHttpResponse FakeHttpResponse::redirect(int status, QString const &location)
{
    FakeHttpResponse r;
    r.status = status;
    r.headers.append(qMakePair(QByteArray("Location"), location.toUtf8()));
    return r;
}

FakeHttpResponse FakeHttpResponse::noAnswer()
{
    FakeHttpResponse r;
    r.kind = Kind::NoAnswer;
    return r;
}

FakeHttpResponse FakeHttpResponse::hangUp()
{
    FakeHttpResponse r;
    r.kind = Kind::HangUp;
    return r;
}

FakeHttpResponse FakeHttpResponse::raw(QByteArray const &bytes)
{
    FakeHttpResponse r;
    r.kind = Kind::Raw;
    r.body = bytes;
    return r;
}

FakeHttpResponse &FakeHttpResponse::inPieces(int size, int gapMs)
{
    pieceSize = size;
    pieceGapMs = gapMs;
    return *this;
}

FakeHttpResponse FakeHttpResponse::partial(QByteArray const &bytes)
{
    FakeHttpResponse r;
    r.kind = Kind::Partial;
    r.body = bytes;
    return r;
}

namespace {

constexpr qint64 PackSegment = 1024 * 1024;

// Raw deflate of `size` more bytes of '0', ended by `flush`.
QByteArray deflateZeros(z_stream *stream, qint64 size, int flush)
{
    QByteArray const input(int(size), '0');
    stream->next_in = reinterpret_cast<Bytef *>(const_cast<char *>(input.constData()));
    stream->avail_in = uInt(input.size());
    QByteArray out;
    char buffer[16384];
    do {
        stream->next_out = reinterpret_cast<Bytef *>(buffer);
        stream->avail_out = sizeof buffer;
        deflate(stream, flush);
        out.append(buffer, int(sizeof buffer - stream->avail_out));
    } while (stream->avail_out == 0 || stream->avail_in > 0);
    return out;
}

void appendLittleEndian(QByteArray *bytes, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes->append(char((value >> (8 * i)) & 0xff));
}

} // namespace

QByteArray FakeHttpResponse::pack(QByteArray const &encoding, qint64 size)
{
    // Packing a gigabyte takes seconds. Past the first segment each one packs to the same bytes
    // (run-length matches against a window of '0'), so one is packed and repeated.
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_RLE);
    qint64 const whole = size / PackSegment;
    QByteArray body;
    if (whole < 2) {
        body = deflateZeros(&stream, size, Z_FINISH);
    } else {
        body = deflateZeros(&stream, PackSegment, Z_SYNC_FLUSH);
        QByteArray const segment = deflateZeros(&stream, PackSegment, Z_SYNC_FLUSH);
        body.reserve(int(body.size() + segment.size() * (whole - 1) + 1024));
        for (qint64 i = 1; i < whole; ++i)
            body += segment;
        body += deflateZeros(&stream, size - whole * PackSegment, Z_FINISH);
    }
    deflateEnd(&stream);

    QByteArray const segmentBytes(int(qMin(size, PackSegment)), '0');
    auto const checksum = [&](bool crc) {
        auto const of = [&](qint64 length) {
            Bytef const *data = reinterpret_cast<Bytef const *>(segmentBytes.constData());
            return crc ? crc32(crc32(0, nullptr, 0), data, uInt(length)) : adler32(adler32(0, nullptr, 0), data, uInt(length));
        };
        uLong sum = crc ? crc32(0, nullptr, 0) : adler32(0, nullptr, 0);
        uLong const segmentSum = of(segmentBytes.size());
        qint64 left = size;
        for (; left >= segmentBytes.size() && left > 0; left -= segmentBytes.size())
            sum = crc ? crc32_combine(sum, segmentSum, segmentBytes.size()) : adler32_combine(sum, segmentSum, segmentBytes.size());
        if (left > 0)
            sum = crc ? crc32_combine(sum, of(left), left) : adler32_combine(sum, of(left), left);
        return quint32(sum);
    };

    QByteArray packed;
    if (encoding == "deflate") {
        // The zlib format, as HTTP's "deflate" is.
        packed = QByteArray("\x78\xda", 2) + body;
        quint32 const sum = checksum(false);
        for (int i = 3; i >= 0; --i)
            packed.append(char((sum >> (8 * i)) & 0xff));
    } else {
        packed = QByteArray("\x1f\x8b\x08\0\0\0\0\0\x02\x03", 10) + body;
        appendLittleEndian(&packed, checksum(true));
        appendLittleEndian(&packed, quint32(size & 0xffffffff));
    }
    return packed;
}

FakeHttpResponse FakeHttpResponse::packed(QByteArray const &encoding, qint64 size)
{
    FakeHttpResponse r = text(200, pack(encoding, size));
    r.headers.append(qMakePair(QByteArray("Content-Encoding"), encoding));
    return r;
}

FakeHttpResponse &FakeHttpResponse::withHeader(QByteArray const &name, QByteArray const &value)
{
    headers.append(qMakePair(name, value));
    return *this;
}

FakeHttpResponse &FakeHttpResponse::withDelay(int msec)
{
    delayMs = msec;
    return *this;
}

FakeHttpResponse &FakeHttpResponse::withoutContentLength()
{
    contentLength = false;
    return *this;
}

FakeHttpServer::FakeHttpServer(QObject *parent)
    : QTcpServer(parent)
    , m_default(FakeHttpResponse::text(404, "Not Found"))
{
    qRegisterMetaType<FakeHttpRequest>();
}

FakeHttpServer::~FakeHttpServer()
{
    close();
}

void FakeHttpServer::setTls(QSslCertificate const &certificate, QSslKey const &key,
                            QList<QSslCertificate> const &clientAuthorities, bool requireClientCertificate)
{
    m_tls = true;
    m_certificate = certificate;
    m_key = key;
    m_clientAuthorities = clientAuthorities;
    m_requireClientCertificate = requireClientCertificate;
}

bool FakeHttpServer::start(QHostAddress const &address, quint16 port)
{
    return listen(address, port);
}

QUrl FakeHttpServer::url(QString const &pathAndQuery) const
{
    QString host = serverAddress().toString();
    if (serverAddress().protocol() == QAbstractSocket::IPv6Protocol)
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QUrl(QStringLiteral("%1://%2:%3%4")
                    .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"), host)
                    .arg(serverPort())
                    .arg(pathAndQuery));
}

void FakeHttpServer::setResponse(QString const &method, QString const &path, FakeHttpResponse const &response)
{
    m_responses.insert(routeKey(method, path), response);
}

void FakeHttpServer::queueResponse(QString const &method, QString const &path, FakeHttpResponse const &response)
{
    m_queued[routeKey(method, path)].enqueue(response);
}

void FakeHttpServer::setDefaultResponse(FakeHttpResponse const &response)
{
    m_default = response;
}

void FakeHttpServer::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

void FakeHttpServer::incomingConnection(qintptr descriptor)
{
    if (!m_tls) {
        auto *socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        setUp(socket);
        return;
    }

    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(m_certificate);
    config.setPrivateKey(m_key);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    if (!m_clientAuthorities.isEmpty())
        config.setCaCertificates(m_clientAuthorities);
    if (m_requireClientCertificate)
        config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    else if (!m_clientAuthorities.isEmpty())
        config.setPeerVerifyMode(QSslSocket::QueryPeer);
    else
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->setSslConfiguration(config);

    connect(socket, QOverload<QList<QSslError> const &>::of(&QSslSocket::sslErrors), this,
            [this](QList<QSslError> const &errors) {
                for (QSslError const &e : errors) {
                    m_tlsErrors << e.errorString();
                    emit tlsFailed(e.errorString());
                }
            });
    connect(socket, &QAbstractSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::SslHandshakeFailedError || error == QAbstractSocket::SslInternalError
            || error == QAbstractSocket::SslInvalidUserDataError) {
            m_tlsErrors << socket->errorString();
            emit tlsFailed(socket->errorString());
        }
    });
    setUp(socket);
    socket->startServerEncryption();
}

void FakeHttpServer::setUp(QTcpSocket *socket)
{
    ++m_accepted;
    ++m_open;
    auto *connection = new FakeConnection(socket);
    socket->setProperty(connectionProperty, QVariant::fromValue(static_cast<QObject *>(connection)));
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, connection]() {
        if (connection->done) {
            socket->readAll();
            return;
        }
        connection->buffer += socket->readAll();
        process(socket);
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket]() {
        --m_open;
        socket->deleteLater();
        emit connectionClosed();
    });
}

void FakeHttpServer::process(QTcpSocket *socket)
{
    auto *connection = connectionOf(socket);
    if (!connection || connection->busy || connection->done)
        return;
    QByteArray &buffer = connection->buffer;
    int const headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;

    QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    QList<QByteArray> const requestLine = lines.takeFirst().trimmed().split(' ');
    FakeHttpRequest request;
    request.method = QString::fromLatin1(requestLine.value(0));
    request.target = QString::fromUtf8(requestLine.value(1));
    int const q = request.target.indexOf(QLatin1Char('?'));
    request.path = q < 0 ? request.target : request.target.left(q);
    request.query = QUrlQuery(q < 0 ? QString() : request.target.mid(q + 1));
    qint64 length = 0;
    for (QByteArray const &line : lines) {
        int const colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        QByteArray const name = line.left(colon).trimmed();
        QByteArray const value = line.mid(colon + 1).trimmed();
        request.headers.append(qMakePair(name, value));
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
            length = value.toLongLong();
    }
    if (buffer.size() < headEnd + 4 + length)
        return;
    request.body = buffer.mid(headEnd + 4, static_cast<int>(length));
    buffer.remove(0, headEnd + 4 + static_cast<int>(length));
    request.peer = socket->peerAddress();
    if (auto *ssl = qobject_cast<QSslSocket *>(socket)) {
        request.encrypted = ssl->isEncrypted();
        request.peerCertificate = ssl->peerCertificate();
        request.protocol = ssl->sessionProtocol();
    }

    m_requests.append(request);
    emit requestReceived(request);

    FakeHttpResponse const response = responseFor(request);
    bool const keepAlive = request.header("Connection").toLower() != "close";
    connection->busy = true;
    if (response.delayMs > 0) {
        QPointer<QTcpSocket> guard(socket);
        QTimer::singleShot(response.delayMs, this, [this, guard, response, keepAlive]() {
            if (guard)
                answer(guard, response, keepAlive);
        });
    } else {
        answer(socket, response, keepAlive);
    }
}

FakeHttpResponse FakeHttpServer::responseFor(FakeHttpRequest const &request)
{
    if (m_handler)
        return m_handler(request);
    for (QString const &method : {request.method, QStringLiteral("*")}) {
        QString const key = routeKey(method, request.path);
        auto queued = m_queued.find(key);
        if (queued != m_queued.end() && !queued->isEmpty())
            return queued->dequeue();
        auto standing = m_responses.constFind(key);
        if (standing != m_responses.constEnd())
            return *standing;
    }
    return m_default;
}

void FakeHttpServer::answer(QTcpSocket *socket, FakeHttpResponse const &response, bool keepAlive)
{
    auto *connection = connectionOf(socket);
    switch (response.kind) {
    case FakeHttpResponse::Kind::NoAnswer:
        connection->done = true;
        return;
    case FakeHttpResponse::Kind::HangUp:
        connection->done = true;
        socket->disconnectFromHost();
        return;
    case FakeHttpResponse::Kind::Raw:
        connection->done = true;
        write(socket, response.body, response, [socket]() { socket->disconnectFromHost(); });
        return;
    case FakeHttpResponse::Kind::Partial:
        connection->done = true;
        write(socket, response.body, response, []() {});
        return;
    case FakeHttpResponse::Kind::Answer:
        break;
    }

    bool const close = response.close || !response.contentLength || !keepAlive;
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + (response.reason.isEmpty() ? reasonPhrase(response.status) : response.reason) + "\r\n";
    for (auto const &h : response.headers)
        out += h.first + ": " + h.second + "\r\n";
    if (response.contentLength)
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    if (close)
        out += "Connection: close\r\n";
    out += "\r\n";
    out += response.body;
    if (close)
        connection->done = true;
    write(socket, out, response, [this, socket, connection, close]() {
        connection->busy = false;
        if (close)
            socket->disconnectFromHost();
        else
            process(socket);
    });
}

void FakeHttpServer::write(QTcpSocket *socket, QByteArray const &bytes, FakeHttpResponse const &response,
                           std::function<void()> then)
{
    if (response.pieceSize <= 0 || bytes.size() <= response.pieceSize) {
        socket->write(bytes);
        then();
        return;
    }
    socket->write(bytes.left(response.pieceSize));
    QPointer<QTcpSocket> guard(socket);
    QByteArray const rest = bytes.mid(response.pieceSize);
    QTimer::singleShot(response.pieceGapMs, this, [this, guard, rest, response, then]() {
        if (guard && guard->state() == QAbstractSocket::ConnectedState)
            write(guard, rest, response, then);
    });
}
