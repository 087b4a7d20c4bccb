#include "transport/MqttTopicFilter.h"

#include <mosquitto.h>

namespace manager {

namespace {
constexpr int MaxTopicBytes = 65535;

bool usable(const QByteArray &utf8)
{
    return !utf8.isEmpty() && utf8.size() <= MaxTopicBytes && !utf8.contains('\0');
}
} // namespace

MqttTopicFilter::MqttTopicFilter(const QString &filter) : m_filter(filter) {}

MqttTopicFilter::MqttTopicFilter(const char *filter) : m_filter(QString::fromUtf8(filter)) {}

bool MqttTopicFilter::isValid() const
{
    const QByteArray utf8 = m_filter.toUtf8();
    return usable(utf8) && mosquitto_sub_topic_check2(utf8.constData(), size_t(utf8.size())) == MOSQ_ERR_SUCCESS;
}

bool MqttTopicFilter::match(const QString &topicName) const
{
    const QByteArray sub = m_filter.toUtf8();
    const QByteArray topic = topicName.toUtf8();
    if (!usable(sub) || !usable(topic))
        return false;
    bool result = false;
    if (mosquitto_topic_matches_sub2(sub.constData(), size_t(sub.size()), topic.constData(), size_t(topic.size()), &result)
        != MOSQ_ERR_SUCCESS)
        return false;
    return result;
}

} // namespace manager
