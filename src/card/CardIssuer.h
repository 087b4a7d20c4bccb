#pragma once

#include "async/Deferred.h"
#include "card/Card.h"
#include "card/Dispenser.h"
#include "card/Tag.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QTimer;

namespace manager {

class RFID;

// Sequences the RFID reader and the dispenser into card operations and
// derives one supervised state from both devices.
class CardIssuer : public QObject
{
    Q_OBJECT

public:
    enum State { Init = 0, Busy = 1, Ready = 2, Error = 3 };

    // Reader faults in a row (no answer, a refusal while it does not serve) after which the
    // reader counts as not answering, and the interval of the check whether it answers again.
    static constexpr int ReaderFaultLimit = 4;
    static constexpr int ReaderRecheckMs = 5000;

    struct Result
    {
        Result() = default;
        Result(Tag::Ptr c, QString e) : card(std::move(c)), error(std::move(e)) {}
        Tag::Ptr card;  // null on failure and for operations that report none
        QString error;  // empty on success
        // The failure is the reader's (no answer, or it stopped searching): nothing is known
        // against the card, which is therefore not binned.
        bool readerFault = false;
    };

    CardIssuer(RFID &rfid, Dispenser &dispenser, QObject *parent = nullptr);
    ~CardIssuer() override;

    static QString stateToStr(int state);

    State state() const { return m_state; }
    QString reason() const { return m_reason; }
    Tag::Ptr currCard() const { return m_currCard; }
    int failCount() const { return m_failCount; }
    // The one answer to "can a card be served?": Ready or Busy, which also means the reader
    // answers (one that stopped answering puts the issuer in Error). While it cannot, no
    // preparation or issue moves a card, no session opens, the mouth takes no card and the
    // terminal is not Ready. It changes only with stateChanged.
    bool canServe() const { return m_state == Ready || m_state == Busy; }
    int readerFaults() const { return m_readerFaults; }
    // A card operation is under way (a preparation, an issue, a read, a write, a presentation,
    // a move or a self-test), or asked for and waiting to start. It goes on when the engine
    // that asked for it stops.
    bool busy() const { return m_operations > 0 || !m_waiting.isEmpty(); }
    QString cardLevel() const;

    RFID &rfid() const { return m_rfid; }
    Dispenser &dispenser() const { return m_dispenser; }

    // Preparation and issue. These two, presentCard and returnCard are the operations the
    // engines ask for: each waits for a card operation under way to end before it starts.
    Deferred<Result> prepareCard();
    // `wanted`, when given, is asked when an issue that waited comes to start: a caller gone
    // meanwhile (a stopped engine) withdraws it, and no card is written for nobody.
    Deferred<Result> issueCard(Card::Ptr card, std::function<bool()> wanted = {});
    Deferred<Result> moveCardOnRfid();
    Deferred<Result> readCardUid();
    Deferred<Result> createCard(Card::Ptr card);
    Deferred<Result> writeCard(Card::Ptr card);

    // Presentation, retraction and disposal
    Deferred<Result> presentCard(int seconds);
    // Gives the card at the reader out to the driver: it waits in the mouth as theirs until taken.
    Deferred<Result> eject();
    Deferred<Result> waitRemoved(int seconds);
    Deferred<Result> retract();
    Deferred<Result> dispose(bool test);
    Deferred<Result> waitCardInRfid(int seconds);

    // Acceptance and return
    Deferred<Result> enableAccept();
    Deferred<Result> disableAccept();
    Deferred<Result> acceptCard(int seconds);
    Deferred<Result> collectCard();
    Deferred<Result> waitInserted(int seconds);
    Deferred<Result> readCard();
    Deferred<Result> returnCard(Card::Ptr card);

    // Self-tests
    // Why a card self-test cannot run now, empty when it can: asked before the lane is stopped
    // for it, and again once the operation under way has ended.
    QString selfTestRefusal() const;
    Deferred<Result> testDispense();
    Deferred<Result> testAcceptEject();
    Deferred<Result> testAcceptDispose();

signals:
    void stateChanged();
    void cardInserted(Card::Ptr card);
    void cardPrepared(Tag::Ptr card);
    void cardDisposed(Tag::Ptr card);
    void cardEjected(Tag::Ptr card);
    void cardRemoved(Tag::Ptr card);
    // The issuer is no longer busy: the last card operation has ended, however it went.
    // Announced on the next turn of the event loop, once the callers of that operation have
    // acted on its result, and only when no other operation has started meanwhile.
    void settled();

private:
    // Whom a card in the mouth was given out to.
    enum class Taker { Nobody, SelfTest, Driver };

    void connectSignals();
    void setState(State state, const QString &reason);
    void checkState();
    void incrFailCount();
    void resetFailCount();
    void setCurrCard(const Tag::Ptr &card);
    // The reader's side of the supervision: faults in a row, its work, and its being heard.
    bool readerServes() const;
    // A reader command failed through the reader: no answer, or a refusal while it does not serve.
    bool readerFailed(bool answered) const;
    void noteReaderFault();
    void readerWorked();
    void readerHeard();
    void recheckReader();

    void onCardFound(Tag::Ptr card);
    void onCardDisposed();
    void onCardRemoved();
    void onCardInserted();

    void resolve(Deferred<Result> deferred, const Tag::Ptr &card);
    void reject(Deferred<Result> deferred, const QString &text, bool readerFault = false);

    // Closing reader disable of a chain; see the source for the two policies.
    void disableReader(Deferred<Result> deferred, const Tag::Ptr &card, bool afterWrite);
    void disposeAfterFailedIssue();
    void searchCard(Deferred<Result> deferred, const QString &notFound, std::function<void(Tag::Ptr)> found);
    void dispenserRequest(Deferred<Dispenser::Result> request, Deferred<Result> deferred, const QString &failed);
    void disposeUnread(Deferred<Result> deferred, const Result &failedRead, bool test);
    void returnUnreadCard();
    Deferred<Result> ejectFor(Taker taker);
    // A card given out to a driver waits in the mouth: no self-test's to take in, bin or hand
    // out again as its own.
    bool driversCardInMouth() const;
    // Settles d with outcome once automatic acceptance has been switched off.
    void acceptOffAfter(Deferred<Result> outcome, Deferred<Result> d);

    // A new result of a card operation: the issuer is busy until it settles.
    Deferred<Result> operation();
    void operationEnded();
    // Starts an operation at once when the issuer is not busy, else once the operations before
    // it have ended: card operations never run beside each other.
    Deferred<Result> whenFree(std::function<Deferred<Result>()> start);

    // Rejects `deferred` with the reason when the issuer cannot serve.
    bool refusedUnableToServe(Deferred<Result> deferred);
    Deferred<Result> prepareNow();
    Deferred<Result> issueNow(Card::Ptr card);
    Deferred<Result> presentNow(int seconds);
    Deferred<Result> returnNow(Card::Ptr card);

    // Wraps a callback so it does nothing once the issuer is gone.
    template <typename F>
    auto guarded(F f);

    RFID &m_rfid;
    Dispenser &m_dispenser;
    State m_state = Init;
    QString m_reason;
    Tag::Ptr m_currCard;
    int m_failCount = 0;
    int m_readerFaults = 0;
    QTimer *m_readerRecheck;
    int m_operations = 0;
    // Operations asked for while another was under way, in order.
    QList<std::function<void()>> m_waiting;
    bool m_endCheckPending = false;
    // The card in the mouth was given out by an eject: it is the taker's until taken or
    // deliberately taken back, and no preparation pulls it in as a blank card.
    Taker m_handedOut = Taker::Nobody;
};

} // namespace manager
