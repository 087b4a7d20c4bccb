#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "transport/MqttTopicFilter.h"

namespace manager {

class MqttConnection;

// One topic filter subscribed on an MqttConnection. The connection owns it and hands the same
// object to every subscriber of that filter; each of them releases its share with unsubscribe().
// The broker is told to unsubscribe when the last share goes. A lost connection ends every
// subscription (state Unsubscribed) and the connection deletes the object later.
class MqttSubscription : public QObject
{
    Q_OBJECT

public:
    enum SubscriptionState { Unsubscribed = 0, SubscriptionPending = 1, Subscribed = 2, UnsubscriptionPending = 3, Error = 4 };
    Q_ENUM(SubscriptionState)

    MqttTopicFilter topic() const { return m_topic; }
    quint8 qos() const { return m_qos; }
    SubscriptionState state() const { return m_state; }

    // Releases one share of the subscription.
    void unsubscribe();

signals:
    void stateChanged(manager::MqttSubscription::SubscriptionState state);
    // A message whose topic matches this filter, once per delivery by the broker.
    void messageReceived(const QByteArray &message, const QString &topic);

private:
    friend class MqttConnection;
    MqttSubscription(const MqttTopicFilter &topic, quint8 qos, MqttConnection *connection);
    void setState(SubscriptionState state);

    MqttConnection *m_connection;
    MqttTopicFilter m_topic;
    quint8 m_qos;
    SubscriptionState m_state = Unsubscribed;
    int m_shares = 0;
    int m_pendingMid = 0; // id of the SUBSCRIBE or UNSUBSCRIBE awaiting its acknowledgement
};

} // namespace manager
