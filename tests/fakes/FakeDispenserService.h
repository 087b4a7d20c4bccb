#pragma once

#include "fakes/FakeCard.h"
#include "fakes/FakeService.h"

#include <QSet>

// A card dispenser service on the broker: a cartridge of blank cards, the
// RFID reading position, the mouth and the bin. Commands move the cards and
// the status document follows every move after the reply, as the real
// dispenser does; a driver can take the card from the mouth or insert one.
//
// Refusal codes: 3 cartridge empty, 5 jam, 6 door open, 7 not active,
// 10 no card at the RFID position, 11 no card in the mouth, 12 mouth
// occupied, 14 a card is already at the RFID position (a dispense then
// counts as done for the terminal).
class FakeDispenserService : public FakeService
{
    Q_OBJECT

public:
    explicit FakeDispenserService(const QString &base = QStringLiteral("vesk/dispenser"), QObject *parent = nullptr);

    // Identity; the model decides the terminal's role.
    void setModel(const QString &model);
    QString model() const { return m_model; }
    void publishInfo();
    void publishStatus();

    // The cartridge: count blank cards (uids "C0001"...), out of capacity.
    void loadCartridge(int count, int capacity = 100);
    void loadCartridge(const QList<FakeCard::Ptr> &cards, int capacity = 100);
    int stackCount() const { return m_stack.size(); }
    // "empty", "reserve" (10 % or less), "normal" or "full", the levels the
    // back office maps.
    QString cartridgeText() const;

    // Where the cards are; setting a place publishes the status.
    FakeCard::Ptr cardInRfid() const { return m_rfid; }
    FakeCard::Ptr cardInMouth() const { return m_mouth; }
    QList<FakeCard::Ptr> bin() const { return m_bin; }
    void placeInRfid(const FakeCard::Ptr &card);
    void placeInMouth(const FakeCard::Ptr &card);

    // The driver. Taking publishes "/card/removed" and the status; inserting
    // needs automatic acceptance on and both places free: the card is drawn
    // to the RFID position, then the status and "/card/inserted" follow.
    bool driverTakeCard();
    bool driverInsertCard(const FakeCard::Ptr &card);
    bool acceptEnabled() const { return m_acceptEnabled; }

    // Faults; each publishes the status.
    void setJammed(bool jammed);
    // The next such command jams the dispenser: refused with code 5 and the
    // status reports the jam; the card stays where it was.
    void jamOnNext(const QString &command) { m_jamOn = command; }
    void setDoorOpen(bool open);
    void setActive(bool active);
    // Offline: the status says "service": false and requests get no reply.
    void setServiceOnline(bool online);

    // Timing: the status normally follows the reply; with this set it
    // overtakes it (published before the reply).
    void setStatusBeforeReply(bool before) { m_statusFirst = before; }
    // The same for one command only ("accept", "eject", ...).
    void setStatusBeforeReply(const QString &command) { m_statusFirstFor.insert(command); }
    // Stuck sensors: while frozen no status document goes out, so the
    // terminal never sees the flags move; thawing publishes the current one.
    void setStatusFrozen(bool frozen);

    // Disposal order: reply, "/card/disposed", status (default), or the
    // report before the reply.
    void setDisposedBeforeReply(bool before) { m_disposedFirst = before; }
    // A lost report: the card is binned but "/card/disposed" never comes.
    void setDisposalReported(bool reported) { m_disposalReported = reported; }

signals:
    // The card at the RFID position changed (null: none); the fake reader follows it.
    void rfidCardChanged(FakeCard::Ptr card);

protected:
    void handle(const Request &request) override;
    // Publishes the info and status documents (both retained).
    void started() override;

private:
    bool refuseIfFaulty(const Request &request);
    void setRfid(const FakeCard::Ptr &card);
    void completeAndReport(const Request &request);

    QString m_manufacturer = QStringLiteral("Fake Dispensers");
    QString m_model = QStringLiteral("KTV52817");
    QString m_firmware = QStringLiteral("1.0.0");
    QString m_version = QStringLiteral("1.0.0");
    bool m_online = true;
    bool m_active = true;
    bool m_jammed = false;
    bool m_doorOpen = false;
    bool m_acceptEnabled = false;
    bool m_statusFirst = false;
    QSet<QString> m_statusFirstFor;
    bool m_statusFrozen = false;
    bool m_disposedFirst = false;
    bool m_disposalReported = true;
    QString m_jamOn;
    int m_capacity = 100;
    QList<FakeCard::Ptr> m_stack;
    FakeCard::Ptr m_rfid;
    FakeCard::Ptr m_mouth;
    QList<FakeCard::Ptr> m_bin;
};
