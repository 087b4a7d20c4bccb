#include "fakes/FakeService.h"

#include "fakes/TestBroker.h"

#include <QJsonDocument>
#include <QTimer>

FakeService::FakeService(const QString &base, const QString &clientId, QObject *parent)
    : QObject(parent)
    , m_base(base)
    , m_peer(clientId + QLatin1Char('-') + QString(base).replace(QLatin1Char('/'), QLatin1Char('-')))
{
    connect(&m_peer, &MqttPeer::messageReceived, this, &FakeService::onMessage);
}

FakeService::~FakeService()
{
    stop();
}

bool FakeService::start(const TestBroker &broker)
{
    return start(broker.port(), broker.host());
}

bool FakeService::start(quint16 port, const QString &host)
{
    if (!m_peer.connectTo(host, port))
        return false;
    const bool serving = m_peer.serve(m_base, [this](const MqttPeer::Request &request) -> std::optional<QByteArray> {
        onRequest(request);
        return std::nullopt; // answered (or not) by onRequest, in its own order
    });
    if (serving)
        started();
    return serving;
}

void FakeService::stop()
{
    if (m_peer.isConnected())
        m_peer.disconnectFrom();
}

bool FakeService::isRunning() const
{
    return m_peer.isConnected();
}

void FakeService::refuse(const QString &command, int code, const QString &description, int times)
{
    m_failures.insert(command, Failure{false, code, description, times});
}

void FakeService::silence(const QString &command, int times)
{
    m_failures.insert(command, Failure{true, 0, QString(), times});
}

void FakeService::delay(const QString &command, int msec, int times)
{
    m_delays.insert(command, qMakePair(msec, times));
}

void FakeService::clearFailures()
{
    m_failures.clear();
    m_delays.clear();
}

QList<FakeService::Request> FakeService::requests(const QString &command) const
{
    QList<Request> matching;
    for (const Request &request : m_requests)
        if (request.command == command)
            matching.append(request);
    return matching;
}

bool FakeService::publish(const QString &suffix, const QJsonObject &doc, bool retain)
{
    return publishRaw(suffix, QJsonDocument(doc).toJson(QJsonDocument::Compact), retain);
}

bool FakeService::publishRaw(const QString &suffix, const QByteArray &payload, bool retain)
{
    return m_peer.isConnected() && m_peer.publish(m_base + suffix, payload, 1, retain);
}

void FakeService::reply(const Request &request, const QJsonObject &doc)
{
    publish(QStringLiteral("/%1/response/%2").arg(request.command, request.id), doc);
}

void FakeService::replyCompleted(const Request &request, const QJsonObject &data)
{
    QJsonObject doc{{QStringLiteral("completed"), true}};
    if (!data.isEmpty())
        doc.insert(QStringLiteral("data"), data);
    reply(request, doc);
}

void FakeService::replyRefused(const Request &request, int code, const QString &description)
{
    // Both spellings of a refusal: the reader names it "what", the dispenser
    // gives a code and a "description".
    reply(request, QJsonObject{
                       {QStringLiteral("completed"), false},
                       {QStringLiteral("error"), QJsonObject{{QStringLiteral("code"), code},
                                                             {QStringLiteral("description"), description},
                                                             {QStringLiteral("what"), description}}},
                   });
}

void FakeService::takeCommand(const QString &command)
{
    m_commands.append(command);
}

void FakeService::refused(const Request &, int, const QString &)
{
}

void FakeService::onRequest(const MqttPeer::Request &incoming)
{
    const QString prefix = m_base + QLatin1Char('/');
    if (!incoming.topic.startsWith(prefix))
        return;
    Request request;
    request.command = incoming.topic.mid(prefix.size());
    request.id = incoming.id;
    request.payload = incoming.payload;
    request.body = QJsonDocument::fromJson(incoming.payload).object();
    dispatch(request);
}

void FakeService::onMessage(const QString &topic, const QByteArray &payload)
{
    const QString prefix = m_base + QLatin1Char('/');
    if (!topic.startsWith(prefix) || !m_commands.contains(topic.mid(prefix.size())))
        return;
    Request request;
    request.command = topic.mid(prefix.size());
    request.payload = payload;
    request.body = QJsonDocument::fromJson(payload).object();
    dispatch(request);
}

void FakeService::dispatch(const Request &request)
{
    m_requests.append(request);
    emit requestReceived(request.command, request.id, request.body);

    auto delayed = m_delays.find(request.command);
    if (delayed != m_delays.end()) {
        const int msec = delayed->first;
        if (delayed->second > 0 && --delayed->second == 0)
            m_delays.erase(delayed);
        QTimer::singleShot(msec, this, [this, request] { process(request); });
        return;
    }
    process(request);
}

void FakeService::process(const Request &request)
{
    auto failure = m_failures.find(request.command);
    if (failure != m_failures.end()) {
        const Failure f = failure.value();
        if (failure->times > 0 && --failure->times == 0)
            m_failures.erase(failure);
        if (!f.silent && request.id.isEmpty())
            refused(request, f.code, f.description);
        else if (!f.silent)
            replyRefused(request, f.code, f.description);
    } else {
        handle(request);
    }
    emit requestHandled(request.command, request.id);
}
