#include "camera/CameraManager.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUuid>
#include <QtDebug>

#include <memory>

#include "app/Config.h"
#include "app/LogQuote.h"
#include "camera/Container.h"
#include "camera/Plate.h"
#include "transport/MqttClient.h"

#define MANAGER_TAG "[CameraManager] "

namespace manager {

const QStringList CameraManager::CAMERA_TYPES = {QStringLiteral("alpr1"), QStringLiteral("alpr2"),
                                                 QStringLiteral("ccr1"), QStringLiteral("ccr2")};

namespace {

// How long a triggered camera has to push its result.
const int resultWaitMsec = 10000;

// The change map for the log; camera URLs carry passwords, which stay out, as do secret keys.
QString describe(const QVariantMap &changes)
{
    QStringList parts;
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        QString value = it.value().toString();
        if (it.key().startsWith(QLatin1String("cameras/")))
            value = QUrl(value).toDisplayString();
        parts << LogQuote::quote(it.key()) + QLatin1Char('=')
                + (Config::isSecret(it.key()) && !value.isEmpty() ? QStringLiteral("****") : LogQuote::quote(value));
    }
    return QLatin1Char('{') + parts.join(QLatin1String(", ")) + QLatin1Char('}');
}

// A negative time never fires: the cycle would wait for good, and the session with it.
int msecSetting(const Config &config, const QString &key)
{
    const int value = config.get(key).toInt();
    if (value >= 0)
        return value;
    qWarning().noquote().nospace() << MANAGER_TAG << "WARN: " << key << " is negative (" << value << "), taken as 0";
    return 0;
}

} // namespace

CameraManager::CameraManager(Config &config, MqttClient &mqtt, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_mqtt(mqtt)
{
    connect(this, &CameraManager::portChanged, this, [this](int port) { m_server.listen(port); });
    connect(&m_config, &Config::configChanged, this, &CameraManager::onConfigChanged);
    initCameras();
    connect(&m_server, &HttpServer::requestReceived, this, &CameraManager::routeRequest);
}

CameraManager::~CameraManager()
{
    m_server.close();
}

ZIDCamera *CameraManager::camera(const QString &name) const
{
    for (ZIDCamera *c : m_cameras) {
        if (c->type() == name)
            return c;
    }
    return nullptr;
}

void CameraManager::initCameras()
{
    qInfo().noquote().nospace() << MANAGER_TAG << "initCameras";

    // A camera whose name and URL are unchanged stays, with whatever it is
    // doing; every other one is replaced.
    QList<ZIDCamera *> previous = m_cameras.values();
    QHash<quint32, ZIDCamera *> table;
    QList<int> ports;

    for (const QString &name : CAMERA_TYPES) {
        const QUrl url = m_config.get(QStringLiteral("cameras/") + name).toUrl();
        if (!url.isValid() || url.isEmpty())
            continue;
        if (url.host().isEmpty()) {
            qCritical().noquote().nospace() << MANAGER_TAG << "ERROR: Camera url without host, " << name
                                            << " left out : " << url.toDisplayString();
            continue;
        }

        const quint32 key = QHostAddress(url.host()).toIPv4Address();
        ZIDCamera *cam = nullptr;
        for (ZIDCamera *old : previous) {
            if (old->type() == name && old->url() == url) {
                cam = old;
                previous.removeOne(old);
                break;
            }
        }
        if (!cam) {
            if (name.contains(QLatin1String("alpr"))) {
                qInfo().noquote().nospace() << MANAGER_TAG << "ALPR camera : " << url.toDisplayString();
                cam = new Plate(url, this);
            } else if (name.contains(QLatin1String("ccr"))) {
                qInfo().noquote().nospace() << MANAGER_TAG << "CCR camera : " << url.toDisplayString();
                cam = new Container(url, this);
            } else {
                continue;
            }
            cam->setType(name);
            // Requests made before the first trigger have the configured time-out too.
            cam->setTimeout(responseTimeout());
        }
        // Two names on one address: the later one takes the address.
        if (ZIDCamera *displaced = table.value(key))
            previous << displaced;
        table.insert(key, cam);

        if (url.port() < 0) {
            qCritical().noquote().nospace() << MANAGER_TAG << "ERROR: Camera url without port, pushes of " << name
                                            << " have no port to arrive at : " << url.toDisplayString();
        } else {
            ports << url.port();
        }
    }

    m_cameras = table;
    for (ZIDCamera *old : previous)
        old->deleteLater();
    for (int port : ports)
        setPort(port);
}

int CameraManager::responseTimeout() const
{
    return msecSetting(m_config, QStringLiteral("cameras/responseTimeoutMsec"));
}

void CameraManager::setPort(int port)
{
    qInfo().noquote().nospace() << MANAGER_TAG << "setPort value : " << port;
    if (m_port == port)
        return;
    m_port = port;
    emit portChanged(port);
}

void CameraManager::routeRequest(const QHostAddress &peer, const HttpServer::Request &request)
{
    ZIDCamera *cam = m_cameras.value(peer.toIPv4Address());
    if (!cam) {
        qWarning().noquote().nospace() << MANAGER_TAG << "Unknown peer address : " << peer.toString();
        return;
    }
    cam->handleTCPMessage(request.path, request.body);
}

Deferred<QMap<QString, QString> > CameraManager::cameraProcess(const QString &id)
{
    qInfo().noquote().nospace() << MANAGER_TAG << "cameraProcess";
    Deferred<QMap<QString, QString> > readings;

    m_triggerId = id.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : id;

    // Nothing to trigger: the session gets its empty readings now.
    if (m_cameras.isEmpty()) {
        readings.resolve(parseCameraResults({}));
        return readings;
    }

    cameraTriggerReceived().done([readings](const QList<ZIDCamera::Result> &results) {
        qInfo().noquote().nospace() << MANAGER_TAG << "Camera data received, check plates";
        readings.resolve(parseCameraResults(results));
    });
    return readings;
}

Deferred<QList<ZIDCamera::Result> > CameraManager::cameraTriggerReceived()
{
    qInfo().noquote().nospace() << MANAGER_TAG << "cameraTriggerReceived";
    Deferred<QList<ZIDCamera::Result> > delivered;

    const int delay = msecSetting(m_config, QStringLiteral("cameras/triggerDelayMsec"));
    // The cycle's own id: another cycle started during this delay must not change it.
    const QString triggerId = m_triggerId;
    QTimer::singleShot(delay, this, [this, delivered, triggerId]() {
        auto results = std::make_shared<QList<ZIDCamera::Result> >();
        QList<Deferred<QString> > completions;
        const QList<ZIDCamera *> cameras = m_cameras.values();

        for (ZIDCamera *cam : cameras) {
            Deferred<QString> completion;
            completions << completion;
            // The camera may be replaced while this cycle waits on it.
            const QPointer<ZIDCamera> camera(cam);
            const QString host = cam->url().host();
            const int retries = m_config.get(QStringLiteral("cameras/numberOfRetries")).toInt();
            const int timeout = responseTimeout();

            cam->startCameraProcess(triggerId, retries, timeout)
                .fail([completion, host](const QString &error) {
                    qWarning().noquote().nospace() << MANAGER_TAG << "WARN: Camera " << host << " failed: " << LogQuote::quote(error);
                    completion.resolve(QString());
                })
                .done([completion, host, camera, results](const QString &) {
                    if (!camera) {
                        qWarning().noquote().nospace() << MANAGER_TAG << "WARN: Camera " << host
                                                       << " data message error : camera removed";
                        completion.resolve(QString());
                        return;
                    }
                    qInfo().noquote().nospace() << MANAGER_TAG << "Successful trigger, wait data message : " << host;
                    camera->waitTCPDataMessage(resultWaitMsec)
                        .fail([completion, host](const ZIDCamera::Result &r) {
                            qWarning().noquote().nospace() << MANAGER_TAG << "WARN: Camera " << host
                                                           << " data message error : " << r.error;
                            completion.resolve(QString());
                        })
                        .done([completion, host, results](const ZIDCamera::Result &r) {
                            qInfo().noquote().nospace() << MANAGER_TAG << "Camera " << host << " data received";
                            results->append(r);
                            completion.resolve(QString());
                        });
                });
        }

        const int triggered = cameras.size();
        // A manager destroyed mid-cycle delivers nothing: its owner is going too.
        const QPointer<CameraManager> self(this);
        auto deliver = [self, delivered, results, triggered]() {
            if (!self)
                return;
            qInfo().noquote().nospace() << MANAGER_TAG << "Received all cameras data. Number of cameras : "
                                        << triggered;
            for (const ZIDCamera::Result &r : *results) {
                if (!r.data)
                    continue;
                qInfo().noquote().nospace() << MANAGER_TAG << "IP : " << r.data->ip() << " Plate : " << LogQuote::quote(r.data->plate());
                qInfo().noquote().nospace() << MANAGER_TAG << "IP : " << r.data->ip()
                                            << " Container : " << LogQuote::quote(r.data->containerCode());
            }
            delivered.resolve(*results);
        };
        if (completions.isEmpty())
            deliver();
        else
            Deferred<>::when(completions).done(deliver);
    });
    return delivered;
}

QMap<QString, QString> CameraManager::parseCameraResults(const QList<ZIDCamera::Result> &results)
{
    qInfo().noquote().nospace() << MANAGER_TAG << "parseCameraResults";
    QMap<QString, QString> readings;
    if (results.isEmpty()) {
        qWarning().noquote().nospace() << MANAGER_TAG << "WARN: No results received from cameras";
        return readings;
    }
    qInfo().noquote().nospace() << MANAGER_TAG << "Received results from " << results.size() << " cameras";

    static const QList<QPair<QString, QString> > keys = {
        {QStringLiteral("alpr1"), QStringLiteral("Front")},
        {QStringLiteral("alpr2"), QStringLiteral("Rear")},
        {QStringLiteral("ccr1"), QStringLiteral("Container1")},
        {QStringLiteral("ccr2"), QStringLiteral("Container2")},
    };
    for (const ZIDCamera::Result &r : results) {
        if (!r.data)
            continue;
        for (const auto &key : keys) {
            if (r.data->type() != key.first)
                continue;
            const QString value = key.first.startsWith(QLatin1String("alpr")) ? r.data->plate()
                                                                               : r.data->containerCode();
            if (value != QLatin1String("NONE"))
                readings.insert(key.second, value);
        }
    }
    return readings;
}

void CameraManager::onConfigChanged(const QVariantMap &changes)
{
    qInfo().noquote().nospace() << MANAGER_TAG << "onConfigChanged to map : " << describe(changes);
    // Only the camera URLs need a rebuild; the cycle settings are read at every cycle.
    if (Config::contains(changes, QStringLiteral("^cameras/(alpr|ccr)[12]$"))) {
        qWarning().noquote().nospace() << MANAGER_TAG << "WARN: Configuration changed. Applying.";
        initCameras();
    }
    if (Config::contains(changes, QStringLiteral("^cameras/responseTimeoutMsec$"))) {
        const int timeout = responseTimeout();
        for (ZIDCamera *cam : qAsConst(m_cameras))
            cam->setTimeout(timeout);
    }
}

void CameraManager::subscribeToTopics()
{
    qInfo().noquote().nospace() << MANAGER_TAG << "subscribeToTopics";
    m_mqtt.subscribe(QStringLiteral("ui/config"), 0);
}

void CameraManager::onMqttMessageReceived(const QByteArray &message, const QString &topic)
{
    if (topic != QLatin1String("ui/config"))
        return;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(message, &error);
    if (!doc.isObject()) {
        qWarning().noquote().nospace() << MANAGER_TAG << "WARN: " << topic << " document is no JSON object : "
                                       << (error.error != QJsonParseError::NoError ? error.errorString()
                                                                                   : QStringLiteral("not an object"));
        return;
    }
    onConfigChanged(doc.object().toVariantMap());
}

} // namespace manager
