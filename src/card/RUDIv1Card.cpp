#include "card/RUDIv1Card.h"

#include "app/JsonRead.h"

#include <QJsonArray>

namespace {
const QString TimeFormat = QStringLiteral("yyyy-MM-ddThh:mm:ss");
}

const QString RUDIv1Card::Name = QStringLiteral("RUDIv1");

QJsonObject RUDIv1Card::_Usage::toJson() const
{
    return QJsonObject{
        {QStringLiteral("timestamp"), time.isValid() ? time.toString(TimeFormat) : QString()},
        {QStringLiteral("type"), type},
        {QStringLiteral("usageCounter"), usageCounter},
        {QStringLiteral("deviceId"), deviceId},
        {QStringLiteral("locationId"), locationId},
    };
}

RUDIv1Card::_Usage &RUDIv1Card::_Usage::fromJson(const QJsonObject &object)
{
    time = QDateTime::fromString(JsonRead::text(object.value(QStringLiteral("timestamp"))), TimeFormat);
    type = JsonRead::text(object.value(QStringLiteral("type")));
    deviceId = JsonRead::text(object.value(QStringLiteral("deviceId")));
    locationId = JsonRead::text(object.value(QStringLiteral("locationId")));
    usageCounter = JsonRead::integer(object.value(QStringLiteral("usageCounter")));
    return *this;
}

RUDIv1Card::RUDIv1Card()
{
    setName(Name);
}

RUDIv1Card::~RUDIv1Card() = default;

std::optional<RUDIv1Card::_Usage> RUDIv1Card::lastUsage() const
{
    if (m_usageLogs.isEmpty())
        return std::nullopt;
    return m_usageLogs.last();
}

void RUDIv1Card::addUsageLog(const QString &type, const QString &deviceId, const QString &locationId)
{
    _Usage entry;
    entry.type = type;
    entry.deviceId = deviceId;
    entry.locationId = locationId;
    entry.time = QDateTime::currentDateTime();
    entry.usageCounter = m_usageCounter;
    m_newUsageLogs.append(entry);
}

void RUDIv1Card::addUsageLog(const _Usage &entry)
{
    m_newUsageLogs.append(entry);
}

QJsonObject RUDIv1Card::data() const
{
    QJsonArray log;
    for (const _Usage &entry : m_newUsageLogs)
        log.append(entry.toJson());
    return QJsonObject{
        {QStringLiteral("info"),
         QJsonObject{
             {QStringLiteral("version"), 0},
             {QStringLiteral("customsId"), m_customsId},
             {QStringLiteral("status"), m_status},
         }},
        {QStringLiteral("usageCounter"), m_usageCounter},
        {QStringLiteral("usageLog"), log},
    };
}

void RUDIv1Card::setData(const QJsonObject &data)
{
    const QJsonObject info = JsonRead::object(data.value(QStringLiteral("info")));
    m_customsId = JsonRead::integer(info.value(QStringLiteral("customsId")));
    // A document without a status (no data at all, for instance) leaves the
    // card's own status rather than blanking it.
    const QJsonValue status = info.value(QStringLiteral("status"));
    if (status.isString())
        m_status = status.toString();
    m_usageCounter = JsonRead::integer(data.value(QStringLiteral("usageCounter")));
    for (const QJsonValue &element : JsonRead::array(data.value(QStringLiteral("usageLog"))))
        m_usageLogs.append(_Usage().fromJson(JsonRead::object(element)));
}

QSharedPointer<RUDIv1Card> RUDIv1Card::fromJson(const QJsonObject &object)
{
    auto card = QSharedPointer<RUDIv1Card>::create();
    card->setUid(JsonRead::text(object.value(QStringLiteral("uid"))));
    card->setName(JsonRead::text(object.value(QStringLiteral("template"))));
    card->setType(Type(JsonRead::integer(object.value(QStringLiteral("type")))));
    card->setData(JsonRead::object(object.value(QStringLiteral("data"))));
    return card;
}
