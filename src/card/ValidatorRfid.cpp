#include "card/ValidatorRfid.h"

#include <QHash>

#include "app/JsonRead.h"
#include "app/PropertySetter.h"

ValidatorRfid::ValidatorRfid(QObject *parent)
    : QObject(parent)
{
}

ValidatorRfid::~ValidatorRfid() = default;

QString ValidatorRfid::mapState(int number)
{
    static const QHash<int, QString> names = {
        {0, QStringLiteral("Init")},      {1, QStringLiteral("Idle")},     {2, QStringLiteral("Searching")},
        {3, QStringLiteral("CardFound")}, {4, QStringLiteral("Updating")}, {5, QStringLiteral("Error")},
    };
    return names.value(number, QStringLiteral("Unknown"));
}

ValidatorRfid *ValidatorRfid::fromJson(const QJsonObject &json)
{
    if (json.contains(QLatin1String("firmware")))
        parseInfo(json);
    if (json.contains(QLatin1String("state")))
        parseStatus(json);
    return this;
}

void ValidatorRfid::parseInfo(const QJsonObject &json)
{
    setFirmware(JsonRead::text(json.value("firmware")));
    setModel(JsonRead::text(json.value("model")));
    setManufacturer(JsonRead::text(json.value("manufacturer")));
    setDeviceUid(JsonRead::text(json.value("uid")));
}

void ValidatorRfid::parseStatus(const QJsonObject &json)
{
    setActive(JsonRead::isTrue(json.value("active")));
    setError(JsonRead::text(json.value("error")));
    setState(mapState(JsonRead::integer(json.value("state"))));
    setSlots(JsonRead::array(json.value("slots")));
    setSams(JsonRead::array(json.value("sams")));
}

bool ValidatorRfid::enabled() const
{
    return m_state == QLatin1String("Searching") || m_state == QLatin1String("CardFound");
}

SAM *ValidatorRfid::sam() const
{
    return m_sams.isEmpty() ? nullptr : m_sams.first();
}

void ValidatorRfid::setActive(bool active)
{
    PropertySetter::set(this, m_active, active, &ValidatorRfid::activeChanged);
}

void ValidatorRfid::setFirmware(const QString &firmware)
{
    PropertySetter::set(this, m_firmware, firmware, &ValidatorRfid::firmwareChanged);
}

void ValidatorRfid::setVersion(const QString &version)
{
    PropertySetter::set(this, m_version, version, &ValidatorRfid::versionChanged);
}

void ValidatorRfid::setManufacturer(const QString &manufacturer)
{
    PropertySetter::set(this, m_manufacturer, manufacturer, &ValidatorRfid::manufacturerChanged);
}

void ValidatorRfid::setModel(const QString &model)
{
    PropertySetter::set(this, m_model, model, &ValidatorRfid::modelChanged);
}

void ValidatorRfid::setDeviceUid(const QString &uid)
{
    PropertySetter::set(this, m_deviceUid, uid, &ValidatorRfid::deviceUidChanged);
}

void ValidatorRfid::setError(const QString &error)
{
    PropertySetter::set(this, m_error, error, &ValidatorRfid::errorChanged);
}

void ValidatorRfid::setState(const QString &state)
{
    if (PropertySetter::set(this, m_state, state, &ValidatorRfid::stateChanged))
        emit enabledChanged();
}

void ValidatorRfid::setSlots(const QJsonArray &flags)
{
    const int before = m_slots.size();
    m_slots.clear();
    for (const QJsonValue &flag : flags)
        m_slots.append(JsonRead::isTrue(flag));
    if (m_slots.size() != before)
        emit numberOfSlotsChanged();
}

void ValidatorRfid::setSams(const QJsonArray &sams)
{
    for (SAM *old : qAsConst(m_sams))
        old->deleteLater();
    m_sams.clear();
    for (const QJsonValue &entry : sams)
        m_sams.append(new SAM(JsonRead::object(entry), this));
    emit samChanged();
}
