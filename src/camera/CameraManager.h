#pragma once

#include <QHash>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

#include "async/Deferred.h"
#include "camera/ZIDCamera.h"
#include "transport/HttpServer.h"

class Config;

namespace manager {

class MqttClient;

// Owns the lane's recognition cameras and the receiver their pushes arrive
// at, and turns one trigger cycle per session into the session's readings:
// "Front" (alpr1), "Rear" (alpr2), "Container1" (ccr1), "Container2" (ccr2).
class CameraManager : public QObject
{
    Q_OBJECT

public:
    // The accepted camera names, in the order they are read.
    static const QStringList CAMERA_TYPES;

    CameraManager(Config &config, MqttClient &mqtt, QObject *parent = nullptr);
    ~CameraManager() override;

    // One trigger cycle; resolves with the readings map, never rejects.
    Deferred<QMap<QString, QString> > cameraProcess(const QString &id);
    // The delay, then a trigger of every camera; resolves with the results
    // in the order they arrived.
    Deferred<QList<ZIDCamera::Result> > cameraTriggerReceived();
    static QMap<QString, QString> parseCameraResults(const QList<ZIDCamera::Result> &results);

    // (Re)builds the camera table from the configuration.
    void initCameras();
    void setPort(int port);
    int port() const { return m_port; }
    // The camera configured under a name of CAMERA_TYPES, or null.
    ZIDCamera *camera(const QString &name) const;

    // A configuration topic, "ui/config", whose documents would be applied
    // as configuration changes. Nothing subscribes it or feeds its messages
    // here.
    void subscribeToTopics();
    void onMqttMessageReceived(const QByteArray &message, const QString &topic);

signals:
    void camerasResultsChanged(QList<ZIDCamera::Result> results);
    void portChanged(int port);

private slots:
    void onConfigChanged(const QVariantMap &changes);

private:
    void routeRequest(const QHostAddress &peer, const HttpServer::Request &request);
    int responseTimeout() const;

    Config &m_config;
    MqttClient &m_mqtt;
    int m_port = 0;
    QHash<quint32, ZIDCamera *> m_cameras;
    QString m_triggerId;
    HttpServer m_server;
};

} // namespace manager
