#pragma once

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QUrl>

#include <functional>

#include "async/Deferred.h"
#include "camera/ZIDReading.h"

class QNetworkAccessManager;
class QNetworkReply;

// One recognition camera of the lane. The terminal triggers it over HTTP; the
// camera later pushes its result (or a heartbeat) to the terminal's receiver,
// which hands it here through handleTCPMessage. The camera also serves its
// device information, its recognition application's plate list and a
// settings upload.
class ZIDCamera : public QObject
{
    Q_OBJECT

public:
    // The value delivered per trigger. `data` is a copy of the reading taken
    // when the result was parsed, so later pushes cannot change a result that
    // was already handed out; null when no result was parsed.
    struct Result
    {
        QString error;
        QSharedPointer<const ZIDReading> data;
    };

    // Bytes of a camera's answer taken at most; a larger answer is aborted. The settings file
    // sent to it is bounded alike.
    static constexpr qint64 MaxReplySize = 1024 * 1024;

    explicit ZIDCamera(const QUrl &url, QObject *parent = nullptr);
    ~ZIDCamera() override;

    QString type() const { return m_type; }
    void setType(const QString &type);
    QUrl url() const { return m_url; }
    void setUrl(const QUrl &url);
    const ZIDReading *initialCameraData() const { return m_reading; }

    // Time-out of every request to the camera, in ms. Each trigger brings
    // its own; the manager hands over the configured one before that.
    int timeout() const { return m_timeout; }
    void setTimeout(int msec) { m_timeout = msec; }
    // The settings file that uploadCameraConfiguration sends.
    QString configurationFile() const { return m_configurationFile; }
    void setConfigurationFile(const QString &path) { m_configurationFile = path; }

    Deferred<QString> startCameraProcess(const QString &id, int retries, int timeout);
    Deferred<QString> sendCameraTrigger(const QString &base);
    Deferred<ZIDCamera::Result> waitTCPDataMessage(int msec);

    void handleTCPMessage(const QString &path, const QByteArray &body);
    void processHeartbeatMessage(const QByteArray &body);
    virtual bool processData(const QByteArray &body) = 0;

    // Device information into the reading.
    void retrieveCameraInfo();
    void parseCameraInfo(const QByteArray &document);
    // The recognition application's plate list below `base`, and the entry
    // of the latest trigger in it.
    Deferred<QByteArray> requestDBTriggerData(const QString &base);
    bool parseCameraXMLData(const QByteArray &document);
    // Sends the settings file to the recognition application.
    void uploadCameraConfiguration();

signals:
    void retrieveTriggerDataSignal(QString type, const ZIDReading *cameraData);
    void typeChanged();
    void urlChanged();
    void processDataFinished(ZIDCamera::Result result);

protected:
    ZIDReading *reading() const { return m_reading; }
    // "[alpr1] " and the like, opening most log lines.
    QString typeTag() const;
    // The host part of the configured URL, also written into the reading.
    QString host() const;
    // The document as a map, or false when the body is no JSON object.
    static bool toMap(const QByteArray &body, QVariantMap &map);
    static QDateTime toDateTime(const QVariant &value);

private:
    // "http://" + host + the recognition application's path for this type.
    QString applicationBase() const;
    // One request, guarded by the time-out: logs `timeoutWarning` and
    // aborts it when no answer comes in time, and logs an error answer.
    // An answer announced or grown beyond MaxReplySize is aborted too, and so
    // is one packed (Content-Encoding) though asked for as it is; a redirect
    // is not followed and fails the request like an error answer; without
    // `keepBody` its bytes are dropped as they come. `finished` then gets the
    // reply; `removed` runs instead when the camera is deleted first.
    void exchange(QNetworkReply *reply, const QString &timeoutWarning,
                  const std::function<void(QNetworkReply *)> &finished,
                  const std::function<void()> &removed = {}, bool keepBody = true);

    QString m_type;
    QUrl m_url;
    ZIDReading *m_reading;
    int m_retries = 0;
    // The configured default: a request with no time-out at all would be
    // aborted at once.
    int m_timeout = 5000;
    QNetworkAccessManager *m_network;
    QString m_triggerId;
    QString m_configurationFile = QStringLiteral("/opt/vesk/vorn-terminal-ui/configuration.json");
    // Results pushed since the latest trigger went out that no wait took, oldest
    // first. A camera may push before the trigger's own answer has been handled;
    // the wait that starts then takes the oldest instead of losing it. Two
    // cycles that overlap each get their own push. A few at most: a camera
    // pushing on its own must not grow it.
    QList<Result> m_earlyResults;
    static constexpr int MaxEarlyResults = 4;
    // Whether a pending wait took the push being handled.
    bool m_pushTaken = false;
};

Q_DECLARE_METATYPE(ZIDCamera::Result)
