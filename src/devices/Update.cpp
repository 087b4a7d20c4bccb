#include "devices/Update.h"

#include "app/JsonRead.h"
#include "app/LogQuote.h"
#include "app/PropertySetter.h"
#include "transport/MqttClient.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[Update] ");
const int CheckMs = 10000;
const QString ServiceNotRunning = QStringLiteral("Service not running");

void logInfo(const QString &text)
{
    qInfo().noquote() << Tag_ + text;
}
} // namespace

Update::Update(MqttClient &mqtt, const QString &topic, QObject *parent)
    : MqttDevice(mqtt, topic, Tag_, parent)
{
    // An empty payload is no document (nor one that a zero byte ends at once): logged, nothing
    // changes; except on the status topic, where it clears a retained status: the service is gone.
    setParsing({false, true});
    emptyMeansCleared(QStringLiteral("/status"), [this] { onServiceGone(); });
    statusTopic(QStringLiteral("/status"));
    m_checkTimer.setSingleShot(true);
    m_checkTimer.setInterval(CheckMs);
    // Queued: the session renews its subscriptions after telling its listeners,
    // and an answer to a request sent before would find no subscription yet.
    connect(&mqtt, &MqttClient::connected, this, &Update::refresh, Qt::QueuedConnection);
    connect(&mqtt, &MqttClient::disconnected, this, &Update::onMqttDisconnected);
    connect(&m_checkTimer, &QTimer::timeout, this, &Update::checkTimerExpired);

    route(QStringLiteral("/status"), [this](const QJsonObject &doc) { onStatusReceived(doc); });
    // A progress report tells what happens now. One the broker kept is news while its code was
    // not taken yet (an install that ended while nobody listened); else it repeats an install's end.
    route(QStringLiteral("/progress"), [this](const QJsonObject &doc) { onProgressReceived(doc); });
    subscribeTo(QStringLiteral("/status"));
    subscribeTo(QStringLiteral("/progress"));
}

Update::~Update() = default;

void Update::refresh()
{
    publishTo(QStringLiteral("/status/get"), QByteArray());
}

void Update::onMqttDisconnected()
{
    // A check cut off by the loss has no answer to wait for.
    m_checkTimer.stop();
    setStatus(QStringLiteral("Disconnected"));
}

void Update::check()
{
    if (serviceDown()) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Cannot check for updates. Service not running");
        // It may run after all (a will that came late): its answer lets the next check pass.
        refresh();
        return;
    }
    logInfo(QStringLiteral("Checking for updates"));
    // Unsent, the check would have nobody to answer it.
    if (!publishOrWarn(QStringLiteral("/check"), QByteArray()))
        return;
    m_checkAnswered = false;
    setStatus(QStringLiteral("Checking for updates"));
    m_checkTimer.start();
}

void Update::checkTimerExpired()
{
    // Only a service that answered has said what is pending; without it the versions
    // are an earlier session's word, and a result would be made up.
    if (!m_checkAnswered) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: No answer to the check for updates");
        setStatus(QStringLiteral("No answer"));
        return;
    }
    logInfo(QStringLiteral("No pedning updates"));
    setStatus(m_pending.isEmpty() ? QStringLiteral("No pending updates") : QStringLiteral("Ready to install"));
}

void Update::install()
{
    if (serviceDown()) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Cannot install. Service not running");
        refresh();
        return;
    }
    if (m_pending.isEmpty()) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: Cannot install. There are no pending versions");
        return;
    }
    logInfo(QStringLiteral("Installing pending update : ") + LogQuote::quote(m_pending));
    publishOrWarn(QStringLiteral("/install"), QByteArray());
}

void Update::trigger(const QString &version, const QString &uri, const QString &checksum)
{
    const QJsonObject document{
        {QStringLiteral("at"), 0},
        {QStringLiteral("md5"), checksum},
        {QStringLiteral("uri"), uri},
        {QStringLiteral("v"), version},
    };
    logInfo(QStringLiteral("Triggerring download : v=%1, uri=%2, checksum=%3")
                .arg(LogQuote::quote(version), LogQuote::quote(uri), LogQuote::quote(checksum)));
    publishOrWarn(QStringLiteral("/trigger"), QJsonDocument(document).toJson(QJsonDocument::Indented));
}

void Update::logParseError(const QString &topic, const QByteArray &payload, const QString &error) const
{
    Q_UNUSED(topic)
    Q_UNUSED(payload)
    qCritical().noquote() << Tag_ + QStringLiteral("Failed to parse JSON message: ") + error;
}

void Update::onServiceGone()
{
    setService(Service::Down);
    // A running check ends here: its time-out would claim a result from a service that is down.
    m_checkTimer.stop();
    // The versions stay what it last said: the heartbeat keeps reporting the installed one.
    setStatus(ServiceNotRunning);
}

void Update::onStatusReceived(const QJsonObject &document)
{
    // Either part of the service may report itself down; absent keys say nothing.
    for (const QString &key : {QStringLiteral("updateman"), QStringLiteral("service")}) {
        if (document.contains(key) && !readFlag(document, key, key)) {
            onServiceGone();
            return;
        }
    }
    setService(Service::Running);
    if (m_checkTimer.isActive())
        m_checkAnswered = true;
    setCurrent(readText(document, QStringLiteral("version"), QStringLiteral("version")));
    setPending(readText(document, QStringLiteral("pending"), QStringLiteral("pending")));
    setStatus(readText(document, QStringLiteral("state"), QStringLiteral("state")));
    setProgressMessage(QStringLiteral("Idle"));
    setProgressPercent(0);
}

void Update::onProgressReceived(const QJsonObject &document)
{
    if (handlingKept()) {
        // Looked at quietly: a replay is dropped before its values are read.
        const int kept = JsonRead::integer(document.value(QStringLiteral("progress")));
        if (kept == 0 || kept == m_reportedProgress) {
            qWarning().noquote() << Tag_ + QStringLiteral("WARN: Ignoring retained message on ")
                    + LogQuote::quote(base() + QStringLiteral("/progress"));
            return;
        }
    }
    m_checkTimer.stop();
    setProgressMessage(readText(document, QStringLiteral("description"), QStringLiteral("description")));
    setProgressPercent(readInt(document, QStringLiteral("percent"), QStringLiteral("percent")));
    const int code = readInt(document, QStringLiteral("progress"), QStringLiteral("progress"));
    const QString ended = codeStatus(code);
    if (!ended.isEmpty())
        setStatus(ended);
    // Once its listeners have passed it on: remembered before, a crash would lose the report.
    if (code != 0)
        setReportedProgress(code);
}

QString Update::codeStatus(int code)
{
    if (code >= 102 && code <= 104)
        return QStringLiteral("Installation failed");
    if (code == 204)
        return QStringLiteral("Installation success");
    return QString();
}

bool Update::serviceDown() const
{
    return service() == Service::Down;
}

void Update::setStatus(const QString &status)
{
    PropertySetter::set(this, m_status, status, &Update::statusChanged);
}

void Update::setCurrent(const QString &current)
{
    PropertySetter::set(this, m_current, current == QLatin1String("0") ? QString() : current, &Update::currentChanged);
}

void Update::setPending(const QString &pending)
{
    PropertySetter::set(this, m_pending, pending, &Update::pendingChanged);
}

void Update::setProgressMessage(const QString &message)
{
    PropertySetter::set(this, m_progressMessage, message, &Update::progressMessageChanged);
}

void Update::setReportedProgress(int code)
{
    PropertySetter::set(this, m_reportedProgress, code, &Update::reportedProgressChanged);
}

void Update::setProgressPercent(int percent)
{
    PropertySetter::set(this, m_progressPercent, percent, &Update::progressPercentChanged);
}

} // namespace manager
