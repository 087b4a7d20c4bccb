#include "card/Tag.h"

#include "app/JsonRead.h"

#include <QMap>

Tag::Tag(const QString &uid, Type type)
    : m_uid(uid)
    , m_type(type)
{
}

Tag::~Tag() = default;

QJsonObject Tag::toJson() const
{
    return QJsonObject{
        {QStringLiteral("uid"), m_uid},
        {QStringLiteral("type"), int(m_type)},
    };
}

Tag::Ptr Tag::fromJson(const QJsonObject &object)
{
    return Ptr::create(JsonRead::text(object.value(QStringLiteral("uid"))),
                       Type(JsonRead::integer(object.value(QStringLiteral("type")))));
}

QString Tag::typeToStr(Type type)
{
    static const QMap<int, QString> names{
        {Unknown, QStringLiteral("Unknown")},
        {Iso14443_4A, QStringLiteral("ISO14443-4A")},
        {Iso14443_4B, QStringLiteral("ISO14443-4B")},
        {MifareClassic1K, QStringLiteral("MIFARE Classic 1K")},
        {MifareClassic4K, QStringLiteral("MIFARE Classic 4K")},
        {MifarePlus2K, QStringLiteral("MIFARE Plus 2K")},
        {MifarePlus4K, QStringLiteral("MIFARE Plus 4K")},
        {MifareUltralight, QStringLiteral("MIFARE Ultralight")},
        {MifareMini, QStringLiteral("MIFARE Mini")},
        {MifareDesfire, QStringLiteral("MIFARE DESFire")},
        {Emv, QStringLiteral("EMV")},
        {Other, QStringLiteral("Other")},
    };
    return names.value(type, names.value(Unknown));
}
