#include "terminal/Session.h"

#include "app/PropertySetter.h"

#include <QMap>

Session::Session(QObject *parent)
    : QObject(parent)
    , m_readings(emptyReadings())
{
    // Queued listeners and signal spies need the enumeration by name.
    qRegisterMetaType<Session::State>("Session::State");
}

QVariantMap Session::emptyReadings()
{
    return QVariantMap{{QStringLiteral("Front"), QString()}, {QStringLiteral("Rear"), QString()}};
}

QString Session::stateToStr(State state)
{
    static const QMap<int, QString> names{
        {Stopped, QStringLiteral("Stopped")},
        {Idle, QStringLiteral("Idle")},
        {DataCollect, QStringLiteral("DataCollect")},
        {WaitUser, QStringLiteral("WaitUser")},
        {Permission, QStringLiteral("Permission")},
        {CardProcess, QStringLiteral("CardProcess")},
        {WaitCollect, QStringLiteral("WaitCollect")},
        {Exit, QStringLiteral("Exit")},
        {PostExit, QStringLiteral("PostExit")},
        {Error, QStringLiteral("Error")},
    };
    return names.value(int(state), QStringLiteral("Unknown"));
}

void Session::setState(State state)
{
    if (state == m_state)
        return;
    const State prev = m_state;
    m_state = state;
    emit stateChanged(prev, state);
}

void Session::setResult(bool result) { PropertySetter::set(this, m_result, result, &Session::resultChanged); }
void Session::setError(const QString &error) { PropertySetter::set(this, m_error, error, &Session::errorChanged); }
void Session::setStart(const QDateTime &start) { PropertySetter::set(this, m_start, start, &Session::startChanged); }
void Session::setEnd(const QDateTime &end) { PropertySetter::set(this, m_end, end, &Session::endChanged); }
void Session::setUuid(const QString &uuid) { PropertySetter::set(this, m_uuid, uuid, &Session::uuidChanged); }
void Session::setType(const QString &type) { PropertySetter::set(this, m_type, type, &Session::typeChanged); }

void Session::setDeviceId(const QString &deviceId)
{
    PropertySetter::set(this, m_deviceId, deviceId, &Session::deviceIdChanged);
}

void Session::setCustomsId(const QString &customsId)
{
    PropertySetter::set(this, m_customsId, customsId, &Session::customsIdChanged);
}

void Session::setLocationId(const QString &locationId)
{
    PropertySetter::set(this, m_locationId, locationId, &Session::locationIdChanged);
}

void Session::setReadings(const QVariantMap &readings)
{
    PropertySetter::set(this, m_readings, readings, &Session::readingsChanged);
}

void Session::setCardId(const QString &cardId) { PropertySetter::set(this, m_cardId, cardId, &Session::cardIdChanged); }

void Session::setCard(const QSharedPointer<RUDIv1Card> &card)
{
    m_card = card;
}

void Session::setCardReturned(bool cardReturned)
{
    PropertySetter::set(this, m_cardReturned, cardReturned, &Session::cardReturnedChanged);
}

void Session::setButtonPressed(bool buttonPressed)
{
    PropertySetter::set(this, m_buttonPressed, buttonPressed, &Session::buttonPressedChanged);
}
