#include "card/RFID.h"

#include "app/JsonRead.h"
#include "app/LogQuote.h"
#include "app/PropertySetter.h"
#include "card/RUDIv1Card.h"

#include <QDebug>
#include <QMap>
#include <QPointer>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[RFID] ");
const int CommandTimeoutMs = 3000;
} // namespace

RFID::RFID(MqttClient &mqtt, const QString &base, QObject *parent)
    : MqttDevice(mqtt, base, Tag_, parent)
{
    qRegisterMetaType<Tag::Ptr>();
    qRegisterMetaType<Card::Ptr>();

    // An empty payload is no document here, and a zero byte makes it invalid.
    setParsing(Parsing{false, false});
    route(QStringLiteral("/info"), [this](const QJsonObject &doc) { onInfo(doc); });
    routeStatus(QStringLiteral("/status"), [this](const QJsonObject &doc) { onStatus(doc); }, [this] { onOffline(); });
    routeEvent(QStringLiteral("/card/found"), [this](const QJsonObject &doc) { onCardFound(doc); });
    routeEvent(QStringLiteral("/card/removed"), [this](const QJsonObject &) { onCardRemoved(); });
    routeEvent(QStringLiteral("/card/autoread"), [this](const QJsonObject &doc) { onAutoread(doc); });
    subscribeTo(QStringLiteral("/#"));
}

RFID::~RFID() = default;

bool RFID::active() const
{
    return m_state == Idle || m_state == Searching || m_state == CardFound;
}

QString RFID::stateToStr(State state)
{
    static const QMap<int, QString> names{
        {Init, QStringLiteral("Init")},
        {Idle, QStringLiteral("Idle")},
        {Searching, QStringLiteral("Searching")},
        {CardFound, QStringLiteral("CardFound")},
        {Updating, QStringLiteral("Updating")},
        {Error, QStringLiteral("Error")},
    };
    return names.value(state, QStringLiteral("Unknown"));
}

Tag::Ptr RFID::cardFactory(const QJsonObject &object)
{
    if (JsonRead::text(object.value(QStringLiteral("template"))) == RUDIv1Card::Name)
        return RUDIv1Card::fromJson(object);
    return {};
}

QString RFID::uidOf(const Tag::Ptr &card)
{
    return card ? card->uid() : QStringLiteral("<none>");
}

Deferred<RFID::Result> RFID::enable(bool autoread)
{
    return command(QStringLiteral("/enable"), QJsonObject{{QStringLiteral("autoread"), autoread}});
}

Deferred<RFID::Result> RFID::disable()
{
    return command(QStringLiteral("/disable"), QJsonObject{});
}

Deferred<RFID::Result> RFID::createCard(const QString &templateName)
{
    return command(QStringLiteral("/card/create"), QJsonObject{{QStringLiteral("template"), templateName}});
}

Deferred<RFID::Result> RFID::readCard(const QString &templateName, int usageLogs)
{
    return command(QStringLiteral("/card/read"), QJsonObject{
                                                     {QStringLiteral("template"), templateName},
                                                     {QStringLiteral("usageLogs"), usageLogs},
                                                     {QStringLiteral("topupLogs"), 0},
                                                 });
}

Deferred<RFID::Result> RFID::writeCard(Card::Ptr card)
{
    QJsonObject request;
    if (card) {
        request = QJsonObject{
            {QStringLiteral("uid"), card->uid()},
            {QStringLiteral("type"), int(card->type())},
            {QStringLiteral("template"), card->name()},
            {QStringLiteral("data"), card->data()},
        };
    } else {
        // Nothing to write: refuse here rather than send a card of nothing.
        Deferred<Result> result;
        result.reject(Result{Tag::Ptr(), QStringLiteral("No card to write")});
        return result;
    }
    return command(QStringLiteral("/card/write"), request);
}

Deferred<RFID::Result> RFID::command(const QString &suffix, const QJsonObject &request)
{
    Deferred<Result> result;
    QPointer<RFID> self(this);
    call(suffix, request, CommandTimeoutMs)
        .done([self, result](QJsonValue reply) {
            const QJsonObject object = reply.toObject();
            if (!JsonRead::isTrue(object.value(QStringLiteral("completed")))) {
                const QJsonObject error = JsonRead::object(object.value(QStringLiteral("error")));
                result.reject(Result{Tag::Ptr(), JsonRead::text(error.value(QStringLiteral("what"))), true});
                return;
            }
            const Tag::Ptr card = cardFactory(JsonRead::object(object.value(QStringLiteral("data"))));
            if (self)
                self->setActiveCard(card);
            result.resolve(Result{card, QString(), true});
        })
        .fail([result](QJsonValue error) {
            result.reject(Result{Tag::Ptr(), error.toString()});
        });
    return result;
}

Deferred<RFID::Result> RFID::waitCardFound(int msec)
{
    Deferred<Result> result;
    // A card reported while the field is on is the card, also when its
    // report came before the status that says so. Without one (a reply
    // without a card cleared it) wait for the reader to report it.
    if ((m_state == CardFound || m_state == Searching) && m_activeCard) {
        result.resolve(Result{m_activeCard, QString()});
        return result;
    }
    if (m_state == Searching || m_state == CardFound)
        return waitNextCardFound(msec);
    result.reject(Result{Tag::Ptr(), QStringLiteral("RF is disabled")});
    return result;
}

Deferred<RFID::Result> RFID::waitNextCardFound(int msec)
{
    Deferred<Result> result;
    QPointer<RFID> self(this);
    nextEmission(&RFID::cardFound, msec)
        .done([self, result](QString) {
            // The card-found dispatch has just made the reported tag the active card.
            const Tag::Ptr card = self ? self->m_activeCard : Tag::Ptr();
            if (card)
                result.resolve(Result{card, QString()});
            else
                result.reject(Result{Tag::Ptr(), QStringLiteral("No card")});
        })
        .fail([result](QString error) { result.reject(Result{Tag::Ptr(), error}); });
    return result;
}

bool RFID::beepValid()
{
    return publishTo(QStringLiteral("/beep/valid"), QByteArray());
}

bool RFID::beepInvalid()
{
    return publishTo(QStringLiteral("/beep/invalid"), QByteArray());
}

void RFID::logParseError(const QString &topic, const QByteArray &payload, const QString &error) const
{
    Q_UNUSED(topic)
    Q_UNUSED(error)
    qCritical().noquote() << Tag_ + QStringLiteral("Failed to parse JSON message: ") + LogQuote::quote(payload);
}

void RFID::onInfo(const QJsonObject &doc)
{
    const QJsonObject device = readObject(doc, QStringLiteral("device"), QStringLiteral("device"));
    setUid(readText(device, QStringLiteral("uid"), QStringLiteral("device.uid")));
    setFirmware(readText(device, QStringLiteral("firmware"), QStringLiteral("device.firmware")));
    setManufacturer(readText(device, QStringLiteral("manufacturer"), QStringLiteral("device.manufacturer")));
    setModel(readText(device, QStringLiteral("model"), QStringLiteral("device.model")));
    const QJsonObject service = readObject(doc, QStringLiteral("service"), QStringLiteral("service"));
    setSoftware(readText(service, QStringLiteral("version"), QStringLiteral("service.version")));
}

void RFID::onStatus(const QJsonObject &doc)
{
    const QJsonObject device = readObject(doc, QStringLiteral("device"), QStringLiteral("device"));
    setState(State(readInt(device, QStringLiteral("state"), QStringLiteral("device.state"))));
    setError(readText(device, QStringLiteral("error"), QStringLiteral("device.error")));
    if (m_state == Idle && m_activeCard) {
        qWarning().noquote() << Tag_ + QStringLiteral("WARN: RF disabled. Clearing active card");
        setActiveCard({});
    }
}

void RFID::onOffline()
{
    setState(Error);
    setError(QStringLiteral("Service is offline"));
}

void RFID::onCardFound(const QJsonObject &doc)
{
    setActiveCard(Tag::fromJson(doc));
    emit cardFound(m_activeCard);
}

void RFID::onCardRemoved()
{
    emit cardRemoved(m_activeCard);
    setActiveCard({});
}

void RFID::onAutoread(const QJsonObject &doc)
{
    if (doc.contains(QStringLiteral("error"))) {
        const QJsonObject error = JsonRead::object(doc.value(QStringLiteral("error")));
        emit cardAutoreadFailed(JsonRead::text(error.value(QStringLiteral("what"))));
        return;
    }
    setActiveCard(cardFactory(doc));
    emit cardAutoread(Card::fromTag(m_activeCard));
}

void RFID::setActiveCard(Tag::Ptr card)
{
    if (card == m_activeCard)
        return;
    qInfo().noquote() << Tag_ + QStringLiteral("Active tag changed : old=%1 new=%2")
                                        .arg(LogQuote::quote(uidOf(m_activeCard)), LogQuote::quote(uidOf(card)));
    m_activeCard = card;
    emit activeCardChanged();
}

void RFID::setUid(const QString &uid)
{
    PropertySetter::set(this, m_uid, uid, &RFID::uidChanged);
}

void RFID::setManufacturer(const QString &manufacturer)
{
    PropertySetter::set(this, m_manufacturer, manufacturer, &RFID::manufacturerChanged);
}

void RFID::setModel(const QString &model)
{
    PropertySetter::set(this, m_model, model, &RFID::modelChanged);
}

void RFID::setFirmware(const QString &firmware)
{
    PropertySetter::set(this, m_firmware, firmware, &RFID::firmwareChanged);
}

void RFID::setSoftware(const QString &software)
{
    PropertySetter::set(this, m_software, software, &RFID::softwareChanged);
}

void RFID::setError(const QString &error)
{
    PropertySetter::set(this, m_error, error, &RFID::errorChanged);
}

void RFID::setState(State state)
{
    PropertySetter::set(this, m_state, state, &RFID::stateChanged, [&] {
        qInfo().noquote() << Tag_ + QStringLiteral("State changed : ") + stateToStr(state);
    });
}

} // namespace manager
