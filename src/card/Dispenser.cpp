#include "card/Dispenser.h"

#include "app/JsonRead.h"
#include "app/LogQuote.h"
#include "app/PropertySetter.h"

#include <QDebug>
#include <QJsonDocument>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[Dispenser] ");
const int CommandTimeoutMs = 30000;

QString flag(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

Dispenser::Dispenser(MqttClient &mqtt, const QString &base, QObject *parent)
    : MqttDevice(mqtt, base, Tag_, parent)
{
    Parsing parsing;
    parsing.decodeText = true;
    setParsing(parsing);
    route(QStringLiteral("/info"), [this](const QJsonObject &doc) { onInfo(doc); });
    routeStatus(QStringLiteral("/status"), [this](const QJsonObject &doc) { onStatus(doc); },
                [this] { setActive(false); });
    routeEvent(QStringLiteral("/card/inserted"), [this](const QJsonObject &) { emit cardInserted(); });
    routeEvent(QStringLiteral("/card/removed"), [this](const QJsonObject &) { emit cardRemoved(); });
    routeEvent(QStringLiteral("/card/disposed"), [this](const QJsonObject &) { emit cardDisposed(); });
    for (const char *suffix : {"/info", "/status", "/card/inserted", "/card/removed", "/card/disposed"})
        subscribeTo(QString::fromLatin1(suffix));
}

Dispenser::~Dispenser() = default;

Deferred<Dispenser::Result> Dispenser::accept() { return command(QStringLiteral("/accept")); }
Deferred<Dispenser::Result> Dispenser::issue() { return command(QStringLiteral("/issue")); }
Deferred<Dispenser::Result> Dispenser::dispose() { return command(QStringLiteral("/dispose")); }
Deferred<Dispenser::Result> Dispenser::eject() { return command(QStringLiteral("/eject")); }
Deferred<Dispenser::Result> Dispenser::collect() { return command(QStringLiteral("/collect")); }
Deferred<Dispenser::Result> Dispenser::enableAccept() { return command(QStringLiteral("/accept/enable")); }
Deferred<Dispenser::Result> Dispenser::disableAccept() { return command(QStringLiteral("/accept/disable")); }

Deferred<Dispenser::Result> Dispenser::command(const QString &suffix)
{
    Deferred<Result> result;
    call(suffix, QJsonObject{}, CommandTimeoutMs)
        .done([result](QJsonValue reply) {
            const QJsonObject object = reply.toObject();
            if (JsonRead::isTrue(object.value(QStringLiteral("completed")))) {
                result.resolve(Result{0, QString()});
                return;
            }
            const QJsonObject error = JsonRead::object(object.value(QStringLiteral("error")));
            result.reject(Result{JsonRead::integer(error.value(QStringLiteral("code"))),
                                 JsonRead::text(error.value(QStringLiteral("description")))});
        })
        .fail([result](QJsonValue error) {
            result.reject(Result{-1, error.toString()});
        });
    return result;
}

Deferred<Dispenser::Result> Dispenser::waitCollect(int sec)
{
    Deferred<Result> result;
    // Any message on the topic: the card is gone even when the service's note of it
    // does not parse.
    nextMessage(QStringLiteral("/card/removed"), qMax(0, sec) * 1000)
        .done([result](QString) { result.resolve(Result{0, QString()}); })
        .fail([result](QString error) { result.reject(Result{-1, error}); });
    return result;
}

bool Dispenser::setLEDs(quint8 leds)
{
    const QJsonObject doc{
        {QStringLiteral("red"), bool(leds & 0x1)},
        {QStringLiteral("green"), bool(leds & 0x2)},
    };
    return publishTo(QStringLiteral("/led/set"), QJsonDocument(doc).toJson(QJsonDocument::Indented));
}

void Dispenser::logParseError(const QString &topic, const QByteArray &payload, const QString &error) const
{
    Q_UNUSED(error)
    QByteArray text = payload;
    const int zero = text.indexOf('\0');
    if (zero >= 0)
        text.truncate(zero);
    qCritical().noquote() << Tag_ + QStringLiteral("ERROR: Failed to parse JSON message (topic=%1) :%2 )")
                                        .arg(LogQuote::quote(topic), LogQuote::quote(text));
}

void Dispenser::onInfo(const QJsonObject &doc)
{
    const QJsonObject device = readObject(doc, QStringLiteral("device"), QStringLiteral("device"));
    setFirmware(readText(device, QStringLiteral("firmware"), QStringLiteral("device.firmware")));
    setManufacturer(readText(device, QStringLiteral("manufacturer"), QStringLiteral("device.manufacturer")));
    setModel(readText(device, QStringLiteral("model"), QStringLiteral("device.model")));
    const QJsonObject service = readObject(doc, QStringLiteral("service"), QStringLiteral("service"));
    setSoftware(readText(service, QStringLiteral("version"), QStringLiteral("service.version")));
}

void Dispenser::onStatus(const QJsonObject &doc)
{
    const QJsonObject device = readObject(doc, QStringLiteral("device"), QStringLiteral("device"));
    setActive(readFlag(device, QStringLiteral("active"), QStringLiteral("device.active")));
    setIsJammed(readFlag(device, QStringLiteral("isJammed"), QStringLiteral("device.isJammed")));
    setIsDoorOpen(readFlag(device, QStringLiteral("isCartridgeDoorOpen"), QStringLiteral("device.isCartridgeDoorOpen")));
    setCardInMouth(readFlag(device, QStringLiteral("cardInMouth"), QStringLiteral("device.cardInMouth")));
    setCardInRfid(readFlag(device, QStringLiteral("cardInRfid"), QStringLiteral("device.cardInRfid")));
    setCartridge(readText(device, QStringLiteral("cartridge"), QStringLiteral("device.cartridge")));
    setCartridgePercent(readInt(device, QStringLiteral("cartridgePercent"), QStringLiteral("device.cartridgePercent")));
}

void Dispenser::setManufacturer(const QString &manufacturer)
{
    PropertySetter::set(this, m_manufacturer, manufacturer, &Dispenser::manufacturerChanged);
}

void Dispenser::setModel(const QString &model)
{
    PropertySetter::set(this, m_model, model, &Dispenser::modelChanged);
}

void Dispenser::setFirmware(const QString &firmware)
{
    PropertySetter::set(this, m_firmware, firmware, &Dispenser::firmwareChanged);
}

void Dispenser::setSoftware(const QString &software)
{
    PropertySetter::set(this, m_software, software, &Dispenser::softwareChanged);
}

void Dispenser::setActive(bool active)
{
    PropertySetter::set(this, m_active, active, &Dispenser::activeChanged, [&] {
        qInfo().noquote() << Tag_ + QStringLiteral("Active changed : ") + flag(active);
    });
}

void Dispenser::setIsJammed(bool isJammed)
{
    PropertySetter::set(this, m_isJammed, isJammed, &Dispenser::isJammedChanged, [&] {
        qInfo().noquote() << Tag_ + QStringLiteral("Jammed changed : ") + flag(isJammed);
    });
}

void Dispenser::setIsDoorOpen(bool isDoorOpen)
{
    PropertySetter::set(this, m_isDoorOpen, isDoorOpen, &Dispenser::isDoorOpenChanged, [&] {
        qInfo().noquote() << Tag_ + QStringLiteral("Door state changed : ")
                                 + (isDoorOpen ? QStringLiteral("Open") : QStringLiteral("Closed"));
    });
}

void Dispenser::setCardInMouth(bool cardInMouth)
{
    PropertySetter::set(this, m_cardInMouth, cardInMouth, &Dispenser::cardInMouthChanged);
}

void Dispenser::setCardInRfid(bool cardInRfid)
{
    PropertySetter::set(this, m_cardInRfid, cardInRfid, &Dispenser::cardInRfidChanged);
}

void Dispenser::setCartridge(const QString &cartridge)
{
    PropertySetter::set(this, m_cartridge, cartridge, &Dispenser::cartridgeChanged);
}

void Dispenser::setCartridgePercent(int cartridgePercent)
{
    PropertySetter::set(this, m_cartridgePercent, cartridgePercent, &Dispenser::cartridgePercentChanged);
}

} // namespace manager
