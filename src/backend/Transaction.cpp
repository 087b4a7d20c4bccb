#include "backend/Transaction.h"

#include <QUuid>

namespace Backend {

const QMap<Transaction::Type, QString> Transaction::TransactionTypes{
    {Transaction::Issuance, QStringLiteral("ISSUANCE")},
    {Transaction::Scan, QStringLiteral("SCAN")},
    {Transaction::Collection, QStringLiteral("COLLECTION")},
    {Transaction::ErrorReport, QStringLiteral("ERROR_REPORT")},
};

Transaction::Transaction(QObject *parent)
    : QObject(parent)
{
}

void Transaction::setType(Type type)
{
    if (m_type != type)
        m_type = type;
}

void Transaction::setTimestamp(const QDateTime &timestamp)
{
    if (m_timestamp != timestamp)
        m_timestamp = timestamp;
}

void Transaction::setDeviceSerial(const QString &deviceSerial)
{
    if (m_deviceSerial != deviceSerial)
        m_deviceSerial = deviceSerial;
}

void Transaction::setCardUid(const QString &cardUid)
{
    if (m_cardUid != cardUid)
        m_cardUid = cardUid;
}

void Transaction::setUuid(const QString &uuid)
{
    if (m_uuid != uuid)
        m_uuid = uuid;
}

void Transaction::setKelvoDbId(const QString &kelvoDbId)
{
    if (m_kelvoDbId != kelvoDbId)
        m_kelvoDbId = kelvoDbId;
}

void Transaction::setErrorDetails(const QString &errorDetails)
{
    if (m_errorDetails != errorDetails)
        m_errorDetails = errorDetails;
}

QString Transaction::typeToStr(Type type)
{
    return TransactionTypes.value(type);
}

Transaction::Type Transaction::strToType(const QString &text)
{
    for (auto it = TransactionTypes.cbegin(); it != TransactionTypes.cend(); ++it) {
        if (it.value().compare(text, Qt::CaseInsensitive) == 0)
            return it.key();
    }
    return Issuance;
}

QString Transaction::toString() const
{
    return QStringLiteral("%1 (type=%2, cardUid=%3, created=%4)")
        .arg(m_uuid, typeToStr(m_type), m_cardUid, m_timestamp.toString(Qt::ISODate));
}

QJsonObject Transaction::toJson() const
{
    return QJsonObject{
        {QStringLiteral("type"), typeToStr(m_type)},
        {QStringLiteral("timestamp"), m_timestamp.toString(Qt::ISODate)},
        {QStringLiteral("deviceSerial"), m_deviceSerial},
        {QStringLiteral("cardUid"), m_cardUid},
        {QStringLiteral("transactionUid"), m_uuid},
        {QStringLiteral("kelvoDbRecordId"), m_kelvoDbId},
        {QStringLiteral("errorDetails"), m_errorDetails},
    };
}

QString Transaction::createUid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

Transaction::Ptr Transaction::create(Type type, QString deviceSerial, const QString &cardUid,
                                     const QString &errorDetails)
{
    Ptr transaction = Ptr::create();
    transaction->setType(type);
    transaction->setUuid(createUid());
    transaction->setTimestamp(QDateTime::currentDateTime());
    transaction->setDeviceSerial(deviceSerial);
    transaction->setCardUid(cardUid);
    transaction->setErrorDetails(errorDetails);
    transaction->setKelvoDbId(QStringLiteral("0"));
    transaction->sendDetails().sendStatus = QStringLiteral("PENDING");
    return transaction;
}

} // namespace Backend
