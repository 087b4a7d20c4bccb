#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QSharedPointer>
#include <QString>

namespace Backend {

// One card transaction reported to the back office, with the state of its delivery.
class Transaction : public QObject
{
    Q_OBJECT
    Q_PROPERTY(Type type READ type CONSTANT)
    Q_PROPERTY(QDateTime timestamp READ timestamp CONSTANT)
    Q_PROPERTY(QString deviceSerial READ deviceSerial CONSTANT)
    Q_PROPERTY(QString cardUid READ cardUid CONSTANT)
    Q_PROPERTY(QString uuid READ uuid CONSTANT)
    Q_PROPERTY(QString kelvoDbId READ kelvoDbId CONSTANT)
    Q_PROPERTY(QString errorDetails READ errorDetails CONSTANT)

public:
    using Ptr = QSharedPointer<Transaction>;

    enum Type { Issuance = 0, Scan = 1, Collection = 2, ErrorReport = 3 };
    Q_ENUM(Type)

    // Delivery state; mirrors the send columns of the stored row.
    struct SendDetails
    {
        QString sendStatus;      // "PENDING", "OK" or "FAILED"
        QDateTime sendDate;      // last attempt
        QDateTime sendSchedDate; // next attempt due; null when none is
        int sendAttempts = 0;
        int respStatus = 0;      // HTTP status of the last answer, 0 when none came
        QJsonObject respData;    // body of the last answer
    };

    static const QMap<Type, QString> TransactionTypes;

    explicit Transaction(QObject *parent = nullptr);

    Type type() const { return m_type; }
    QDateTime timestamp() const { return m_timestamp; }
    QString deviceSerial() const { return m_deviceSerial; }
    QString cardUid() const { return m_cardUid; }
    QString uuid() const { return m_uuid; }
    QString kelvoDbId() const { return m_kelvoDbId; }
    QString errorDetails() const { return m_errorDetails; }

    void setType(Type type);
    void setTimestamp(const QDateTime &timestamp);
    void setDeviceSerial(const QString &deviceSerial);
    void setCardUid(const QString &cardUid);
    void setUuid(const QString &uuid);
    void setKelvoDbId(const QString &kelvoDbId);
    void setErrorDetails(const QString &errorDetails);

    SendDetails &sendDetails() { return m_sendDetails; }
    const SendDetails &sendDetails() const { return m_sendDetails; }

    static QString typeToStr(Type type);
    static Type strToType(const QString &text);

    QString toString() const;
    QJsonObject toJson() const;

    static QString createUid();
    static Ptr create(Type type, QString deviceSerial, const QString &cardUid, const QString &errorDetails);

private:
    Type m_type = Issuance;
    QDateTime m_timestamp;
    QString m_deviceSerial;
    QString m_cardUid;
    QString m_uuid;
    QString m_kelvoDbId;
    QString m_errorDetails;
    SendDetails m_sendDetails;
};

} // namespace Backend

Q_DECLARE_METATYPE(Backend::Transaction::Ptr)
