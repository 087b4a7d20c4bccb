#pragma once

#include "card/Card.h"

#include <QDateTime>
#include <QList>

#include <optional>

// The product's card template: status, owning customs office, a usage
// counter and the usage log.
class RUDIv1Card : public Card
{
public:
    static const QString Name;

    // One usage-log entry.
    struct _Usage
    {
        QString type;
        QString deviceId;
        QString locationId;
        QDateTime time;
        int usageCounter = 0;

        QJsonObject toJson() const;
        _Usage &fromJson(const QJsonObject &object);
    };

    RUDIv1Card();
    ~RUDIv1Card() override;

    QString status() const { return m_status; }
    void setStatus(const QString &status) { m_status = status; }
    int customsId() const { return m_customsId; }
    void setCustomsId(int customsId) { m_customsId = customsId; }
    int usageCounter() const { return m_usageCounter; }
    void incrUsageCounter(int n) { m_usageCounter += n; }

    // Entries read from the card; never written back.
    const QList<_Usage> &usageLogs() const { return m_usageLogs; }
    // Entries added since this object was made; the only ones written.
    const QList<_Usage> &newUsageLogs() const { return m_newUsageLogs; }
    std::optional<_Usage> lastUsage() const;

    // Stamps the entry with the current local time and the usage counter as it
    // is now: count a use after logging it.
    void addUsageLog(const QString &type, const QString &deviceId, const QString &locationId);
    void addUsageLog(const _Usage &entry);

    QJsonObject data() const override;
    void setData(const QJsonObject &data) override;

    static QSharedPointer<RUDIv1Card> fromJson(const QJsonObject &object);

private:
    QString m_status = QStringLiteral("available");
    int m_customsId = 0;
    int m_usageCounter = 0;
    QList<_Usage> m_usageLogs;
    QList<_Usage> m_newUsageLogs;
};
