#pragma once

#include "card/Card.h"
#include "terminal/Engine.h"

// The sessions of a card-collection terminal: the driver inserts the card,
// which is read, checked against the terminal's customs office, written back
// and returned.
class CollectEngine : public Engine
{
    Q_OBJECT

public:
    explicit CollectEngine(Terminal *terminal, QObject *parent = nullptr);
    ~CollectEngine() override;

    void start() override;
    void stop() override;
    void simLoopPresent() override;
    void simButtonPressed() override;

protected:
    QString tag() const override;
    void onIdle() override;
    void collectData() override;
    void onCardProcess() override;
    void connectSources() override;
    void onVehicleLeaving() override;
    void onIssuerRecovered() override;
    void onIssuerUnable() override;

private:
    void onCardInserted(Card::Ptr card);
    void enableAccept();
    void disableAccept();
    // Gives back a card found at the reader while the session holds none; while the card
    // issuer is busy, once it has settled.
    void returnStrayCard();
    void onIssuerSettled();
    void processCard();
    // Ejects the driver's card to the mouth when it is still at the reader.
    void returnCardToDriver(const QString &why);

    // An eject of returnCardToDriver() is pending.
    bool m_returning = false;
    // A card at the reader is to be looked at once the card issuer has settled.
    bool m_strayCheckDue = false;
};
