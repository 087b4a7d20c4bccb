#pragma once

#include <QMetaType>
#include <QString>

namespace manager {

// An MQTT topic filter ("a/+/c", "a/#"): the subscription side of a topic name.
class MqttTopicFilter
{
public:
    MqttTopicFilter() = default;
    MqttTopicFilter(const QString &filter);
    MqttTopicFilter(const char *filter);

    QString filter() const { return m_filter; }
    void setFilter(const QString &filter) { m_filter = filter; }

    // Non-empty, at most 65535 bytes of UTF-8, no zero character, wildcards only as whole levels.
    bool isValid() const;
    // Whether a message published on topicName reaches a subscription to this filter.
    bool match(const QString &topicName) const;

    bool operator==(const MqttTopicFilter &other) const { return m_filter == other.m_filter; }
    bool operator!=(const MqttTopicFilter &other) const { return m_filter != other.m_filter; }

private:
    QString m_filter;
};

} // namespace manager

Q_DECLARE_METATYPE(manager::MqttTopicFilter)
