#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>

// What the reader sees of any contactless card: its UID and technology.
class Tag
{
public:
    using Ptr = QSharedPointer<Tag>;

    // Single-bit technology codes. The reader may report any number,
    // combinations included; the fixed underlying type keeps them all valid.
    enum Type : int {
        Unknown = 0,
        Iso14443_4A = 0x1,
        Iso14443_4B = 0x2,
        MifareClassic1K = 0x4,
        MifareClassic4K = 0x8,
        MifarePlus2K = 0x10,
        MifarePlus4K = 0x20,
        MifareUltralight = 0x40,
        MifareMini = 0x80,
        MifareDesfire = 0x100,
        Emv = 0x200,
        Other = 0x8000,
    };

    Tag() = default;
    Tag(const QString &uid, Type type);
    virtual ~Tag();

    QString uid() const { return m_uid; }
    void setUid(const QString &uid) { m_uid = uid; }
    Type type() const { return m_type; }
    void setType(Type type) { m_type = type; }

    virtual QJsonObject toJson() const;

    static Ptr fromJson(const QJsonObject &object);
    static QString typeToStr(Type type);

private:
    QString m_uid;
    Type m_type = Unknown;
};

Q_DECLARE_METATYPE(Tag::Ptr)
