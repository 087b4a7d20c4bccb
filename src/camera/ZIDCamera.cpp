#include "camera/ZIDCamera.h"

#include "app/LogQuote.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrlQuery>
#include <QtDebug>

#include <functional>
#include <memory>

#define CAMERA_TAG "[ZIDCamera] "

namespace {

// Runs at the next turn of the event loop, outside the signal or destructor
// that asks for it.
void settleLater(std::function<void()> step)
{
    QTimer::singleShot(0, QCoreApplication::instance(), std::move(step));
}

// Bodies come from outside and may be large or binary.

} // namespace

ZIDCamera::ZIDCamera(const QUrl &url, QObject *parent)
    : QObject(parent)
    , m_url(url)
    , m_reading(new ZIDReading(this))
    , m_network(new QNetworkAccessManager(this))
{
    qRegisterMetaType<ZIDCamera::Result>();
    qInfo().noquote().nospace() << CAMERA_TAG << "Camera url : " << m_url.toDisplayString();
    // The only authentication: a challenge is answered with the URL's user-info.
    connect(m_network, &QNetworkAccessManager::authenticationRequired, this,
            [this](QNetworkReply *, QAuthenticator *authenticator) {
                authenticator->setUser(m_url.userName(QUrl::FullyDecoded));
                authenticator->setPassword(m_url.password(QUrl::FullyDecoded));
            });
}

ZIDCamera::~ZIDCamera() = default;

void ZIDCamera::setType(const QString &type)
{
    if (m_type == type)
        return;
    m_type = type;
    emit typeChanged();
}

void ZIDCamera::setUrl(const QUrl &url)
{
    if (m_url == url)
        return;
    m_url = url;
    emit urlChanged();
}

QString ZIDCamera::typeTag() const
{
    return QStringLiteral("[%1] ").arg(m_type);
}

QString ZIDCamera::host() const
{
    return m_url.host(QUrl::FullyDecoded);
}

Deferred<QString> ZIDCamera::startCameraProcess(const QString &id, int retries, int timeout)
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "startCameraProcess";
    m_triggerId = id;
    m_retries = retries;
    m_timeout = timeout;
    m_hasEarlyResult = false;
    m_earlyResult = Result();

    QString path;
    if (m_type.contains(QLatin1String("alpr")))
        path = QStringLiteral("/local/Vaxreader/");
    else if (m_type.contains(QLatin1String("ccr")))
        path = QStringLiteral("/local/Vaxcontainer/");

    Deferred<QString> result;
    const QString tag = typeTag();
    sendCameraTrigger(QStringLiteral("http://") + host() + path)
        .done([result, tag](const QString &text) mutable {
            qInfo().noquote().nospace() << CAMERA_TAG << tag << "Successful trigger, wait for Camera Post";
            result.resolve(text);
        })
        .fail([result, tag](const QString &error) mutable {
            qInfo().noquote().nospace() << CAMERA_TAG << tag << "Trigger camera error : " << LogQuote::quote(error);
            result.reject(error);
        });
    return result;
}

Deferred<QString> ZIDCamera::sendCameraTrigger(const QString &base)
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "sendCameraTrigger";

    QUrl url(base + QStringLiteral("trigger.cgi"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("id"), m_triggerId);
    url.setQuery(query);

    QNetworkRequest request(url);
    request.setRawHeader("Connection", "close");
    QNetworkReply *reply = m_network->get(request);

    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    const int timeout = m_timeout;
    const QString tag = typeTag();
    connect(timer, &QTimer::timeout, reply, [reply, tag, timeout]() {
        qWarning().noquote().nospace() << CAMERA_TAG << tag << "WARN: Cannot send trigger signal. Timeout value : "
                                       << timeout;
        reply->abort();
    });
    timer->start(timeout);

    Deferred<QString> result;
    auto settled = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::finished, this, [reply, timer, tag, result, settled]() mutable {
        timer->stop();
        timer->deleteLater();
        *settled = true;
        if (reply->error() != QNetworkReply::NoError) {
            qCritical().noquote().nospace() << CAMERA_TAG << tag << "Error : " << reply->errorString();
            result.reject(tag + QStringLiteral("Trigger HTTP error :") + reply->errorString());
        } else {
            result.resolve(QString());
        }
        reply->deleteLater();
    });
    // A camera deleted while its trigger is out takes the reply with it, unfinished.
    connect(reply, &QObject::destroyed, [tag, result, settled]() mutable {
        if (*settled)
            return;
        *settled = true;
        settleLater([tag, result]() mutable { result.reject(tag + QStringLiteral("Camera removed")); });
    });
    return result;
}

Deferred<ZIDCamera::Result> ZIDCamera::waitTCPDataMessage(int msec)
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "waitTCPDataMessage";
    Deferred<Result> result;

    if (m_hasEarlyResult) {
        if (m_earlyResult.data)
            result.resolve(m_earlyResult);
        else
            result.reject(m_earlyResult);
        return result;
    }

    // One outcome only: the first of push, time-out and removal of the camera.
    // Deleting the context drops the watch and its timer.
    auto *context = new QObject;
    auto *timer = new QTimer(context);
    timer->setSingleShot(true);
    auto settled = std::make_shared<bool>(false);
    const QString type = m_type;

    auto finish = [context, timer, settled, result](const Result &r) mutable {
        if (*settled)
            return;
        *settled = true;
        timer->stop();
        context->deleteLater();
        if (r.data)
            result.resolve(r);
        else
            result.reject(r);
    };
    connect(this, &ZIDCamera::processDataFinished, context, finish);
    connect(timer, &QTimer::timeout, context, [type, finish]() mutable {
        qInfo().noquote().nospace() << CAMERA_TAG << "[" << type << "] Timeout";
        finish(Result{QStringLiteral("[%1] Timeout").arg(type), {}});
    });
    connect(this, &QObject::destroyed, context, [context, timer, settled, type, result]() mutable {
        if (*settled)
            return;
        *settled = true;
        timer->stop();
        context->deleteLater();
        settleLater([type, result]() mutable {
            result.reject(Result{QStringLiteral("[%1] Camera removed").arg(type), {}});
        });
    });
    timer->start(msec);
    return result;
}

void ZIDCamera::handleTCPMessage(const QString &path, const QByteArray &body)
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "handleCameraPostMessage";
    qInfo().noquote().nospace() << CAMERA_TAG << "Received post message : " << LogQuote::quote(body);

    if (path.contains(QLatin1String("heartbeat"))) {
        qInfo().noquote().nospace() << CAMERA_TAG << "ALPR heartbeat";
        processHeartbeatMessage(body);
        return;
    }

    Result result;
    if (processData(body))
        result.data = m_reading->snapshot();
    else
        result.error = QStringLiteral("Parse Error");
    m_hasEarlyResult = true;
    m_earlyResult = result;
    emit processDataFinished(result);
}

bool ZIDCamera::toMap(const QByteArray &body, QVariantMap &map)
{
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    if (!doc.isObject())
        return false;
    map = doc.object().toVariantMap();
    return true;
}

QDateTime ZIDCamera::toDateTime(const QVariant &value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

void ZIDCamera::processHeartbeatMessage(const QByteArray &body)
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "parseHeartbeatMessage";
    if (!m_type.contains(QLatin1String("alpr")))
        return;
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "Heartbeat message received";

    QVariantMap map;
    if (!toMap(body, map))
        return;
    m_reading->setPending(map.value("pending").toInt());
    m_reading->setSoftwareVersion(map.value("SoftwareVersion").toString());
    m_reading->setBuildNumber(map.value("BuildNumber").toInt());
    m_reading->setManufacturer(map.value("Manufacturer").toString());
    m_reading->setSerialNumber(map.value("SerialNumber").toString());
    m_reading->setModel(map.value("Model").toString());
    m_reading->setFirmwareVersion(map.value("FirmwareVersion").toString());
    m_reading->setDate(toDateTime(map.value("Date")));
    m_reading->setPid(map.value("PID").toString());
}
