#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QSharedPointer>
#include <QString>

// One physical card as the fake reader and dispenser services see it. The
// dispenser moves the object between its places; the reader reads and
// writes the one in its field.
struct FakeCard
{
    using Ptr = QSharedPointer<FakeCard>;

    QString uid;
    int type = 4;                // technology code as the reader reports it
    QString templateName;        // empty: a blank card
    QJsonObject data;            // the template data stored on the card
    bool detectable = true;      // false: the reader never finds it in its field
    bool readable = true;        // false: found, but every read/create/write fails

    static Ptr blank(const QString &uid)
    {
        auto card = Ptr::create();
        card->uid = uid;
        return card;
    }

    // A card already carrying the product template.
    static Ptr rudi(const QString &uid, int customsId, const QString &status = QStringLiteral("active"),
                    int usageCounter = 1, const QJsonArray &usageLog = {})
    {
        auto card = blank(uid);
        card->templateName = QStringLiteral("RUDIv1");
        card->data = QJsonObject{
            {QStringLiteral("info"), QJsonObject{{QStringLiteral("version"), 0},
                                                 {QStringLiteral("customsId"), customsId},
                                                 {QStringLiteral("status"), status}}},
            {QStringLiteral("usageCounter"), usageCounter},
            {QStringLiteral("usageLog"), usageLog},
        };
        return card;
    }

    // The card envelope the reader service answers with.
    QJsonObject envelope() const
    {
        return QJsonObject{
            {QStringLiteral("uid"), uid},
            {QStringLiteral("type"), type},
            {QStringLiteral("template"), templateName},
            {QStringLiteral("data"), data},
        };
    }

    QJsonArray usageLog() const { return data.value(QStringLiteral("usageLog")).toArray(); }
};
