#include "card/CardIssuer.h"

#include "app/LogQuote.h"
#include "async/Utils.h"
#include "card/Dispenser.h"
#include "card/RFID.h"

#include <QDebug>
#include <QMap>
#include <QPointer>
#include <QTimer>

namespace manager {

namespace {

void logDebug(const QString &text) { qDebug().noquote() << QStringLiteral("[CardIssuer] ") + text; }
void logInfo(const QString &text) { qInfo().noquote() << QStringLiteral("[CardIssuer] ") + text; }
void logWarn(const QString &text) { qWarning().noquote() << QStringLiteral("[CardIssuer] ") + text; }
void logError(const QString &text) { qCritical().noquote() << QStringLiteral("[CardIssuer] ") + text; }

using Result = CardIssuer::Result;

// Uids, names and error texts come from the reader and dispenser services.
QString uidOf(const Tag::Ptr &card) { return LogQuote::quote(RFID::uidOf(card)); }

// Settles `to` with whatever `from` settles with.
void passOn(const Deferred<Result> &from, const Deferred<Result> &to)
{
    from.done([to](Result r) { to.resolve(r); }).fail([to](Result r) { to.reject(r); });
}

// A self-test's answer while a driver's card waits in the mouth.
const QString DriversCardWaits = QStringLiteral("Card in mouth waits to be taken");

QString boolText(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }

// The confirmation of a dispenser move. The service may publish the moved
// sensor before it answers the request; a flag that was clear when the move
// was sent and is set when the answer arrives has already confirmed it, so
// waiting for a further change would only run into the time-out.
template <typename Signal>
Deferred<> sensorConfirmation(Dispenser *dispenser, bool wasSet, bool isSet, Signal changed)
{
    if (!wasSet && isSet) {
        Deferred<> confirmed;
        confirmed.resolve();
        return confirmed;
    }
    return Utils::waitSignal(dispenser, changed, 1000);
}

} // namespace

CardIssuer::CardIssuer(RFID &rfid, Dispenser &dispenser, QObject *parent)
    : QObject(parent), m_rfid(rfid), m_dispenser(dispenser), m_readerRecheck(new QTimer(this))
{
    m_readerRecheck->setInterval(ReaderRecheckMs);
    connect(m_readerRecheck, &QTimer::timeout, this, &CardIssuer::recheckReader);
    connectSignals();
}

CardIssuer::~CardIssuer() = default;

template <typename F>
auto CardIssuer::guarded(F f)
{
    QPointer<CardIssuer> self(this);
    return [self, f](auto &&...args) {
        if (self)
            f(std::forward<decltype(args)>(args)...);
    };
}

QString CardIssuer::stateToStr(int state)
{
    static const QMap<int, QString> names{
        {Init, QStringLiteral("Init")},
        {Busy, QStringLiteral("Busy")},
        {Ready, QStringLiteral("Ready")},
        {Error, QStringLiteral("Error")},
    };
    return names.value(state, QStringLiteral("Unknown"));
}

QString CardIssuer::cardLevel() const
{
    const QString model = m_dispenser.model();
    if (model == QLatin1String("KTV52817"))
        return m_dispenser.cartridge();
    if (model == QLatin1String("KTW4163"))
        return QStringLiteral("empty");
    return QStringLiteral("missing");
}

void CardIssuer::connectSignals()
{
    connect(&m_rfid, &RFID::stateChanged, this, &CardIssuer::checkState);
    // A reader that reports a serving state again (its service back, an update ended) is heard.
    connect(&m_rfid, &RFID::stateChanged, this, [this] {
        if (readerServes())
            readerHeard();
    });
    connect(&m_rfid, &RFID::cardFound, this, &CardIssuer::onCardFound);
    connect(&m_dispenser, &Dispenser::activeChanged, this, &CardIssuer::checkState);
    connect(&m_dispenser, &Dispenser::isJammedChanged, this, &CardIssuer::checkState);
    connect(&m_dispenser, &Dispenser::isDoorOpenChanged, this, &CardIssuer::checkState);
    connect(&m_dispenser, &Dispenser::cardInMouthChanged, this, &CardIssuer::checkState);
    connect(&m_dispenser, &Dispenser::cardInRfidChanged, this, &CardIssuer::checkState);
    // The cartridge text decides "No more cards": a refilled or just emptied
    // cartridge must be seen even when no other flag moves with it.
    connect(&m_dispenser, &Dispenser::cartridgeChanged, this, &CardIssuer::checkState);
    connect(&m_dispenser, &Dispenser::cardRemoved, this, &CardIssuer::onCardRemoved);
    connect(&m_dispenser, &Dispenser::cardDisposed, this, &CardIssuer::onCardDisposed);
    connect(&m_dispenser, &Dispenser::cardInserted, this, &CardIssuer::onCardInserted);
}

void CardIssuer::setState(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    const QString suffix = reason.isEmpty() ? QString() : QStringLiteral("(reason=") + reason + QLatin1Char(')');
    logInfo(QStringLiteral("State changed : (%1) %2 %3").arg(int(state)).arg(stateToStr(state), suffix));
    m_state = state;
    m_reason = reason;
    emit stateChanged();
}

void CardIssuer::checkState()
{
    const RFID::State rfidState = m_rfid.state();
    logDebug(QStringLiteral("checkState() :") + QStringLiteral(" Dispenser(") + boolText(m_dispenser.active())
             + QStringLiteral(")") + QStringLiteral(" RFID(") + RFID::stateToStr(rfidState) + QStringLiteral(")")
             + QStringLiteral(" cardInRfid(") + boolText(m_dispenser.cardInRfid()) + QStringLiteral(")")
             + QStringLiteral(" cardInMouth(") + boolText(m_dispenser.cardInMouth()) + QStringLiteral(")"));

    if (rfidState == RFID::Error) {
        setState(Error, QStringLiteral("RFID error"));
    } else if (rfidState == RFID::Updating) {
        setState(Init, QStringLiteral("RFID updating"));
    } else if (m_readerFaults >= ReaderFaultLimit) {
        setState(Error, QStringLiteral("RFID not answering"));
    } else if (m_dispenser.isDoorOpen()) {
        setState(Error, QStringLiteral("Cartridge door open"));
        resetFailCount();
    } else if (!m_dispenser.active()) {
        setState(Error, QStringLiteral("Dispenser error"));
        resetFailCount();
    } else if (m_dispenser.isJammed()) {
        setState(Error, QStringLiteral("Dispenser jammed"));
    } else if (m_dispenser.cartridge() == QLatin1String("empty")) {
        setState(Error, QStringLiteral("No more cards"));
    } else if (m_failCount > 3) {
        setState(Error, QStringLiteral("Too many failures"));
    } else if (rfidState == RFID::CardFound || m_dispenser.cardInRfid()) {
        setState(Busy, QStringLiteral("Card on RFID"));
    } else if (m_dispenser.cardInMouth()) {
        setState(Busy, QStringLiteral("Card in Mouth"));
    } else {
        setState(Ready, QString());
    }

    if (m_rfid.state() == RFID::CardFound && !m_currCard)
        setCurrCard(m_rfid.activeCard());
    if (!m_dispenser.cardInMouth())
        m_handedOut = Taker::Nobody;
}

void CardIssuer::incrFailCount()
{
    if (m_failCount > 3)
        return;
    ++m_failCount;
    logInfo(QStringLiteral("Incremented fail counter : ") + QString::number(m_failCount));
    checkState();
}

void CardIssuer::resetFailCount()
{
    if (m_failCount == 0)
        return;
    m_failCount = 0;
    logInfo(QStringLiteral("Reset fail counter : ") + QString::number(m_failCount));
    checkState();
}

bool CardIssuer::readerServes() const
{
    const RFID::State state = m_rfid.state();
    return state == RFID::Idle || state == RFID::Searching || state == RFID::CardFound;
}

// A refusal from a reader that updates or has failed says nothing about the card.
bool CardIssuer::readerFailed(bool answered) const
{
    return !answered || !readerServes();
}

// Silence costs no card, but a reader that keeps failing takes the lane out of service, or every
// driver would meet its time-outs at a terminal that says it is Ready.
void CardIssuer::noteReaderFault()
{
    if (m_readerFaults >= ReaderFaultLimit)
        return;
    ++m_readerFaults;
    logInfo(QStringLiteral("Reader faults in a row : ") + QString::number(m_readerFaults));
    if (m_readerFaults >= ReaderFaultLimit) {
        m_readerRecheck->start();
        checkState();
    }
}

void CardIssuer::readerWorked()
{
    m_readerRecheck->stop();
    if (m_readerFaults == 0)
        return;
    m_readerFaults = 0;
    logInfo(QStringLiteral("Reader answers again"));
    checkState();
}

// Heard again, the reader is given one more chance rather than a clean record: one that still
// fails is taken out again by its next fault.
void CardIssuer::readerHeard()
{
    if (m_readerFaults < ReaderFaultLimit)
        return;
    m_readerRecheck->stop();
    m_readerFaults = ReaderFaultLimit - 1;
    logInfo(QStringLiteral("Reader heard again"));
    checkState();
}

// Asks the silent reader what a preparation asks of it, switching its field on and searching,
// while no card operation needs it. An answer alone is not enough: a reader that answers but
// never searches would be let back to fail the next driver.
void CardIssuer::recheckReader()
{
    if (m_readerFaults < ReaderFaultLimit) {
        m_readerRecheck->stop();
        return;
    }
    if (busy())
        return;
    // An operation of its own: a preparation asked once the reader is heard waits for the
    // switch-off, which would otherwise cut its search short.
    const Deferred<Result> d = operation();
    auto ended = [d](RFID::Result) { d.resolve(Result()); };
    m_rfid.enable(false)
        .done(guarded([this, d, ended](RFID::Result) {
            const bool searched = m_rfid.state() == RFID::Searching || m_rfid.state() == RFID::CardFound;
            m_rfid.disable()
                .done(guarded([this, d, searched](RFID::Result) {
                    if (searched)
                        readerHeard();
                    d.resolve(Result());
                }))
                .fail(ended);
        }))
        .fail(ended);
}

void CardIssuer::setCurrCard(const Tag::Ptr &card)
{
    if (card == m_currCard)
        return;
    m_currCard = card;
}

void CardIssuer::onCardFound(Tag::Ptr card)
{
    setCurrCard(card);
}

void CardIssuer::onCardDisposed()
{
    const Tag::Ptr card = m_currCard;
    emit cardDisposed(card);
    setCurrCard(Tag::Ptr());
}

void CardIssuer::onCardRemoved()
{
    // Taken: whatever is in the mouth from now on was given to nobody.
    m_handedOut = Taker::Nobody;
    const Tag::Ptr card = m_currCard;
    emit cardRemoved(card);
    setCurrCard(Tag::Ptr());
}

void CardIssuer::resolve(Deferred<Result> deferred, const Tag::Ptr &card)
{
    deferred.resolve(Result(card, QString()));
}

void CardIssuer::reject(Deferred<Result> deferred, const QString &text, bool readerFault)
{
    logError(QStringLiteral("ERROR: ") + LogQuote::quote(text));
    Result result(Tag::Ptr(), text);
    result.readerFault = readerFault;
    if (readerFault)
        noteReaderFault();
    deferred.reject(result);
}

Deferred<CardIssuer::Result> CardIssuer::operation()
{
    Deferred<Result> d;
    ++m_operations;
    auto ended = guarded([this](Result) { operationEnded(); });
    d.done(ended).fail(ended);
    return d;
}

void CardIssuer::operationEnded()
{
    if (--m_operations > 0 || m_endCheckPending)
        return;
    m_endCheckPending = true;
    // On the next turn: whoever waited for the operation acts on its result first.
    QTimer::singleShot(0, this, [this] {
        m_endCheckPending = false;
        if (m_operations > 0)
            return;
        if (!m_waiting.isEmpty()) {
            m_waiting.takeFirst()();
            return;
        }
        emit settled();
    });
}

Deferred<CardIssuer::Result> CardIssuer::whenFree(std::function<Deferred<Result>()> start)
{
    if (!busy())
        return start();
    logInfo(QStringLiteral("Waiting for the card operation under way"));
    Deferred<Result> d;
    m_waiting.append([d, start] { passOn(start(), d); });
    return d;
}

// Every chain that found or wrote a card ends by switching the reader off.
// Without a card written the operation has not done its work until the
// reader is off, so a failing disable fails it. After a completed write the
// card is done: the failing disable is only worth a warning.
void CardIssuer::disableReader(Deferred<Result> deferred, const Tag::Ptr &card, bool afterWrite)
{
    m_rfid.disable()
        .done(guarded([this, deferred, card](RFID::Result) {
            logInfo(QStringLiteral("RFID disabled"));
            resolve(deferred, card);
        }))
        .fail(guarded([this, deferred, card, afterWrite](RFID::Result r) {
            const QString text = QStringLiteral("RFID disable failed : ") + r.error;
            if (afterWrite) {
                logWarn(QStringLiteral("WARN: ") + LogQuote::quote(text));
                resolve(deferred, card);
            } else {
                reject(deferred, text, readerFailed(r.answered));
            }
        }));
}

// Switches the field on and waits for the card in it. A refused switch
// rejects with "RFID enable failed : ", no card with `notFound`, each
// followed by the reader's text; the reader is then left on.
void CardIssuer::searchCard(Deferred<Result> deferred, const QString &notFound, std::function<void(Tag::Ptr)> found)
{
    m_rfid.enable(false)
        .done(guarded([this, deferred, notFound, found](RFID::Result) {
            logInfo(QStringLiteral("RFID enabled."));
            m_rfid.waitCardFound(1000)
                .done(guarded([this, found](RFID::Result result) {
                    logInfo(QStringLiteral("Card found : ") + uidOf(result.card));
                    readerWorked();
                    found(result.card);
                }))
                .fail(guarded([this, deferred, notFound](RFID::Result r) {
                    // Only a reader still searching has looked at the card and not seen it: it
                    // worked, and the faults before are no longer in a row.
                    const bool searched = m_rfid.state() == RFID::Searching;
                    if (searched)
                        readerWorked();
                    reject(deferred, notFound + r.error, !searched);
                }));
        }))
        .fail(guarded([this, deferred](RFID::Result r) {
            reject(deferred, QStringLiteral("RFID enable failed : ") + r.error, readerFailed(r.answered));
        }));
}

// A dispenser request that makes the whole operation: its success resolves
// with no card, its refusal rejects with `failed` and the description.
void CardIssuer::dispenserRequest(Deferred<Dispenser::Result> request, Deferred<Result> deferred, const QString &failed)
{
    request.done(guarded([this, deferred](Dispenser::Result) { resolve(deferred, Tag::Ptr()); }))
        .fail(guarded([this, deferred, failed](Dispenser::Result r) { reject(deferred, failed + r.description); }));
}

// A card whose uid could not be read is binned; the read's failure is
// reported once the dispenser has answered, whatever it answered.
void CardIssuer::disposeUnread(Deferred<Result> deferred, const Result &failedRead, bool test)
{
    auto report = [deferred, failedRead] { deferred.reject(failedRead); };
    dispose(test).done([report](Result) { report(); }).fail([report](Result) { report(); });
}

// ---------------------------------------------------------------------------
// Preparation and issue

Deferred<CardIssuer::Result> CardIssuer::moveCardOnRfid()
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Moving card on RFID"));

    if (m_dispenser.cardInRfid()) {
        logWarn(QStringLiteral("WARN: Card already present. Skipping."));
        resolve(d, Tag::Ptr());
        return d;
    }

    if (m_dispenser.cardInMouth() && m_handedOut == Taker::Nobody) {
        logWarn(QStringLiteral("WARN: Card in mouth. Retracting."));
        dispenserRequest(m_dispenser.accept(), d, QStringLiteral("Accept failed : "));
        return d;
    }
    // A card given to a driver (a card written back, a stray returned) is theirs: it stays.
    if (m_dispenser.cardInMouth())
        logWarn(QStringLiteral("WARN: Card in mouth waits to be taken. Dispensing."));

    m_dispenser.issue()
        .done(guarded([this, d](Dispenser::Result) { resolve(d, Tag::Ptr()); }))
        .fail(guarded([this, d](Dispenser::Result r) {
            // The dispenser service answers 14 for a dispense that still put a card in place.
            if (r.code == 14)
                resolve(d, Tag::Ptr());
            else
                reject(d, QStringLiteral("Issue failed : ") + r.description);
        }));
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::readCardUid()
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Reading card UID"));

    const Tag::Ptr known = m_rfid.activeCard();
    if (m_rfid.state() == RFID::CardFound && known) {
        logInfo(QStringLiteral("Card already present : ") + uidOf(known));
        disableReader(d, known, false);
        return d;
    }

    searchCard(d, QStringLiteral("Failed to find card : "), [this, d](Tag::Ptr found) {
        setCurrCard(found);
        disableReader(d, found, false);
    });
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::prepareCard()
{
    return whenFree([this] { return prepareNow(); });
}

// A card moved or written now would be binned by the reader's refusals, or be left half done.
bool CardIssuer::refusedUnableToServe(Deferred<Result> deferred)
{
    if (canServe())
        return false;
    const QString reason = m_reason.isEmpty() ? QStringLiteral("Card issuer not ready") : m_reason;
    logWarn(QStringLiteral("WARN: Card issuer cannot serve : ") + reason);
    deferred.reject(Result(Tag::Ptr(), reason));
    return true;
}

Deferred<CardIssuer::Result> CardIssuer::prepareNow()
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Preparing card"));

    if (refusedUnableToServe(d))
        return d;

    moveCardOnRfid()
        .done(guarded([this, d](Result) {
            readCardUid()
                .done(guarded([this, d](Result read) {
                    d.resolve(read);
                    emit cardPrepared(read.card);
                }))
                .fail(guarded([this, d](Result failedRead) {
                    if (!failedRead.readerFault) {
                        disposeUnread(d, failedRead, false);
                        return;
                    }
                    logWarn(QStringLiteral("WARN: Reader fault. Card left on RFID : ") + uidOf(m_currCard));
                    d.reject(failedRead);
                }));
        }))
        .fail([d](Result r) { d.reject(r); });
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::createCard(Card::Ptr card)
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Creating card : %1").arg(card ? LogQuote::quote(card->name()) : QString()));
    if (!card) {
        reject(d, QStringLiteral("Create card failed : no card data"));
        return d;
    }

    searchCard(d, QStringLiteral("Card search failed : "), [this, d, card](Tag::Ptr) {
        m_rfid.createCard(card->name())
            .done(guarded([this, d, card](RFID::Result created) {
                logInfo(QStringLiteral("Writing card : ") + uidOf(created.card));
                m_rfid.writeCard(card)
                    .done(guarded([this, d](RFID::Result written) {
                        logInfo(QStringLiteral("Card written successfully : ") + uidOf(written.card));
                        readerWorked();
                        setCurrCard(written.card);
                        resetFailCount();
                        disableReader(d, written.card, true);
                    }))
                    .fail(guarded([this, d](RFID::Result r) {
                        reject(d, QStringLiteral("Write card failed : ") + r.error, readerFailed(r.answered));
                    }));
            }))
            .fail(guarded([this, d](RFID::Result r) {
                reject(d, QStringLiteral("Create card failed : ") + r.error, readerFailed(r.answered));
            }));
    });
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::writeCard(Card::Ptr card)
{
    Deferred<Result> d = operation();
    if (!card) {
        reject(d, QStringLiteral("Write card failed : no card data"));
        return d;
    }
    logInfo(QStringLiteral("Writing card : uid=%1 name=%2").arg(LogQuote::quote(card->uid()), LogQuote::quote(card->name())));

    m_rfid.writeCard(card)
        .done(guarded([this, d](RFID::Result written) {
            logInfo(QStringLiteral("Card written successfully : ") + uidOf(written.card));
            readerWorked();
            setCurrCard(written.card);
            disableReader(d, written.card, true);
        }))
        .fail(guarded([this, d](RFID::Result r) {
            reject(d, QStringLiteral("Write card failed : ") + r.error, readerFailed(r.answered));
        }));
    return d;
}

// A card that failed while being created sits on the reader and is binned
// (and counted). Only the sensor knows whether it is still there: a card the
// driver took or that was disposed meanwhile is not disposed again.
void CardIssuer::disposeAfterFailedIssue()
{
    if (!m_dispenser.cardInRfid()) {
        logWarn(QStringLiteral("WARN: No card on RFID. Nothing to dispose."));
        return;
    }
    dispose(false);
}

Deferred<CardIssuer::Result> CardIssuer::issueCard(Card::Ptr card, std::function<bool()> wanted)
{
    return whenFree([this, card, wanted] {
        if (!wanted || wanted())
            return issueNow(card);
        // Settled as an operation of its own: the next one waiting starts after it.
        Deferred<Result> d = operation();
        logWarn(QStringLiteral("WARN: Card issue withdrawn : nobody waits for it any more"));
        d.reject(Result(Tag::Ptr(), QStringLiteral("Card issue withdrawn")));
        return d;
    });
}

Deferred<CardIssuer::Result> CardIssuer::issueNow(Card::Ptr card)
{
    Deferred<Result> d = operation();
    if (refusedUnableToServe(d))
        return d;

    // Only a failure of the creation leaves a card to dispose: a refused
    // preparation moved nothing, and one that failed reading has already
    // disposed (and counted) its card. A reader that failed says nothing
    // against the card.
    auto create = guarded([this, d, card]() {
        createCard(card)
            .done([d](Result r) { d.resolve(r); })
            .fail(guarded([this, d](Result r) {
                if (r.readerFault)
                    logWarn(QStringLiteral("WARN: Reader fault. Card left on RFID : ") + uidOf(m_currCard));
                else
                    disposeAfterFailedIssue();
                d.reject(r);
            }));
    });

    if (m_currCard) {
        logInfo(QStringLiteral("Card present. Creating."));
        create();
    } else {
        logWarn(QStringLiteral("WARN: Card not present. Preparing."));
        prepareNow().done([create](Result) { create(); }).fail([d](Result r) { d.reject(r); });
    }
    return d;
}

// ---------------------------------------------------------------------------
// Presentation, retraction and disposal

Deferred<CardIssuer::Result> CardIssuer::eject()
{
    return ejectFor(Taker::Driver);
}

Deferred<CardIssuer::Result> CardIssuer::ejectFor(Taker taker)
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Ejecting card"));

    const bool wasInMouth = m_dispenser.cardInMouth();
    m_dispenser.eject()
        .done(guarded([this, d, wasInMouth, taker](Dispenser::Result) {
            sensorConfirmation(&m_dispenser, wasInMouth, m_dispenser.cardInMouth(), &Dispenser::cardInMouthChanged)
                .done(guarded([this, d, taker]() {
                    logInfo(QStringLiteral("Card ejected successfully"));
                    m_handedOut = m_dispenser.cardInMouth() ? taker : Taker::Nobody;
                    const Tag::Ptr card = m_currCard;
                    resolve(d, card);
                    emit cardEjected(card);
                }))
                .fail(guarded([this, d]() { reject(d, QStringLiteral("Timeout waiting for mouth sensor")); }));
        }))
        .fail(guarded([this, d](Dispenser::Result r) {
            reject(d, QStringLiteral("Failed to eject card : ") + r.description);
        }));
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::retract()
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Retracting card : ") + uidOf(m_currCard));
    // Taken back on purpose (not collected in time, a self-test): no longer anyone's.
    m_handedOut = Taker::Nobody;

    const bool wasInRfid = m_dispenser.cardInRfid();
    m_dispenser.accept()
        .done(guarded([this, d, wasInRfid](Dispenser::Result) {
            sensorConfirmation(&m_dispenser, wasInRfid, m_dispenser.cardInRfid(), &Dispenser::cardInRfidChanged)
                .done(guarded([this, d]() {
                    logInfo(QStringLiteral("Retracted card : ") + uidOf(m_currCard));
                    resolve(d, Tag::Ptr());
                }))
                .fail(guarded([this, d]() { reject(d, QStringLiteral("Retract timeout")); }));
        }))
        .fail(guarded([this, d](Dispenser::Result r) {
            reject(d, QStringLiteral("Accept failed : ") + r.description);
        }));
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::dispose(bool test)
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Disposing card : ") + uidOf(m_currCard));
    if (!test)
        incrFailCount();

    m_dispenser.dispose()
        .done(guarded([this, d](Dispenser::Result) {
            logInfo(QStringLiteral("Card disposed : ") + uidOf(m_currCard));
            resolve(d, Tag::Ptr());
        }))
        .fail(guarded([this, d](Dispenser::Result r) {
            reject(d, QStringLiteral("Dispose failed : ") + r.description);
        }));
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::waitRemoved(int seconds)
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Waiting for card to be collected (timeout=%1 sec)").arg(seconds));

    m_dispenser.waitCollect(seconds)
        .done(guarded([this, d](Dispenser::Result) {
            auto collected = guarded([this, d]() {
                logInfo(QStringLiteral("Card collected successfully"));
                resolve(d, Tag::Ptr());
            });
            // The removal report comes before the status that clears the mouth: until then the
            // flags still show the card there, and the next operation would reach for it.
            if (!m_dispenser.cardInMouth()) {
                collected();
                return;
            }
            Utils::waitSignal(&m_dispenser, &Dispenser::cardInMouthChanged, 1000).done(collected).fail(collected);
        }))
        .fail(guarded([this, d](Dispenser::Result) {
            retract()
                .done(guarded([this, d](Result) { reject(d, QStringLiteral("Card not collected")); }))
                .fail(guarded([this, d](Result) {
                    reject(d, QStringLiteral("Card not collected and card retract failed"));
                }));
        }));
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::presentCard(int seconds)
{
    return whenFree([this, seconds] { return presentNow(seconds); });
}

Deferred<CardIssuer::Result> CardIssuer::presentNow(int seconds)
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Waiting for card to be collected (timeout=%1 sec)").arg(seconds));

    eject()
        .done(guarded([this, d, seconds](Result ejected) {
            // The caller learns which card the driver took.
            const Tag::Ptr card = ejected.card;
            waitRemoved(seconds)
                .done(guarded([this, d, card](Result) { resolve(d, card); }))
                .fail(guarded([this, d](Result) { reject(d, QStringLiteral("Card not collected")); }));
        }))
        .fail(guarded([this, d](Result r) { reject(d, QStringLiteral("Eject failed: ") + r.error); }));
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::waitCardInRfid(int seconds)
{
    Deferred<Result> d;
    logInfo(QStringLiteral("Waiting for card to be placed on Rfid : timeout=") + QString::number(seconds)
            + QStringLiteral(" sec"));

    if (m_dispenser.cardInMouth()) {
        resolve(d, m_currCard);
        return d;
    }

    Utils::waitSignal(&m_dispenser, &Dispenser::cardInRfidChanged, seconds > 0 ? seconds * 1000 : 0)
        .done(guarded([this, d]() { resolve(d, m_currCard); }))
        .fail(guarded([this, d]() { reject(d, QStringLiteral("Timeout")); }));
    return d;
}

// ---------------------------------------------------------------------------
// Acceptance and return

Deferred<CardIssuer::Result> CardIssuer::enableAccept()
{
    Deferred<Result> d;
    logInfo(QStringLiteral("Enabling automatic card acceptance"));
    dispenserRequest(m_dispenser.enableAccept(), d, QString());
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::disableAccept()
{
    Deferred<Result> d;
    logInfo(QStringLiteral("Disabling automatic card acceptance"));
    dispenserRequest(m_dispenser.disableAccept(), d, QString());
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::acceptCard(int seconds)
{
    Deferred<Result> d;
    enableAccept()
        .done(guarded([this, d, seconds](Result) { passOn(waitCardInRfid(seconds), d); }))
        .fail([d](Result r) { d.reject(r); });
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::collectCard()
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Collecting card : uid=") + uidOf(m_currCard));
    m_dispenser.dispose()
        .done(guarded([this, d](Dispenser::Result) {
            m_rfid.disable()
                .done(guarded([this, d](RFID::Result) { resolve(d, Tag::Ptr()); }))
                .fail(guarded([this, d](RFID::Result r) {
                    reject(d, QStringLiteral("RFID disable failed : ") + r.error);
                }));
        }))
        .fail(guarded([this, d](Dispenser::Result r) { reject(d, r.description); }));
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::waitInserted(int seconds)
{
    Deferred<Result> d;
    logInfo(QStringLiteral("Waiting for card to be inserted : timeout=") + QString::number(seconds)
            + QStringLiteral(" sec"));
    Utils::waitSignal(this, &CardIssuer::cardInserted, seconds > 0 ? seconds * 1000 : 0)
        .done(guarded([this, d]() { resolve(d, m_currCard); }))
        .fail(guarded([this, d]() { reject(d, QStringLiteral("Timeout")); }));
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::readCard()
{
    Deferred<Result> d = operation();
    logInfo(QStringLiteral("Reading card"));

    searchCard(d, QStringLiteral("Failed to find card : "), [this, d](Tag::Ptr) {
        m_rfid.readCard(QStringLiteral("auto"), 1)
            .done(guarded([this, d](RFID::Result read) {
                logInfo(QStringLiteral("Card read successfully"));
                setCurrCard(read.card);
                resolve(d, read.card);
            }))
            .fail(guarded([this, d](RFID::Result r) { reject(d, QStringLiteral("Failed to read card : ") + r.error); }));
    });
    return d;
}

void CardIssuer::onCardInserted()
{
    logInfo(QStringLiteral("Card inserted"));
    // Busy until the card has been announced (or given back): until then it is nobody's stray.
    ++m_operations;
    readCard()
        .done(guarded([this](Result r) {
            const Card::Ptr card = Card::fromTag(r.card);
            if (card) {
                logInfo(QStringLiteral("Card read successfully : uid=%1 name=%2")
                            .arg(LogQuote::quote(card->uid()), LogQuote::quote(card->name())));
                setCurrCard(card);
                emit cardInserted(card);
            } else {
                logError(QStringLiteral("ERROR: Invalid card : uid=%1").arg(uidOf(r.card)));
                returnUnreadCard();
            }
            operationEnded();
        }))
        .fail(guarded([this](Result r) {
            logError(QStringLiteral("ERROR: Read card failed : ") + LogQuote::quote(r.error));
            returnUnreadCard();
            operationEnded();
        }));
}

// A driver's card we cannot use goes back to the mouth rather than staying
// inside unnoticed; one that has already left the reader is not chased.
void CardIssuer::returnUnreadCard()
{
    if (!m_dispenser.cardInRfid()) {
        logWarn(QStringLiteral("WARN: Unread card no longer on RFID"));
        return;
    }
    logWarn(QStringLiteral("WARN: Returning unread card to the mouth"));
    eject();
}

Deferred<CardIssuer::Result> CardIssuer::returnCard(Card::Ptr card)
{
    return whenFree([this, card] { return returnNow(card); });
}

Deferred<CardIssuer::Result> CardIssuer::returnNow(Card::Ptr card)
{
    Deferred<Result> d = operation();
    writeCard(card)
        .done(guarded([this, d](Result) { passOn(eject(), d); }))
        .fail([d](Result r) { d.reject(r); });
    return d;
}

// ---------------------------------------------------------------------------
// Self-tests

QString CardIssuer::selfTestRefusal() const
{
    if (!canServe())
        return QStringLiteral("Card issuer cannot serve : ")
               + (m_reason.isEmpty() ? QStringLiteral("not ready") : m_reason);
    if (driversCardInMouth())
        return DriversCardWaits;
    return QString();
}

Deferred<CardIssuer::Result> CardIssuer::testDispense()
{
    Deferred<Result> d = operation();
    auto pass = [d](Result r) { d.reject(r); };
    if (driversCardInMouth()) {
        reject(d, DriversCardWaits);
        return d;
    }

    moveCardOnRfid()
        .done(guarded([this, d, pass](Result) {
            readCardUid()
                .done(guarded([this, d, pass](Result) {
                    ejectFor(Taker::SelfTest)
                        .done(guarded([this, d, pass](Result) {
                            // The eject is confirmed by the mouth flag of a status document
                            // whose reader flag is not applied yet: the retract must see the
                            // whole document, or it waits for a change that already came.
                            QTimer::singleShot(0, this, [this, d, pass] {
                                retract()
                                    .done(guarded([this, d](Result) { passOn(dispose(true), d); }))
                                    .fail(pass);
                            });
                        }))
                        .fail(pass);
                }))
                .fail(guarded([this, d](Result failedRead) { disposeUnread(d, failedRead, true); }));
        }))
        .fail(pass);
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::testAcceptEject()
{
    Deferred<Result> d = operation();
    Deferred<Result> outcome;
    // The run's wait for a card switched acceptance on: left on, a card pushed into the
    // mouth of the restarted lane would be drawn in and kept.
    acceptOffAfter(outcome, d);

    if (driversCardInMouth()) {
        reject(outcome, DriversCardWaits);
    } else if (m_dispenser.cardInMouth()) {
        logInfo(QStringLiteral("Card in mouth. Retracting."));
        retract()
            .done(guarded([this, outcome](Result) { passOn(ejectFor(Taker::SelfTest), outcome); }))
            .fail([outcome](Result r) { outcome.reject(r); });
    } else if (m_dispenser.cardInRfid()) {
        logInfo(QStringLiteral("Card in RFID. Ejecting."));
        passOn(ejectFor(Taker::SelfTest), outcome);
    } else {
        reject(outcome, QStringLiteral("No card found"));
    }
    return d;
}

Deferred<CardIssuer::Result> CardIssuer::testAcceptDispose()
{
    Deferred<Result> d = operation();
    Deferred<Result> outcome;
    acceptOffAfter(outcome, d);

    auto pass = [outcome](Result r) { outcome.reject(r); };
    auto disposeCard = guarded([this, outcome](Result) { passOn(dispose(true), outcome); });

    if (driversCardInMouth()) {
        reject(outcome, DriversCardWaits);
    } else if (m_dispenser.cardInMouth()) {
        logInfo(QStringLiteral("Card in mouth. Retracting and disposing."));
        retract().done(disposeCard).fail(pass);
    } else if (m_dispenser.cardInRfid()) {
        logInfo(QStringLiteral("Card in RFID. Disposing."));
        disposeCard(Result());
    } else {
        logInfo(QStringLiteral("No card found. Waiting insert."));
        acceptCard(60).done(disposeCard).fail(pass);
    }
    return d;
}

bool CardIssuer::driversCardInMouth() const
{
    return m_handedOut == Taker::Driver && m_dispenser.cardInMouth();
}

// Whatever the test gave, the mouth stops taking cards in. A failure of the test is reported as
// it was; a failing switch-off fails a test that had passed, since the dispenser is left accepting.
void CardIssuer::acceptOffAfter(Deferred<Result> outcome, Deferred<Result> d)
{
    outcome
        .done(guarded([this, d](Result passed) {
            disableAccept()
                .done([d, passed](Result) { d.resolve(passed); })
                .fail([d](Result r) { d.reject(r); });
        }))
        .fail(guarded([this, d](Result failed) {
            disableAccept()
                .done([d, failed](Result) { d.reject(failed); })
                .fail([d, failed](Result) { d.reject(failed); });
        }));
}

} // namespace manager
