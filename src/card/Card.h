#pragma once

#include "card/Tag.h"

// A tag that carries data in a named template.
class Card : public Tag
{
public:
    using Ptr = QSharedPointer<Card>;

    Card() = default;
    Card(const QString &uid, Type type);
    ~Card() override;

    QString name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }

    // The tag document plus "template" and "data" (null when there is none).
    QJsonObject toJson() const override;

    virtual QJsonObject data() const = 0;
    virtual void setData(const QJsonObject &data) = 0;

    // The card behind a tag, or null when the tag is no card (a plain tag from
    // a card-found report, for instance). Never an unchecked cast.
    static Ptr fromTag(const Tag::Ptr &tag);

private:
    QString m_name;
};

Q_DECLARE_METATYPE(Card::Ptr)
