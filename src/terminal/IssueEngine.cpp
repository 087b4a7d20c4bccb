#include "terminal/IssueEngine.h"

#include "app/LogQuote.h"
#include "card/CardIssuer.h"
#include "card/RUDIv1Card.h"
#include "devices/Button.h"
#include "devices/Loop.h"
#include "camera/CameraManager.h"
#include "terminal/Terminal.h"

namespace {

QString uidOr(const Tag::Ptr &card, const QString &none)
{
    return card ? card->uid() : none;
}

QString loggedUid(const Tag::Ptr &card, const QString &none)
{
    return card ? LogQuote::quote(card->uid()) : none;
}

} // namespace

IssueEngine::IssueEngine(Terminal *terminal, QObject *parent)
    : Engine(terminal, parent)
{
}

IssueEngine::~IssueEngine() = default;

QString IssueEngine::tag() const
{
    return QStringLiteral("[IssueEngine] ");
}

void IssueEngine::start()
{
    startEngine();
}

void IssueEngine::stop()
{
    stopEngine();
}

void IssueEngine::simLoopPresent()
{
    onVehiclePresent();
}

void IssueEngine::simButtonPressed()
{
    onButtonPressed();
}

void IssueEngine::connectSources()
{
    manager::CardIssuer *issuer = terminal()->cardIssuer();
    track(connect(terminal()->button(), &manager::Button::pressed, this, &IssueEngine::onButtonPressed));
    track(connect(issuer, &manager::CardIssuer::cardDisposed, this, &IssueEngine::onCardDisposed));
    track(connect(issuer, &manager::CardIssuer::cardRemoved, this, &IssueEngine::onCardCollected));
}

void IssueEngine::onIdle()
{
    // A preparation still running is the one for the next vehicle: asking the
    // issuer again would move a second card.
    if (m_preparation && m_preparation->state() != DeferredDataBase::Pending)
        m_preparation.reset();
    resetSession();
    // An issuer that cannot serve (jammed, the reader updating or silent) would bin cards and fail
    // each session: the truck standing there would cycle through Error and trigger the cameras
    // every few seconds. Its recovery prepares and opens the session.
    if (!issuerCanServe())
        return;
    prepareCard();
    if (terminal()->loop()->isOccupied())
        session()->setState(Session::DataCollect);
}

void IssueEngine::onIssuerRecovered()
{
    if (session()->state() != Session::Idle)
        return;
    prepareCard();
    if (terminal()->loop()->isOccupied())
        session()->setState(Session::DataCollect);
}

void IssueEngine::prepareCard()
{
    logInfo(QStringLiteral("Preparing card"));
    if (m_preparation && m_preparation->state() == DeferredDataBase::Pending) {
        logWarning(QStringLiteral("WARN: Card preparation already in progress. Skipping"));
        return;
    }

    // Each preparation settles its own handle only.
    const Deferred<QString> preparation;
    m_preparation = preparation;
    terminal()
        ->cardIssuer()
        ->prepareCard()
        .done(alive([this, preparation](manager::CardIssuer::Result result) {
            const QString uid = uidOr(result.card, QString());
            logInfo(QStringLiteral("Card prepared : ") + LogQuote::quote(uid));
            if (isRunning() && m_preparation && m_preparation->data() == preparation.data())
                session()->setCardId(uid);
            preparation.resolve(uid);
        }))
        .fail(alive([this, preparation](manager::CardIssuer::Result result) {
            logError(QStringLiteral("ERROR: Failed to prepare card : ") + LogQuote::quote(result.error));
            preparation.reject(result.error);
        }));
}

void IssueEngine::onCardDisposed(Tag::Ptr card)
{
    logInfo(QStringLiteral("Card disposed : uid=") + loggedUid(card, QStringLiteral("<none>")));
    if (!mayPrepare()) {
        refuse();
        return;
    }
    after(PrepareRetryDelayMs, [this] {
        // By now the session may have its card in the write or in the mouth.
        if (mayPrepare())
            prepareCard();
        else
            refuse();
    });
}

bool IssueEngine::mayPrepare() const
{
    const Session::State state = session()->state();
    return (state == Session::Idle || state == Session::DataCollect) && issuerCanServe();
}

void IssueEngine::onButtonPressed()
{
    logInfo(QStringLiteral("Button pressed"));
    const Session::State state = session()->state();
    // A press at a lane out of order is not kept for a later session.
    if (state == Session::Idle && !issuerCanServe()) {
        openSessionWhenServing();
        return;
    }
    session()->setButtonPressed(true);
    if (state == Session::Idle)
        session()->setState(Session::DataCollect);
    else if (state == Session::WaitUser)
        session()->setState(Session::Permission);
    else
        refuse();
}

void IssueEngine::onCardCollected(Tag::Ptr card)
{
    logInfo(QStringLiteral("Card collected : ") + loggedUid(card, QStringLiteral("<none>")));
}

void IssueEngine::collectData()
{
    // Callbacks of this collection act on this session only: a vehicle that
    // left and the next one's session have another uuid.
    const QString uuid = session()->uuid();
    auto sameSession = [this, uuid] { return session()->uuid() == uuid && session()->state() == Session::DataCollect; };

    const Deferred<> readings;
    terminal()
        ->cameras()
        ->cameraProcess(QString())
        .done(guarded([this, readings, uuid](QMap<QString, QString> delivered) {
            if (session()->uuid() != uuid)
                return;
            storeReadings(delivered);
            readings.resolve();
        }));

    // A preparation that already failed is tried again for this vehicle.
    if (!m_preparation || m_preparation->state() == DeferredDataBase::Rejected)
        prepareCard();
    const Deferred<QString> preparation = *m_preparation;

    Deferred<>::when(readings, preparation).done(guarded([this, sameSession] {
        if (sameSession())
            dataCollected();
    }));
    // The vehicle would wait for a card that is not coming.
    preparation.fail(guarded([this, sameSession](QString error) {
        if (sameSession())
            fail(error);
    }));
}

void IssueEngine::onCardProcess()
{
    issueCard();
}

QSharedPointer<RUDIv1Card> IssueEngine::createCard() const
{
    auto card = QSharedPointer<RUDIv1Card>::create();
    card->setCustomsId(terminal()->customsNumber().value_or(0));
    card->setStatus(QStringLiteral("active"));
    card->addUsageLog(QStringLiteral("entry"), terminal()->serialNum(), terminal()->locationId());
    card->incrUsageCounter(1);
    return card;
}

void IssueEngine::issueCard()
{
    logInfo(QStringLiteral("Issuing card"));
    // A card of customs office 0 would be worthless at every gate.
    if (!terminal()->customsNumber()) {
        fail(QStringLiteral("Invalid Customs id : ") + terminal()->customsId());
        return;
    }
    // The entry record would name no terminal or no place.
    if (terminal()->serialNum().isEmpty()) {
        fail(QStringLiteral("Missing Device id"));
        return;
    }
    if (terminal()->locationId().isEmpty()) {
        fail(QStringLiteral("Missing Location id"));
        return;
    }
    const QSharedPointer<RUDIv1Card> card = createCard();
    terminal()
        ->cardIssuer()
        ->issueCard(card, stillCurrent())
        .done(guarded([this, card](manager::CardIssuer::Result result) {
            session()->setCard(card);
            session()->setCardId(uidOr(result.card, QStringLiteral("<null>")));
            logInfo(QStringLiteral("Card issued successfully : ") + LogQuote::quote(session()->cardId()));
            session()->setState(Session::WaitCollect);
        }))
        .fail(guarded([this](manager::CardIssuer::Result result) { fail(result.error); }));
}
