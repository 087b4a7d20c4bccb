#include "fakes/FakeRfidService.h"

#include "fakes/FakeDispenserService.h"

#include <QJsonArray>
#include <QTimer>

FakeRfidService::FakeRfidService(const QString &base, QObject *parent)
    : FakeService(base, QStringLiteral("fake-rfid"), parent)
    , m_detectTimer(new QTimer(this))
{
    m_detectTimer->setSingleShot(true);
    connect(m_detectTimer, &QTimer::timeout, this, &FakeRfidService::detect);
}

void FakeRfidService::started()
{
    publishInfo();
    publishStatus();
}

void FakeRfidService::attach(FakeDispenserService *dispenser)
{
    connect(dispenser, &FakeDispenserService::rfidCardChanged, this, &FakeRfidService::setCardInField,
            Qt::UniqueConnection);
    setCardInField(dispenser->cardInRfid());
}

void FakeRfidService::setCardInField(const FakeCard::Ptr &card)
{
    if (card == m_field)
        return;
    m_field = card;
    if (m_found && m_found != m_field) {
        publish(QStringLiteral("/card/removed"), QJsonObject{{QStringLiteral("uid"), m_found->uid}});
        m_found.clear();
        if (m_state == CardFound) {
            m_state = Searching;
            publishStatus();
        }
    }
    if (m_state == Searching)
        detectSoon();
}

void FakeRfidService::setState(State state, const QString &error)
{
    m_state = state;
    m_error = error;
    if (state != Searching && state != CardFound) {
        m_detectTimer->stop();
        m_found.clear();
    }
    publishStatus();
}

void FakeRfidService::setServiceOnline(bool online)
{
    m_online = online;
    publishStatus();
}

void FakeRfidService::publishInfo()
{
    publish(QStringLiteral("/info"), QJsonObject{
                                         {QStringLiteral("device"), QJsonObject{
                                                                        {QStringLiteral("uid"), QStringLiteral("RDR-0001")},
                                                                        {QStringLiteral("manufacturer"), QStringLiteral("Fake Readers")},
                                                                        {QStringLiteral("model"), QStringLiteral("FR-100")},
                                                                        {QStringLiteral("firmware"), QStringLiteral("2.1")},
                                                                    }},
                                         {QStringLiteral("service"), QJsonObject{{QStringLiteral("version"), QStringLiteral("3.0.0")}}},
                                     }, true);
}

void FakeRfidService::publishStatus()
{
    if (!m_online) {
        publish(QStringLiteral("/status"), QJsonObject{{QStringLiteral("service"), false}}, true);
        return;
    }
    publish(QStringLiteral("/status"), QJsonObject{
                                           {QStringLiteral("service"), true},
                                           {QStringLiteral("device"), QJsonObject{
                                                                          {QStringLiteral("state"), int(m_state)},
                                                                          {QStringLiteral("error"), m_error.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(m_error)},
                                                                      }},
                                       }, true);
}

void FakeRfidService::detectSoon()
{
    if (m_field && m_field->detectable && !m_found)
        m_detectTimer->start(m_detectDelay);
}

void FakeRfidService::detect()
{
    if (m_state != Searching || !m_field || !m_field->detectable)
        return;
    m_found = m_field;
    publish(QStringLiteral("/card/found"), QJsonObject{{QStringLiteral("uid"), m_found->uid},
                                                       {QStringLiteral("type"), m_found->type}});
    m_state = CardFound;
    publishStatus();
    if (m_autoread) {
        if (m_found->readable && !m_found->templateName.isEmpty())
            publish(QStringLiteral("/card/autoread"), m_found->envelope());
        else
            publish(QStringLiteral("/card/autoread"),
                    QJsonObject{{QStringLiteral("error"), QJsonObject{{QStringLiteral("what"), QStringLiteral("Card read failed")}}}});
    }
}

bool FakeRfidService::refuseWithoutCard(const Request &request)
{
    if (m_state != CardFound || !m_found) {
        replyRefused(request, 2, QStringLiteral("No card in field"));
        return true;
    }
    if (!m_found->readable) {
        replyRefused(request, 3, QStringLiteral("Card read failed"));
        return true;
    }
    return false;
}

void FakeRfidService::handle(const Request &request)
{
    if (!m_updateOn.isEmpty() && request.command == m_updateOn) {
        m_updateOn.clear();
        setState(Updating);
    }
    if (!m_online)
        return; // nobody answers
    if (m_state == Updating) {
        if (m_refusesWhileUpdating)
            replyRefused(request, 6, QStringLiteral("Firmware update in progress"));
        return;
    }
    const QString &command = request.command;
    const QJsonObject &body = request.body;

    if (command == QLatin1String("enable")) {
        m_autoread = body.value(QStringLiteral("autoread")).toBool();
        m_found.clear();
        m_state = Searching;
        m_error.clear();
        publishStatus(); // searching before the reply, so the client waits for the card
        replyCompleted(request);
        detectSoon();
    } else if (command == QLatin1String("disable")) {
        m_detectTimer->stop();
        m_found.clear();
        m_state = Idle;
        publishStatus();
        replyCompleted(request);
    } else if (command == QLatin1String("card/create")) {
        if (refuseWithoutCard(request))
            return;
        m_found->templateName = body.value(QStringLiteral("template")).toString();
        m_found->data = QJsonObject{
            {QStringLiteral("info"), QJsonObject{{QStringLiteral("version"), 0},
                                                 {QStringLiteral("customsId"), 0},
                                                 {QStringLiteral("status"), QStringLiteral("available")}}},
            {QStringLiteral("usageCounter"), 0},
            {QStringLiteral("usageLog"), QJsonArray()},
        };
        replyCompleted(request, m_found->envelope());
    } else if (command == QLatin1String("card/read")) {
        if (refuseWithoutCard(request))
            return;
        const QString wanted = body.value(QStringLiteral("template")).toString();
        if (wanted != QLatin1String("auto") && wanted != m_found->templateName)
            return replyRefused(request, 4, QStringLiteral("Template mismatch"));
        // Only the last "usageLogs" entries travel.
        QJsonObject envelope = m_found->envelope();
        QJsonObject data = m_found->data;
        const QJsonArray log = m_found->usageLog();
        const int keep = qMax(0, body.value(QStringLiteral("usageLogs")).toInt());
        QJsonArray tail;
        for (int i = qMax(0, log.size() - keep); i < log.size(); ++i)
            tail.append(log[i]);
        if (data.contains(QStringLiteral("usageLog")))
            data.insert(QStringLiteral("usageLog"), tail);
        envelope.insert(QStringLiteral("data"), data);
        replyCompleted(request, envelope);
    } else if (command == QLatin1String("card/write")) {
        if (refuseWithoutCard(request))
            return;
        const QString uid = body.value(QStringLiteral("uid")).toString();
        if (!uid.isEmpty() && uid != m_found->uid)
            return replyRefused(request, 5, QStringLiteral("Card mismatch"));
        // The written entries join those already on the card.
        const QJsonObject written = body.value(QStringLiteral("data")).toObject();
        QJsonArray log = m_found->usageLog();
        for (const QJsonValue &entry : written.value(QStringLiteral("usageLog")).toArray())
            log.append(entry);
        QJsonObject data = written;
        data.insert(QStringLiteral("usageLog"), log);
        m_found->templateName = body.value(QStringLiteral("template")).toString();
        m_found->data = data;
        replyCompleted(request, m_found->envelope());
    } else {
        replyRefused(request, 1, QStringLiteral("Unknown command"));
    }
}
