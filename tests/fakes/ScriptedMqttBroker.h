#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// A listener on 127.0.0.1 that plays an MQTT 3.1.1 broker from a script, for the answers a
// real broker does not give on request: a chosen reply to CONNECT (a CONNACK code, or any bytes),
// SUBACK refusals for chosen filters, and silence (a broker that hangs with its connections
// open). PINGREQ is answered; other packets are ignored.
class ScriptedMqttBroker : public QObject
{
    Q_OBJECT

public:
    explicit ScriptedMqttBroker(QObject *parent = nullptr);

    bool start();
    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return m_server.serverPort(); }

    // What goes back for CONNECT; an accepting CONNACK at first.
    void setConnectAnswer(QByteArray const &bytes) { m_connectAnswer = bytes; }
    static QByteArray connack(int code);
    // Filters that begin with the prefix are refused (SUBACK return code 0x80).
    void refuseFilters(QString const &prefix) { m_refused.append(prefix); }

    // While silent, whatever arrives is read and left unanswered; connections stay open.
    void setSilent(bool silent) { m_silent = silent; }

    // Filters of every SUBSCRIBE so far, in order.
    QStringList subscriptions() const { return m_subscriptions; }

private:
    void onReadyRead(QTcpSocket *socket);
    void handle(QTcpSocket *socket, quint8 type, QByteArray const &body);

    QByteArray m_connectAnswer;
    QStringList m_refused;
    QStringList m_subscriptions;
    bool m_silent = false;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    // Last, so it goes first: its sockets report their end while the buffers still exist.
    QTcpServer m_server;
};
