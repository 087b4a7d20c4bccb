#pragma once

#include "fakes/FakeCard.h"
#include "fakes/FakeService.h"

class FakeDispenserService;
class QTimer;

// An RFID reader service on the broker. Its field holds at most one card:
// set by hand, or following the RFID position of a fake dispenser. Enabling
// the field reports "Searching" before the reply, and a detectable card in
// the field is found after a short detection delay ("/card/found" and the
// status "CardFound"). Reads, template creation and writes work on the card
// in the field; a card may be undetectable or unreadable.
class FakeRfidService : public FakeService
{
    Q_OBJECT

public:
    enum State { Init = 0, Idle = 1, Searching = 2, CardFound = 3, Updating = 4, Error = 5 };

    explicit FakeRfidService(const QString &base = QStringLiteral("vesk/rfid"), QObject *parent = nullptr);

    // The field follows the card at the dispenser's RFID position.
    void attach(FakeDispenserService *dispenser);
    void setCardInField(const FakeCard::Ptr &card);
    FakeCard::Ptr cardInField() const { return m_field; }

    State state() const { return m_state; }
    // Publishes the status; Error and Updating also stop the field.
    void setState(State state, const QString &error = QString());
    void setServiceOnline(bool online);
    void setDetectDelay(int msec) { m_detectDelay = msec; }
    // While updating, the reader answers nothing (the default) or refuses every command.
    void setRefusesWhileUpdating(bool refuses) { m_refusesWhileUpdating = refuses; }
    // The next such command finds the reader starting a firmware update: the status says
    // Updating before the command is answered (or not, see setRefusesWhileUpdating).
    void updateOnNext(const QString &command) { m_updateOn = command; }

    void publishInfo();
    void publishStatus();

protected:
    void handle(const Request &request) override;
    // Publishes the info and status documents (both retained).
    void started() override;

private:
    void detectSoon();
    void detect();
    bool refuseWithoutCard(const Request &request);

    bool m_online = true;
    bool m_refusesWhileUpdating = false;
    QString m_updateOn;
    State m_state = Idle;
    QString m_error;
    bool m_autoread = false;
    int m_detectDelay = 50;
    FakeCard::Ptr m_field;
    FakeCard::Ptr m_found;
    QTimer *m_detectTimer;
};
