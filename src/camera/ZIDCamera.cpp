#include "camera/ZIDCamera.h"

#include "app/LogQuote.h"
#include "app/RegularFile.h"
#include "transport/HttpClient.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrlQuery>
#include <QXmlStreamReader>
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

// Every request to a camera asks for its answer as it is, so that the bound counts what arrives.
QNetworkRequest cameraRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    HttpClient::askForIdentity(request);
    return request;
}

// Why the request failed: the camera's answer refused here, or the network's reason; empty when
// it did not.
const char RefusalProperty[] = "refusal";

QString failure(QNetworkReply *reply)
{
    const QString refusal = reply->property(RefusalProperty).toString();
    if (!refusal.isEmpty())
        return refusal;
    if (reply->error() != QNetworkReply::NoError)
        return reply->errorString();
    // Redirects are not followed: an answer that sends the request elsewhere did not do it.
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status <= 399)
        return QStringLiteral("Redirect not followed (status %1)").arg(status);
    return QString();
}

} // namespace

ZIDCamera::ZIDCamera(const QUrl &url, QObject *parent)
    : QObject(parent)
    , m_url(url)
    , m_reading(new ZIDReading(this))
    , m_network(new QNetworkAccessManager(this))
{
    qRegisterMetaType<ZIDCamera::Result>();
    qInfo().noquote().nospace() << CAMERA_TAG << "Camera url : " << m_url.toDisplayString();
    // A camera answers for itself: nothing it is sent follows a redirect elsewhere.
    m_network->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    // The only authentication: a challenge is answered with the URL's user-info.
    connect(m_network, &QNetworkAccessManager::authenticationRequired, this,
            [this](QNetworkReply *, QAuthenticator *authenticator) {
                authenticator->setUser(m_url.userName(QUrl::FullyDecoded));
                authenticator->setPassword(m_url.password(QUrl::FullyDecoded));
            });
}

ZIDCamera::~ZIDCamera()
{
    // Later, never in place: the camera may be deleted inside a callback of one of its own
    // requests, while the network manager is still finishing that reply. Its replies go with it
    // and report the camera removed.
    m_network->setParent(nullptr);
    m_network->deleteLater();
}

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
    m_earlyResults.clear();

    Deferred<QString> result;
    const QString tag = typeTag();
    sendCameraTrigger(applicationBase())
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

    QNetworkRequest request = cameraRequest(url);
    request.setRawHeader("Connection", "close");

    Deferred<QString> result;
    const QString tag = typeTag();
    exchange(
        m_network->get(request), QStringLiteral("WARN: Cannot send trigger signal. Timeout value : "),
        [result, tag](QNetworkReply *reply) {
            const QString why = failure(reply);
            if (!why.isEmpty())
                result.reject(tag + QStringLiteral("Trigger HTTP error :") + why);
            else
                result.resolve(QString());
        },
        [result, tag]() { result.reject(tag + QStringLiteral("Camera removed")); }, false);
    return result;
}

QString ZIDCamera::applicationBase() const
{
    QString path;
    if (m_type.contains(QLatin1String("alpr")))
        path = QStringLiteral("/local/Vaxreader/");
    else if (m_type.contains(QLatin1String("ccr")))
        path = QStringLiteral("/local/Vaxcontainer/");
    return QStringLiteral("http://") + host() + path;
}

void ZIDCamera::exchange(QNetworkReply *reply, const QString &timeoutWarning,
                         const std::function<void(QNetworkReply *)> &finished, const std::function<void()> &removed,
                         bool keepBody)
{
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    const int timeout = m_timeout;
    const QString tag = typeTag();

    // Held until the answer is complete, or not at all: either way no more than the bound.
    auto dropped = std::make_shared<qint64>(0);
    auto refuse = [reply, tag](const QString &why) {
        if (!reply->isRunning())
            return;
        qCritical().noquote().nospace() << CAMERA_TAG << tag << "ERROR: " << why << ". Aborting.";
        reply->setProperty(RefusalProperty, why);
        reply->abort();
    };
    auto refuseIfLarger = [refuse](qint64 size) {
        if (size > MaxReplySize)
            refuse(QStringLiteral("Answer larger than %1 bytes").arg(MaxReplySize));
    };
    // A packed answer is refused before a byte of it is unpacked or counted.
    auto refuseIfPacked = [reply, refuse]() {
        const QByteArray packed = HttpClient::packedEncoding(reply);
        if (!packed.isEmpty())
            refuse(QStringLiteral("Answer refused (Content-Encoding '%1')").arg(LogQuote::quote(packed)));
        return !packed.isEmpty();
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, refuseIfLarger, refuseIfPacked]() {
        if (refuseIfPacked())
            return;
        const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
        if (announced.isValid())
            refuseIfLarger(announced.toLongLong());
    });
    connect(reply, &QNetworkReply::readyRead, this, [reply, refuseIfLarger, refuseIfPacked, dropped, keepBody]() {
        if (refuseIfPacked())
            return;
        if (keepBody) {
            refuseIfLarger(reply->bytesAvailable());
            return;
        }
        *dropped += reply->skip(reply->bytesAvailable());
        refuseIfLarger(*dropped);
    });

    connect(timer, &QTimer::timeout, reply, [reply, tag, timeout, timeoutWarning]() {
        qWarning().noquote().nospace() << CAMERA_TAG << tag << timeoutWarning << timeout;
        reply->abort();
    });
    timer->start(timeout);

    auto settled = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::finished, this, [reply, timer, tag, settled, finished]() {
        timer->stop();
        timer->deleteLater();
        *settled = true;
        const QString why = failure(reply);
        if (!why.isEmpty())
            qCritical().noquote().nospace() << CAMERA_TAG << tag << "Error : " << LogQuote::quote(why);
        finished(reply);
        reply->deleteLater();
    });
    // A camera deleted while the request is out takes the reply with it, unfinished.
    connect(reply, &QObject::destroyed, [settled, removed]() {
        if (*settled)
            return;
        *settled = true;
        if (removed)
            settleLater(removed);
    });
}

Deferred<ZIDCamera::Result> ZIDCamera::waitTCPDataMessage(int msec)
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "waitTCPDataMessage";
    Deferred<Result> result;

    if (!m_earlyResults.isEmpty()) {
        // Taken: it is no longer there for another wait.
        const Result early = m_earlyResults.takeFirst();
        if (early.data)
            result.resolve(early);
        else
            result.reject(early);
        return result;
    }

    // One outcome only: the first of push, time-out and removal of the camera.
    // Deleting the context drops the watch and its timer.
    auto *context = new QObject;
    auto *timer = new QTimer(context);
    timer->setSingleShot(true);
    auto settled = std::make_shared<bool>(false);
    const QString type = m_type;

    // True when this call settled the wait.
    auto finish = [context, timer, settled, result](const Result &r) mutable {
        if (*settled)
            return false;
        *settled = true;
        timer->stop();
        context->deleteLater();
        if (r.data)
            result.resolve(r);
        else
            result.reject(r);
        return true;
    };
    // The wait's owner may delete the camera in its callback.
    const QPointer<ZIDCamera> self(this);
    connect(this, &ZIDCamera::processDataFinished, context, [self, finish](const Result &r) mutable {
        if (finish(r) && self)
            self->m_pushTaken = true;
    });
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
    m_pushTaken = false;
    const QPointer<ZIDCamera> self(this);
    emit processDataFinished(result);
    if (!self)
        return;
    // Kept for a wait that starts later only when no wait took it: a push that answered the
    // previous trigger's wait must not answer the next one too.
    if (!m_pushTaken) {
        m_earlyResults.append(result);
        if (m_earlyResults.size() > MaxEarlyResults)
            m_earlyResults.removeFirst();
    }
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

void ZIDCamera::retrieveCameraInfo()
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "retrieveCameraInfo";

    const QUrl url(QStringLiteral("http://") + host() + QStringLiteral("/axis-cgi/basicdeviceinfo.cgi"));
    const QJsonObject call{{QStringLiteral("apiVersion"), QStringLiteral("1.3")},
                           {QStringLiteral("method"), QStringLiteral("getAllProperties")}};
    qInfo().noquote().nospace() << CAMERA_TAG << "mAllProperties : " << call;

    QNetworkRequest request = cameraRequest(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    exchange(m_network->post(request, QJsonDocument(call).toJson(QJsonDocument::Indented)),
             QStringLiteral("WARN: Cannot get basicdeviceinfo. Timeout value : "), [this](QNetworkReply *reply) {
                 if (failure(reply).isEmpty())
                     parseCameraInfo(reply->readAll());
             });
}

void ZIDCamera::parseCameraInfo(const QByteArray &document)
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "parseCameraInfo";
    QVariantMap map;
    if (!toMap(document, map)) {
        qWarning().noquote().nospace() << CAMERA_TAG << typeTag() << "WARN: Device information is no JSON object : "
                                       << LogQuote::quote(document);
        return;
    }
    const QVariantMap properties = map.value("data").toMap().value("propertyList").toMap();

    ZIDReading *r = m_reading;
    r->setFirmwareVersion(properties.value("Version").toString());
    r->setModel(properties.value("ProdNbr").toString());
    r->setSerialNumber(properties.value("SerialNumber").toString());
    r->setManufacturer(properties.value("Brand").toString());
    r->setPid(properties.value("Soc").toString());
    r->setSoftwareVersion(properties.value("SocSerialNumber").toString());
    r->setDate(toDateTime(properties.value("BuildDate")));

    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "Manufacturer / Brand : "
                                << LogQuote::quote(r->manufacturer())
                                << ", SerialNumber : " << LogQuote::quote(r->serialNumber())
                                << ", Model : " << LogQuote::quote(r->model())
                                << ", FirmwareVersion : " << LogQuote::quote(r->firmwareVersion())
                                << ", BuildDate : " << r->date().toString(Qt::ISODateWithMs)
                                << ", SOC : " << LogQuote::quote(r->pid())
                                << ", SocSerialNumber : " << LogQuote::quote(r->softwareVersion());
}

Deferred<QByteArray> ZIDCamera::requestDBTriggerData(const QString &base)
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "requestDBTriggerData";

    Deferred<QByteArray> result;
    const QString tag = typeTag();
    exchange(
        m_network->get(cameraRequest(QUrl(base + QStringLiteral("mempl.cgi")))),
        QStringLiteral("WARN: Cannot get plateInfo from DB. Timeout value : "),
        [result, tag](QNetworkReply *reply) {
            const QString why = failure(reply);
            if (!why.isEmpty()) {
                result.reject((tag + QStringLiteral("DB Request error :") + why).toUtf8());
                return;
            }
            qInfo().noquote().nospace() << CAMERA_TAG << tag << "DB data received";
            result.resolve(reply->readAll());
        },
        [result, tag]() { result.reject((tag + QStringLiteral("Camera removed")).toUtf8()); });
    return result;
}

bool ZIDCamera::parseCameraXMLData(const QByteArray &document)
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "parseCameraXMLData";
    m_reading->clearValues();

    QXmlStreamReader xml(document);
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement() || xml.name() != QLatin1String("plate"))
            continue;
        const QXmlStreamAttributes attributes = xml.attributes();
        // Without a trigger there is no entry of ours; one without an image id is not it.
        if (m_triggerId.isEmpty() || attributes.value("image_id") != m_triggerId)
            continue;

        ZIDReading *r = m_reading;
        r->setPlate(attributes.value("plate_number").toString());
        r->setId(attributes.value("id").toString());
        r->setCountry(attributes.value("country").toString());
        r->setBlacklist(attributes.value("blacklist").toString());
        r->setWhitelist(attributes.value("whitelist").toString());
        r->setVehicleMake(attributes.value("vehicle_make").toString());
        r->setVehicleModel(attributes.value("vehicle_model").toString());
        r->setVehicleColor(attributes.value("vehicle_color").toString());
        r->setImageId(attributes.value("image_id").toString());
        r->setDate(QDateTime::fromString(attributes.value("date").toString(), Qt::TextDate));
        r->setIp(host());

        qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "Plate : " << LogQuote::quote(r->plate()) << ", "
                                    << "Country : " << LogQuote::quote(r->country())
                                    << ", Date : " << r->date().toString(Qt::ISODateWithMs) << ", " << r->ip();
        emit retrieveTriggerDataSignal(m_type, m_reading);
        return true;
    }
    if (xml.hasError())
        qWarning().noquote().nospace() << CAMERA_TAG << typeTag() << "WARN: Plate list unreadable at line "
                                       << xml.lineNumber() << " : " << LogQuote::quote(xml.errorString());
    return false;
}

void ZIDCamera::uploadCameraConfiguration()
{
    qInfo().noquote().nospace() << CAMERA_TAG << typeTag() << "uploadCameraConfiguration";

    const QUrl url(applicationBase() + QStringLiteral("alpr.cgi"));
    // The bytes go unchanged, line ends included; the file no larger than an answer may be.
    const RegularFile::Contents file = RegularFile::read(m_configurationFile, MaxReplySize);
    if (!file.ok()) {
        qWarning().noquote().nospace() << CAMERA_TAG << typeTag() << "Cannot open the file " << m_configurationFile
                                       << " : " << file.why(MaxReplySize);
        return;
    }
    const QByteArray &settings = file.bytes;

    QNetworkRequest request = cameraRequest(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    exchange(m_network->post(request, settings),
             QStringLiteral("WARN: Cannot update the settings of the camera. Timeout value : "),
             [this](QNetworkReply *reply) {
                 if (failure(reply).isEmpty())
                     parseCameraInfo(reply->readAll());
             });
}
