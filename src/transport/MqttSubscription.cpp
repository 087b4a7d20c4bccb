#include "transport/MqttSubscription.h"

#include "transport/MqttConnection.h"

namespace manager {

MqttSubscription::MqttSubscription(const MqttTopicFilter &topic, quint8 qos, MqttConnection *connection)
    : QObject(connection), m_connection(connection), m_topic(topic), m_qos(qos)
{
}

void MqttSubscription::unsubscribe()
{
    m_connection->release(this);
}

void MqttSubscription::setState(SubscriptionState state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

} // namespace manager
