#pragma once

#include "async/Deferred.h"
#include "card/Card.h"
#include "card/Dispenser.h"
#include "card/Tag.h"

#include <QObject>
#include <QString>

#include <functional>

namespace manager {

class RFID;

// Sequences the RFID reader and the dispenser into card operations and
// derives one supervised state from both devices.
class CardIssuer : public QObject
{
    Q_OBJECT

public:
    enum State { Init = 0, Busy = 1, Ready = 2, Error = 3 };

    struct Result
    {
        Result() = default;
        Result(Tag::Ptr c, QString e) : card(std::move(c)), error(std::move(e)) {}
        Tag::Ptr card;  // null on failure and for operations that report none
        QString error;  // empty on success
    };

    CardIssuer(RFID &rfid, Dispenser &dispenser, QObject *parent = nullptr);
    ~CardIssuer() override;

    static QString stateToStr(int state);

    State state() const { return m_state; }
    QString reason() const { return m_reason; }
    Tag::Ptr currCard() const { return m_currCard; }
    int failCount() const { return m_failCount; }
    // A card preparation is under way. It goes on when the engine that asked for it stops.
    bool preparing() const { return m_preparations > 0; }
    QString cardLevel() const;

    RFID &rfid() const { return m_rfid; }
    Dispenser &dispenser() const { return m_dispenser; }

    // Preparation and issue
    Deferred<Result> prepareCard();
    Deferred<Result> issueCard(Card::Ptr card);
    Deferred<Result> moveCardOnRfid();
    Deferred<Result> readCardUid();
    Deferred<Result> createCard(Card::Ptr card);
    Deferred<Result> writeCard(Card::Ptr card);

    // Presentation, retraction and disposal
    Deferred<Result> presentCard(int seconds);
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
    // The last preparation under way has ended, however it went.
    void preparationSettled();

private:
    void connectSignals();
    void setState(State state, const QString &reason);
    void checkState();
    void incrFailCount();
    void resetFailCount();
    void setCurrCard(const Tag::Ptr &card);

    void onCardFound(Tag::Ptr card);
    void onCardDisposed();
    void onCardRemoved();
    void onCardInserted();

    void resolve(Deferred<Result> deferred, const Tag::Ptr &card);
    void reject(Deferred<Result> deferred, const QString &text);

    // Closing reader disable of a chain; see the source for the two policies.
    void disableReader(Deferred<Result> deferred, const Tag::Ptr &card, bool afterWrite);
    void disposeAfterFailedIssue();
    void searchCard(Deferred<Result> deferred, const QString &notFound, std::function<void(Tag::Ptr)> found);
    void dispenserRequest(Deferred<Dispenser::Result> request, Deferred<Result> deferred, const QString &failed);
    void disposeUnread(Deferred<Result> deferred, const Result &failedRead, bool test);
    void returnUnreadCard();
    // Settles d with outcome once automatic acceptance has been switched off.
    void acceptOffAfter(Deferred<Result> outcome, Deferred<Result> d);

    // Wraps a callback so it does nothing once the issuer is gone.
    template <typename F>
    auto guarded(F f);

    RFID &m_rfid;
    Dispenser &m_dispenser;
    State m_state = Init;
    QString m_reason;
    Tag::Ptr m_currCard;
    int m_failCount = 0;
    int m_preparations = 0;
};

} // namespace manager
