#include "card/Card.h"

#include <QJsonValue>

Card::Card(const QString &uid, Type type)
    : Tag(uid, type)
{
}

Card::~Card() = default;

QJsonObject Card::toJson() const
{
    QJsonObject json = Tag::toJson();
    const QJsonObject content = data();
    json.insert(QStringLiteral("template"), m_name);
    json.insert(QStringLiteral("data"), content.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(content));
    return json;
}

Card::Ptr Card::fromTag(const Tag::Ptr &tag)
{
    return tag.dynamicCast<Card>();
}
