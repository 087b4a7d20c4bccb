#include "card/SAM.h"

#include "app/JsonRead.h"
#include "app/PropertySetter.h"

SAM::SAM(QObject *parent)
    : QObject(parent)
{
}

SAM::SAM(const QJsonObject &json, QObject *parent)
    : QObject(parent)
{
    fromJson(json);
}

SAM::~SAM() = default;

SAM *SAM::fromJson(const QJsonObject &json)
{
    PropertySetter::set(this, m_slot, JsonRead::integer(json.value("slot")), &SAM::slotChanged);
    PropertySetter::set(this, m_enabled, JsonRead::isTrue(json.value("enabled")), &SAM::enabledChanged);
    PropertySetter::set(this, m_unlocked, JsonRead::isTrue(json.value("unlocked")), &SAM::unlockedChanged);
    PropertySetter::set(this, m_atr, JsonRead::text(json.value("atr")), &SAM::atrChanged);
    PropertySetter::set(this, m_batch, JsonRead::text(json.value("batch")), &SAM::batchChanged);
    PropertySetter::set(this, m_mode, JsonRead::text(json.value("mode")), &SAM::modeChanged);
    PropertySetter::set(this, m_name, JsonRead::text(json.value("name")), &SAM::nameChanged);
    PropertySetter::set(this, m_production,
                        QDate::fromString(JsonRead::text(json.value("production")), QStringLiteral("yyyy-MM-dd")),
                        &SAM::productionChanged);
    PropertySetter::set(this, m_uid, JsonRead::text(json.value("uid")), &SAM::uidChanged);
    PropertySetter::set(this, m_vendor, JsonRead::text(json.value("vendor")), &SAM::vendorChanged);
    PropertySetter::set(this, m_version, JsonRead::text(json.value("version")), &SAM::versionChanged);
    return this;
}
