#include "terminal/CollectEngine.h"

#include "app/Config.h"
#include "app/LogQuote.h"
#include "camera/CameraManager.h"
#include "card/CardIssuer.h"
#include "card/Dispenser.h"
#include "card/RUDIv1Card.h"
#include "terminal/Terminal.h"

CollectEngine::CollectEngine(Terminal *terminal, QObject *parent)
    : Engine(terminal, parent)
{
}

// Released while running (the lane became a vending lane, whose engine takes no card): the
// mouth takes no more cards in.
CollectEngine::~CollectEngine()
{
    if (isRunning())
        disableAccept();
}

QString CollectEngine::tag() const
{
    return QStringLiteral("[CollectEngine] ");
}

void CollectEngine::start()
{
    startEngine();
}

void CollectEngine::stop()
{
    const bool running = isRunning();
    m_strayCheckDue = false;
    stopEngine();
    // A card taken in now would stay at the reader with no engine to read it or give it back.
    if (running)
        disableAccept();
}

void CollectEngine::simLoopPresent()
{
    onVehiclePresent();
}

// The button takes no part on a collection terminal.
void CollectEngine::simButtonPressed()
{
}

void CollectEngine::connectSources()
{
    manager::CardIssuer *issuer = terminal()->cardIssuer();
    track(connect(issuer, &manager::CardIssuer::cardInserted, this, &CollectEngine::onCardInserted));
    track(connect(issuer, &manager::CardIssuer::settled, this, &CollectEngine::onIssuerSettled));
}

void CollectEngine::onIdle()
{
    resetSession();
    // A card taken in while the issuer cannot serve (the reader updating or silent, a jam) could
    // be neither read nor given back: the mouth takes cards once it can, and its recovery gives a
    // stray card back.
    if (issuerCanServe()) {
        returnStrayCard();
        enableAccept();
    } else {
        disableAccept();
    }
}

void CollectEngine::onIssuerRecovered()
{
    const Session::State state = session()->state();
    if (state != Session::Stopped)
        returnStrayCard();
    // Open again for the driver of this session or the next one.
    const bool waitsForCard = state == Session::Idle || state == Session::DataCollect || state == Session::WaitUser;
    if (waitsForCard && !session()->card())
        enableAccept();
    openHeldSession();
}

void CollectEngine::onIssuerUnable()
{
    disableAccept();
}

void CollectEngine::returnStrayCard()
{
    // A return already on its way would be asked twice.
    if (session()->card() || m_returning)
        return;
    // A card being read, written or moved belongs to that operation: the driver's card read for
    // the next session, a card written back, a card an engine before this one was writing.
    if (terminal()->cardIssuer()->busy()) {
        m_strayCheckDue = true;
        return;
    }
    const Tag::Ptr card = terminal()->cardIssuer()->currCard();
    returnCardToDriver(QStringLiteral("Card at the reader belongs to no session. Returning card : ")
                       + (card ? LogQuote::quote(card->uid()) : QStringLiteral("<none>")));
}

void CollectEngine::onIssuerSettled()
{
    if (!m_strayCheckDue)
        return;
    m_strayCheckDue = false;
    // Looked at again now that nothing moves the card; a jammed issuer's recovery does it later.
    if (session()->state() != Session::Stopped && issuerCanServe())
        returnStrayCard();
}

void CollectEngine::enableAccept()
{
    terminal()
        ->cardIssuer()
        ->enableAccept()
        .done(guarded([this](manager::CardIssuer::Result) { logInfo(QStringLiteral("Enabled card auto-accept")); }))
        .fail(guarded([this](manager::CardIssuer::Result) {
            logError(QStringLiteral("Failed to enable card auto-accept"));
        }));
}

void CollectEngine::disableAccept()
{
    terminal()
        ->cardIssuer()
        ->disableAccept()
        .done(alive([this](manager::CardIssuer::Result) { logInfo(QStringLiteral("Disabled card auto-accept")); }))
        .fail(alive([this](manager::CardIssuer::Result) {
            logError(QStringLiteral("Failed to disable card auto-accept"));
        }));
}

void CollectEngine::onCardInserted(Card::Ptr card)
{
    logInfo(QStringLiteral("Card inserted"));
    session()->setButtonPressed(true);
    const Session::State state = session()->state();
    const QString uid = card ? LogQuote::quote(card->uid()) : QStringLiteral("<none>");
    // From Permission on, the session's card is being checked and written: a
    // further card never takes its place.
    if (state == Session::Idle || state == Session::DataCollect || state == Session::WaitUser)
        session()->setCard(qSharedPointerDynamicCast<RUDIv1Card>(card));
    else if (state == Session::Exit || state == Session::PostExit || state == Session::Error)
        // No session will take it, and left inside it would keep every later card out.
        returnCardToDriver(QStringLiteral("Card inserted after the session ended. Returning card : ") + uid);
    else
        logWarning(QStringLiteral("WARN: Card inserted while the session's card is processed : ") + uid);

    if (state == Session::Idle)
        session()->setState(Session::DataCollect);
    else if (state == Session::WaitUser)
        session()->setState(Session::Permission);
    else
        refuse();
}

void CollectEngine::collectData()
{
    const QString uuid = session()->uuid();
    terminal()
        ->cameras()
        ->cameraProcess(QString())
        .done(guarded([this, uuid](QMap<QString, QString> delivered) {
            // A vehicle that left (and the next one's session) is none of these readings' business.
            if (session()->uuid() != uuid)
                return;
            storeReadings(delivered);
            dataCollected();
        }));
}

void CollectEngine::onVehicleLeaving()
{
    const QSharedPointer<RUDIv1Card> card = session()->card();
    if (card)
        returnCardToDriver(QStringLiteral("Vehicle left with its card inside. Returning card : ")
                           + LogQuote::quote(card->uid()));
}

void CollectEngine::returnCardToDriver(const QString &why)
{
    if (!terminal()->dispenser()->cardInRfid())
        return;
    logWarning(QStringLiteral("WARN: ") + why);
    m_returning = true;
    terminal()
        ->cardIssuer()
        ->eject()
        .done(alive([this](manager::CardIssuer::Result) {
            m_returning = false;
            logInfo(QStringLiteral("Card returned to the mouth"));
        }))
        .fail(alive([this](manager::CardIssuer::Result result) {
            m_returning = false;
            logError(QStringLiteral("ERROR: Failed to return card : ") + LogQuote::quote(result.error));
        }));
}

void CollectEngine::onCardProcess()
{
    processCard();
}

void CollectEngine::processCard()
{
    const int timeout = collectTimeoutSec();
    logInfo(QStringLiteral("Ejecting card for collection (collectTimeout=%1 sec)").arg(timeout));

    const QSharedPointer<RUDIv1Card> card = session()->card();
    const QString uid = card ? LogQuote::quote(card->uid()) : QStringLiteral("<none>");
    const std::optional<int> customs = terminal()->customsNumber();
    // Without a usable customs id nothing can be checked: the driver gets the card back.
    if (!customs) {
        returnCardToDriver(QStringLiteral("Customs id not usable. Returning card : ") + uid);
        fail(QStringLiteral("Invalid Customs id : ") + terminal()->customsId());
        return;
    }
    if (!card) {
        fail(QStringLiteral("Invalid card: no card data"));
        return;
    }
    if (card->customsId() != *customs) {
        // Left inside, the card would block the mouth for every later driver.
        returnCardToDriver(QStringLiteral("Wrong customs id. Returning card : ") + uid);
        session()->setError(QStringLiteral("Invalid card: wrong customsId"));
        session()->setState(Session::Error);
        return;
    }

    terminal()
        ->cardIssuer()
        ->returnCard(card)
        .done(guarded([this](manager::CardIssuer::Result result) {
            logInfo(QStringLiteral("Card read successfully : ")
                    + (result.card ? LogQuote::quote(result.card->uid()) : QStringLiteral("<null>")));
            session()->setState(Session::Exit);
        }))
        .fail(guarded([this, uid](manager::CardIssuer::Result result) {
            returnCardToDriver(QStringLiteral("Card not written back. Returning card : ") + uid);
            fail(result.error);
        }));
}
