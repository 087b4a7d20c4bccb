#include "devices/Inspector.h"

#include "app/LogQuote.h"
#include "app/PropertySetter.h"
#include "transport/MqttClient.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSharedPointer>

#include <limits>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[Inspector] ");
const QString Internal = QStringLiteral("internal");
const int PowerDelayMs = 2000;

void logInfo(const QString &text)
{
    qInfo().noquote() << Tag_ + text;
}
} // namespace

Inspector::Inspector(MqttClient &mqtt, const QString &baseTopic, QObject *parent)
    : MqttDevice(mqtt, baseTopic, Tag_, parent)
{
    // An empty payload is no document (logged, nothing changes), except on
    // the status topic, where it clears a retained status: offline.
    setParsing({false, true});
    // Queued: the session renews its subscriptions after telling its listeners,
    // and an answer to a request sent before would find no subscription yet.
    connect(&mqtt, &MqttClient::connected, this, &Inspector::refresh, Qt::QueuedConnection);
    connect(&m_monitorTimer, &QTimer::timeout, this, &Inspector::refresh);
    m_shutdownTimer.setSingleShot(true);
    // A coarse timer may end up to 5 % early; the machine goes down no sooner than announced.
    m_shutdownTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_shutdownTimer, &QTimer::timeout, this, &Inspector::systemShutdown);

    route(QStringLiteral("/info"), [this](const QJsonObject &doc) { onInfoReceived(doc); });
    const auto statusLine = [this] {
        qDebug().noquote() << Tag_ + QStringLiteral("Processing status topic ") + base() + QStringLiteral("/status");
    };
    routeStatus(QStringLiteral("/status"), [statusLine](const QJsonObject &) { statusLine(); }, statusLine);
    // The status follows what is known of the service: its status documents, and its live
    // answers (to the requests of refresh), which show that it runs whatever a late will said.
    connect(this, &MqttDevice::serviceChanged, this, [this] {
        setStatus(service() == Service::Running ? QStringLiteral("online")
                  : service() == Service::Down  ? QStringLiteral("offline")
                                                : QString());
    });
    route(QStringLiteral("/audio"), [this](const QJsonObject &doc) { onAudioReceived(doc); });
    logInfo(QStringLiteral("Subscribing to topics"));
    // The statistics are asked for and parsed, but nothing keeps them yet.
    for (const char *suffix : {"/info", "/status", "/audio", "/stats/cpu", "/stats/memory", "/stats/disk"})
        subscribeTo(QString::fromLatin1(suffix));
    for (const char *suffix : {"/stats/cpu", "/stats/memory", "/stats/disk"})
        route(QString::fromLatin1(suffix), [](const QJsonObject &) {});
}

bool Inspector::serviceReachable()
{
    if (!mqttConnected())
        return false;
    if (service() != Service::Down)
        return true;
    // It may run after all (a will that came late): asked, it answers, and the next request passes.
    refresh();
    return false;
}

Inspector::~Inspector() = default;

int Inspector::audioVolume() const
{
    return m_audioVolumes.value(Internal).toInt();
}

void Inspector::refresh()
{
    logInfo(QStringLiteral("Refreshing data"));
    for (const char *suffix : {"/audio/get", "/stats/memory/get", "/stats/disk/get", "/stats/cpu/get"})
        publishTo(QString::fromLatin1(suffix), QByteArrayLiteral("{}"));
}

void Inspector::monitor(int msec)
{
    if (msec <= 0) {
        logInfo(QStringLiteral("Monitor stopped"));
        m_monitorTimer.stop();
        return;
    }
    logInfo(QStringLiteral("Monitor started : %1 msec(s)").arg(msec));
    m_monitorTimer.setSingleShot(false);
    m_monitorTimer.start(msec);
    refresh();
}

void Inspector::logParseError(const QString &topic, const QByteArray &payload, const QString &error) const
{
    Q_UNUSED(topic)
    Q_UNUSED(payload)
    qCritical().noquote() << Tag_ + QStringLiteral("Failed to parse JSON message: ") + error;
}

void Inspector::onInfoReceived(const QJsonObject &document)
{
    qDebug().noquote() << Tag_ + QStringLiteral("Processing info topic ") + base() + QStringLiteral("/info");
    const QJsonObject service = readObject(document, QStringLiteral("service"), QStringLiteral("service"));
    QVariantMap info = m_info;
    info.insert(QStringLiteral("version"), readText(service, QStringLiteral("version"), QStringLiteral("service.version")));
    PropertySetter::set(this, m_info, info, &Inspector::infoChanged);
}

void Inspector::setStatus(const QString &status)
{
    PropertySetter::set(this, m_status, status, &Inspector::statusChanged, [&] {
        // Forgotten at a new session: nothing the service said.
        if (!status.isEmpty())
            logInfo(QStringLiteral("Status changed : ") + status);
    });
}

void Inspector::onAudioReceived(const QJsonObject &document)
{
    const QJsonObject internal = readObject(document, Internal, Internal);
    const int volume = readInt(internal, QStringLiteral("volume"), QStringLiteral("internal.volume"));
    if (volume == audioVolume())
        return;
    m_audioVolumes.insert(Internal, volume);
    emit audioVolumeChanged();
}

void Inspector::setAudioVolume(int value)
{
    logInfo(QStringLiteral("Setting 'internal' audio volume : %1%").arg(value));
    const QJsonObject document{{Internal, QJsonObject{{QStringLiteral("volume"), value}}}};
    publishOrWarn(QStringLiteral("/audio/set"), QJsonDocument(document).toJson(QJsonDocument::Indented));
}

void Inspector::audioPlay(const QString &file)
{
    logInfo(QStringLiteral("Playing audio file (card='internal') : ") + LogQuote::quote(file));
    const QJsonObject document{{QStringLiteral("device"), Internal}, {QStringLiteral("filepath"), file}};
    publishOrWarn(QStringLiteral("/audio/play"), QJsonDocument(document).toJson(QJsonDocument::Indented));
}

void Inspector::systemReboot()
{
    logInfo(QStringLiteral("Requesting System reboot"));
    emit systemRebootStarted();
    requestPower(QStringLiteral("reboot"));
}

void Inspector::systemShutdown()
{
    logInfo(QStringLiteral("Requesting System shutdown"));
    emit systemShutdownStarted();
    requestPower(QStringLiteral("shutdown"));
}

void Inspector::requestPower(const QString &what)
{
    // The service's last word since the request: a new session in between forgets a "down"
    // that was not retained, yet nobody has said since that the service is back.
    auto lastWord = QSharedPointer<Service>::create(service());
    auto watch = QSharedPointer<QMetaObject::Connection>::create();
    *watch = connect(this, &MqttDevice::serviceChanged, this, [this, lastWord] {
        if (service() != Service::Unknown)
            *lastWord = service();
    });
    // Each call its own delay; with this client as the context none fires once it is gone.
    // Precise: the screens have their full delay, never a coarse timer's early end.
    QTimer::singleShot(PowerDelayMs, Qt::PreciseTimer, this, [this, what, lastWord, watch] {
        disconnect(*watch);
        // What the service said meanwhile counts: gone, nobody would carry the request out.
        if (*lastWord == Service::Down) {
            qWarning().noquote() << Tag_ + QStringLiteral("WARN: Cannot request System %1. Service not running").arg(what);
            refresh();
            emit powerRequestFailed(what);
            return;
        }
        if (!publishOrWarn(QStringLiteral("/power/%1/request/1").arg(what), QByteArray()))
            emit powerRequestFailed(what);
    });
}

void Inspector::scheduleShutdown(int sec)
{
    // A negative delay must not mean "now", nor one longer than a timer holds a wrapped one.
    if (sec < 0 || sec > std::numeric_limits<int>::max() / 1000) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Cannot schedule System shutdown in : %1 sec(s)").arg(sec);
        return;
    }
    logInfo(QStringLiteral("Scheduling System shutdown in : %1 sec(s)").arg(sec));
    m_shutdownTimer.start(sec * 1000);
}

void Inspector::abortShutdown()
{
    logInfo(QStringLiteral("Aborting System shutdown"));
    m_shutdownTimer.stop();
}

} // namespace manager
