#include "fakes/FakeCamera.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QXmlStreamWriter>

#include <memory>

FakeCamera::FakeCamera(const QHostAddress &address, QObject *parent)
    : QObject(parent)
    , m_address(address)
    , m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &FakeCamera::onConnection);
    m_properties = QJsonObject{{"Brand", "Lane Optics"},
                               {"ProdNbr", "LO-420"},
                               {"SerialNumber", "LO420-000172"},
                               {"Version", "10.4.2"},
                               {"Soc", "SoC-7"},
                               {"SocSerialNumber", "0000-1F2E-3D4C"},
                               {"BuildDate", "2025-11-20T08:15:00"},
                               {"HardwareID", "7A1"}};
}

FakeCamera::~FakeCamera()
{
    // Sockets still open go with this object; their last signals must not reach it.
    for (QTcpSocket *socket : findChildren<QTcpSocket *>())
        socket->disconnect();
}

bool FakeCamera::listen(quint16 port)
{
    return m_server->listen(m_address, port);
}

void FakeCamera::requireCredentials(const QByteArray &user, const QByteArray &password)
{
    m_authorization = "Basic " + (user + ':' + password).toBase64();
}

void FakeCamera::setAnswer(const QByteArray &path, int status, const QByteArray &body, int delay)
{
    m_answers.insert(path, Answer{status, body, delay});
}

void FakeCamera::setResult(const QByteArray &path, const QByteArray &body)
{
    m_resultPath = path;
    m_resultBody = body;
}

void FakeCamera::onConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { onRequestData(socket); });
    }
}

void FakeCamera::onRequestData(QTcpSocket *socket)
{
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    socket->setProperty("buffer", buffer);
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;

    Request request;
    const QList<QByteArray> lines = buffer.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    const int q = target.indexOf('?');
    request.path = q < 0 ? target : target.left(q);
    if (q >= 0)
        request.query = QUrlQuery(QString::fromUtf8(target.mid(q + 1)));
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
    }
    const int length = request.headers.value("content-length").toInt();
    if (buffer.size() < end + 4 + length)
        return;  // the body is still on its way
    request.body = buffer.mid(end + 4, length);
    socket->setProperty("buffer", buffer.mid(end + 4 + length));

    request.authorized = m_authorization.isEmpty() || request.headers.value("authorization") == m_authorization;
    m_requests << request;
    emit requestReceived();

    if (!request.authorized) {
        socket->write("HTTP/1.1 401 Unauthorized\r\n"
                      "WWW-Authenticate: Basic realm=\"camera\"\r\n"
                      "Content-Length: 0\r\nConnection: close\r\n\r\n");
        socket->disconnectFromHost();
        return;  // the client asks again with the credentials
    }

    const bool trigger = request.path.endsWith("/trigger.cgi") && !m_answers.contains(request.path);
    const int delay = trigger ? m_delay : m_answers.value(request.path, Answer{0, {}, 0}).delay;
    if (delay < 0)
        return;
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(delay, this, [this, guard, request, trigger]() {
        if (!guard)
            return;
        if (trigger)
            answerTrigger(guard, request);
        else
            answer(guard, request);
    });
}

void FakeCamera::reply(QTcpSocket *socket, int status, const QByteArray &contentType, const QByteArray &body)
{
    const QByteArray reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Refused";
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\nContent-Type: " + contentType
                  + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n"
                  + body);
    socket->disconnectFromHost();
}

void FakeCamera::answer(QTcpSocket *socket, const Request &request)
{
    if (m_answers.contains(request.path)) {
        const Answer scripted = m_answers.value(request.path);
        reply(socket, scripted.status, "text/plain", scripted.body);
        return;
    }
    const bool application = request.path.startsWith("/local/Vaxreader/")
                             || request.path.startsWith("/local/Vaxcontainer/");
    if (request.path == "/axis-cgi/basicdeviceinfo.cgi" && request.method == "POST") {
        const QJsonObject call = QJsonDocument::fromJson(request.body).object();
        if (call.value("method").toString() != QLatin1String("getAllProperties")) {
            reply(socket, 400, "application/json",
                  R"({"apiVersion":"1.3","error":{"code":2002,"message":"Method not supported"}})");
            return;
        }
        reply(socket, 200, "application/json", deviceInfoDocument(m_properties));
    } else if (application && request.path.endsWith("/mempl.cgi") && request.method == "GET") {
        reply(socket, 200, "text/xml", plateListDocument());
    } else if (application && request.path.endsWith("/alpr.cgi") && request.method == "POST") {
        if (QJsonDocument::fromJson(request.body).isNull()) {
            reply(socket, 400, "text/plain", "Settings are no JSON");
            return;
        }
        reply(socket, 200, "application/json", deviceInfoDocument(m_properties));
    } else {
        reply(socket, 404, "text/plain", "No such page");
    }
}

void FakeCamera::answerTrigger(QTcpSocket *socket, const Request &request)
{
    reply(socket, m_status, "text/plain", "OK");
    if (m_status != 200)
        return;
    const QString id = request.query.queryItemValue("id");
    if (!m_recognition.isEmpty()) {
        QMap<QString, QString> entry = m_recognition;
        entry.insert("image_id", id);
        m_plateList << entry;
    }
    emit triggerAccepted(id);
    if (!m_resultBody.isEmpty())
        push(m_resultPath, m_resultBody);
}

QByteArray FakeCamera::deviceInfoDocument(const QJsonObject &properties)
{
    const QJsonObject doc{{"apiVersion", "1.3"}, {"data", QJsonObject{{"propertyList", properties}}}};
    return QJsonDocument(doc).toJson(QJsonDocument::Compact);
}

QByteArray FakeCamera::plateListDocument() const
{
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement("plates");
    for (const QMap<QString, QString> &entry : m_plateList) {
        writer.writeStartElement("plate");
        for (auto it = entry.cbegin(); it != entry.cend(); ++it)
            writer.writeAttribute(it.key(), it.value());
        writer.writeEndElement();
    }
    writer.writeEndElement();
    writer.writeEndDocument();
    return xml;
}

QByteArray FakeCamera::postRequest(const QByteArray &path, const QByteArray &body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

void FakeCamera::push(const QByteArray &path, const QByteArray &body)
{
    pushChunks({postRequest(path, body)});
}

void FakeCamera::pushChunks(const QList<QByteArray> &chunks)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->bind(m_address)) {
        qWarning("FakeCamera: cannot bind %s", qPrintable(m_address.toString()));
        socket->deleteLater();
        emit pushFinished(QByteArray());
        return;
    }

    struct State
    {
        QList<QByteArray> chunks;
        QByteArray answer;
        QTimer quiet;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    state->chunks = chunks;
    state->quiet.setSingleShot(true);
    state->quiet.setInterval(50);

    auto writeNext = [socket, state]() {
        if (state->chunks.isEmpty() || socket->state() != QAbstractSocket::ConnectedState)
            return;
        socket->write(state->chunks.takeFirst());
        socket->flush();
        if (!state->chunks.isEmpty())
            state->quiet.start();
    };
    auto finish = [this, socket, state]() {
        if (state->done)
            return;
        state->done = true;
        state->quiet.stop();
        ++m_pushesAnswered;
        emit pushFinished(state->answer);
        socket->deleteLater();
    };
    // The next chunk goes out once the receiver has had a moment to read the last one.
    connect(&state->quiet, &QTimer::timeout, socket, writeNext);
    connect(socket, &QTcpSocket::connected, socket, writeNext);
    connect(socket, &QTcpSocket::readyRead, socket, [socket, state]() { state->answer += socket->readAll(); });
    connect(socket, &QTcpSocket::disconnected, socket, finish);
    connect(socket, &QTcpSocket::errorOccurred, socket, [finish](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError)
            finish();  // never connected: no disconnected() follows
    });
    socket->connectToHost(QHostAddress::LocalHost, m_receiverPort);
}

QString FakeCamera::loopbackSubnet(int second)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString prefix = QStringLiteral("127.%1.%2.").arg(second).arg(QRandomGenerator::global()->bounded(256));
        QTcpServer probe;
        if (probe.listen(QHostAddress(prefix + QStringLiteral("2")), 80))
            return prefix;
    }
    qFatal("FakeCamera: no free loopback subnet under 127.%d.0.0/16", second);
    return QString();
}

QByteArray FakeCamera::plateResult(const QString &plate, const QString &country)
{
    QJsonObject doc{{"plate", plate},
                    {"country", country},
                    {"confidence", 91.5},
                    {"direction", 1},
                    {"directionstr", "approaching"},
                    {"id", "4711"},
                    {"imageid", "img-4711"},
                    {"blacklist", "0"},
                    {"whitelist", "1"},
                    {"utcdate", "2026-03-04T05:06:07Z"}};
    return QJsonDocument(doc).toJson(QJsonDocument::Compact);
}

QByteArray FakeCamera::containerResult(const QString &code)
{
    QJsonObject doc{{"code", code},
                    {"date", "2026-03-04T05:06:07Z"},
                    {"confidence", 88.25},
                    {"processingtime", 120},
                    {"sizecode", "22G1"}};
    return QJsonDocument(doc).toJson(QJsonDocument::Compact);
}
