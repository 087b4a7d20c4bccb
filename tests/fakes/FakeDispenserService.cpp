#include "fakes/FakeDispenserService.h"

FakeDispenserService::FakeDispenserService(const QString &base, QObject *parent)
    : FakeService(base, QStringLiteral("fake-dispenser"), parent)
{
}

void FakeDispenserService::started()
{
    publishInfo();
    publishStatus();
}

void FakeDispenserService::setModel(const QString &model)
{
    m_model = model;
    publishInfo();
}

void FakeDispenserService::publishInfo()
{
    publish(QStringLiteral("/info"), QJsonObject{
                                         {QStringLiteral("device"), QJsonObject{
                                                                        {QStringLiteral("manufacturer"), m_manufacturer},
                                                                        {QStringLiteral("model"), m_model},
                                                                        {QStringLiteral("firmware"), m_firmware},
                                                                    }},
                                         {QStringLiteral("service"), QJsonObject{{QStringLiteral("version"), m_version}}},
                                     }, true);
}

void FakeDispenserService::setStatusFrozen(bool frozen)
{
    m_statusFrozen = frozen;
    publishStatus();
}

void FakeDispenserService::publishStatus()
{
    if (m_statusFrozen)
        return;
    if (!m_online) {
        publish(QStringLiteral("/status"), QJsonObject{{QStringLiteral("service"), false}}, true);
        return;
    }
    const int percent = m_capacity > 0 ? m_stack.size() * 100 / m_capacity : 0;
    publish(QStringLiteral("/status"), QJsonObject{
                                           {QStringLiteral("service"), true},
                                           {QStringLiteral("device"), QJsonObject{
                                                                          {QStringLiteral("active"), m_active},
                                                                          {QStringLiteral("isJammed"), m_jammed},
                                                                          {QStringLiteral("isCartridgeDoorOpen"), m_doorOpen},
                                                                          {QStringLiteral("cardInMouth"), !m_mouth.isNull()},
                                                                          {QStringLiteral("cardInRfid"), !m_rfid.isNull()},
                                                                          {QStringLiteral("cartridge"), cartridgeText()},
                                                                          {QStringLiteral("cartridgePercent"), percent},
                                                                      }},
                                       }, true);
}

void FakeDispenserService::loadCartridge(int count, int capacity)
{
    QList<FakeCard::Ptr> cards;
    for (int i = 1; i <= count; ++i)
        cards.append(FakeCard::blank(QStringLiteral("C%1").arg(i, 4, 10, QLatin1Char('0'))));
    loadCartridge(cards, capacity);
}

void FakeDispenserService::loadCartridge(const QList<FakeCard::Ptr> &cards, int capacity)
{
    m_stack = cards;
    m_capacity = capacity;
    publishStatus();
}

QString FakeDispenserService::cartridgeText() const
{
    if (m_stack.isEmpty())
        return QStringLiteral("empty");
    if (m_stack.size() * 10 <= m_capacity)
        return QStringLiteral("reserve");
    if (m_stack.size() >= m_capacity)
        return QStringLiteral("full");
    return QStringLiteral("normal");
}

void FakeDispenserService::placeInRfid(const FakeCard::Ptr &card)
{
    setRfid(card);
    publishStatus();
}

void FakeDispenserService::placeInMouth(const FakeCard::Ptr &card)
{
    m_mouth = card;
    publishStatus();
}

bool FakeDispenserService::driverTakeCard()
{
    if (!m_mouth)
        return false;
    m_mouth.clear();
    publish(QStringLiteral("/card/removed"), QJsonObject{});
    publishStatus();
    return true;
}

bool FakeDispenserService::driverInsertCard(const FakeCard::Ptr &card)
{
    if (!card || !m_acceptEnabled || m_mouth || m_rfid || !m_active || m_jammed || !m_online)
        return false;
    setRfid(card);
    publishStatus();
    publish(QStringLiteral("/card/inserted"), QJsonObject{});
    return true;
}

void FakeDispenserService::setJammed(bool jammed)
{
    m_jammed = jammed;
    publishStatus();
}

void FakeDispenserService::setDoorOpen(bool open)
{
    m_doorOpen = open;
    publishStatus();
}

void FakeDispenserService::setActive(bool active)
{
    m_active = active;
    publishStatus();
}

void FakeDispenserService::setServiceOnline(bool online)
{
    m_online = online;
    publishStatus();
}

void FakeDispenserService::setRfid(const FakeCard::Ptr &card)
{
    if (card == m_rfid)
        return;
    m_rfid = card;
    emit rfidCardChanged(m_rfid);
}

bool FakeDispenserService::refuseIfFaulty(const Request &request)
{
    if (!m_active) {
        replyRefused(request, 7, QStringLiteral("Dispenser not active"));
    } else if (m_jammed) {
        replyRefused(request, 5, QStringLiteral("Card jam"));
    } else if (m_doorOpen) {
        replyRefused(request, 6, QStringLiteral("Cartridge door open"));
    } else {
        return false;
    }
    return true;
}

// Reply, then the status that shows the move (or the other way round when
// scripted so).
void FakeDispenserService::completeAndReport(const Request &request)
{
    if (m_statusFirst || m_statusFirstFor.contains(request.command)) {
        publishStatus();
        replyCompleted(request);
    } else {
        replyCompleted(request);
        publishStatus();
    }
}

void FakeDispenserService::handle(const Request &request)
{
    if (!m_online)
        return; // a service that is down answers nothing
    const QString &command = request.command;

    if (command == QLatin1String("accept/enable")) {
        m_acceptEnabled = true;
        replyCompleted(request);
        return;
    }
    if (command == QLatin1String("accept/disable")) {
        m_acceptEnabled = false;
        replyCompleted(request);
        return;
    }
    if (command == m_jamOn) {
        m_jamOn.clear();
        m_jammed = true;
        replyRefused(request, 5, QStringLiteral("Card jam"));
        publishStatus();
        return;
    }
    if (refuseIfFaulty(request))
        return;

    if (command == QLatin1String("issue")) {
        if (m_rfid)
            return replyRefused(request, 14, QStringLiteral("Card already in RFID position"));
        if (m_stack.isEmpty())
            return replyRefused(request, 3, QStringLiteral("Cartridge empty"));
        setRfid(m_stack.takeFirst());
        completeAndReport(request);
    } else if (command == QLatin1String("eject")) {
        if (!m_rfid)
            return replyRefused(request, 10, QStringLiteral("No card in RFID position"));
        if (m_mouth)
            return replyRefused(request, 12, QStringLiteral("Mouth occupied"));
        m_mouth = m_rfid;
        setRfid({});
        completeAndReport(request);
    } else if (command == QLatin1String("accept")) {
        if (!m_mouth)
            return replyRefused(request, 11, QStringLiteral("No card in mouth"));
        if (m_rfid)
            return replyRefused(request, 14, QStringLiteral("Card already in RFID position"));
        setRfid(m_mouth);
        m_mouth.clear();
        completeAndReport(request);
    } else if (command == QLatin1String("dispose") || command == QLatin1String("collect")) {
        // dispose bins the card at the RFID position; collect the one in the mouth.
        const bool fromMouth = command == QLatin1String("collect");
        FakeCard::Ptr card = fromMouth ? m_mouth : m_rfid;
        if (!card)
            return replyRefused(request, fromMouth ? 11 : 10,
                                fromMouth ? QStringLiteral("No card in mouth") : QStringLiteral("No card in RFID position"));
        if (fromMouth)
            m_mouth.clear();
        else
            setRfid({});
        m_bin.append(card);
        const QJsonObject report{{QStringLiteral("uid"), card->uid}};
        if (m_disposedFirst) {
            if (m_disposalReported)
                publish(QStringLiteral("/card/disposed"), report);
            completeAndReport(request);
        } else {
            replyCompleted(request);
            if (m_disposalReported)
                publish(QStringLiteral("/card/disposed"), report);
            publishStatus();
        }
    } else {
        replyRefused(request, 1, QStringLiteral("Unknown command"));
    }
}
