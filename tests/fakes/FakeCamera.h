#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QUrlQuery>

class QTcpServer;
class QTcpSocket;

// A recognition camera on a loopback address of its own. It serves the trigger
// request on port 80 of that address and pushes its results to the terminal's
// receiver from the same address, as a camera in the lane does. The same port
// serves its device information, the recognition application's plate list
// (one entry per recognised trigger) and its settings upload.
class FakeCamera : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray path;       // without the query
        QUrlQuery query;
        QMap<QByteArray, QByteArray> headers;  // names in lower case
        QByteArray body;
        bool authorized = true;
    };

    explicit FakeCamera(const QHostAddress &address, QObject *parent = nullptr);
    ~FakeCamera() override;

    QHostAddress address() const { return m_address; }
    bool listen(quint16 port = 80);

    // Trigger answers: the status (200 accepts), how long to hold the answer
    // back (-1: never answer) and, when set, the credentials a Basic
    // challenge asks for.
    void setTriggerStatus(int status) { m_status = status; }
    void setTriggerDelay(int msec) { m_delay = msec; }
    void requireCredentials(const QByteArray &user, const QByteArray &password);

    // Any path answered with this status and body instead of the camera's
    // own answer, held back `delay` ms (-1: never answered).
    void setAnswer(const QByteArray &path, int status, const QByteArray &body, int delay = 0);

    // Device information (POST /axis-cgi/basicdeviceinfo.cgi, method
    // "getAllProperties"): the "propertyList" it answers with. The settings
    // upload (POST <application>/alpr.cgi) answers with the same document.
    void setDeviceProperties(const QJsonObject &properties) { m_properties = properties; }
    QJsonObject deviceProperties() const { return m_properties; }
    static QByteArray deviceInfoDocument(const QJsonObject &properties);

    // Plate list (GET <application>/mempl.cgi): one "plate" element per
    // entry, attributes as given. Each accepted trigger adds the recognition
    // set here (when one is) with "image_id" the trigger's id.
    void addPlateListEntry(const QMap<QString, QString> &attributes) { m_plateList << attributes; }
    void setRecognition(const QMap<QString, QString> &attributes) { m_recognition = attributes; }
    QByteArray plateListDocument() const;

    // What an accepted trigger makes the camera push (nothing while the body
    // is empty), and to which receiver port on 127.0.0.1.
    void setReceiverPort(quint16 port) { m_receiverPort = port; }
    void setResult(const QByteArray &path, const QByteArray &body);

    // Pushes one request from this camera's address. The chunks are written
    // 50 ms apart, so that the receiver reads them one at a time.
    void push(const QByteArray &path, const QByteArray &body);
    void pushChunks(const QList<QByteArray> &chunks);
    static QByteArray postRequest(const QByteArray &path, const QByteArray &body);

    // A /24 of loopback addresses for one test run, "127.<second>.<random>.",
    // whose camera port is free: concurrent runs of the same test (other work
    // trees, other builds) do not meet. Give each test program its own second byte.
    static QString loopbackSubnet(int second);

    static QByteArray plateResult(const QString &plate, const QString &country = "GR");
    static QByteArray containerResult(const QString &code);

    QList<Request> requests() const { return m_requests; }
    int pushesAnswered() const { return m_pushesAnswered; }

signals:
    void requestReceived();
    void triggerAccepted(const QString &id);
    // The receiver answered (or closed) one push.
    void pushFinished(const QByteArray &answer);

private:
    void onConnection();
    void onRequestData(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Request &request);
    void answerTrigger(QTcpSocket *socket, const Request &request);
    static void reply(QTcpSocket *socket, int status, const QByteArray &contentType, const QByteArray &body);

    QHostAddress m_address;
    QTcpServer *m_server;
    int m_status = 200;
    int m_delay = 0;
    QByteArray m_authorization;  // expected "Basic ..." value, empty when open
    quint16 m_receiverPort = 0;
    QByteArray m_resultPath;
    QByteArray m_resultBody;
    QList<Request> m_requests;
    int m_pushesAnswered = 0;
    struct Answer
    {
        int status;
        QByteArray body;
        int delay;
    };
    QMap<QByteArray, Answer> m_answers;
    QJsonObject m_properties;
    QList<QMap<QString, QString>> m_plateList;
    QMap<QString, QString> m_recognition;
};
