#pragma once

#include "async/Deferred.h"
#include "card/Tag.h"
#include "terminal/Engine.h"

#include <optional>

// The sessions of a card-vending terminal: a blank card is prepared on the
// reader between vehicles, then written with the terminal's customs id and an
// entry record and handed to the driver.
class IssueEngine : public Engine
{
    Q_OBJECT

public:
    static constexpr int PrepareRetryDelayMs = 1000;

    explicit IssueEngine(Terminal *terminal, QObject *parent = nullptr);
    ~IssueEngine() override;

    void start() override;
    void stop() override;
    void simLoopPresent() override;
    void simButtonPressed() override;

    // The card record an issue writes, filled from the terminal.
    QSharedPointer<RUDIv1Card> createCard() const;

protected:
    QString tag() const override;
    void onIdle() override;
    void collectData() override;
    void onCardProcess() override;
    void connectSources() override;
    void onIssuerRecovered() override;

private:
    void onButtonPressed();
    void onCardDisposed(Tag::Ptr card);
    void onCardCollected(Tag::Ptr card);
    void prepareCard();
    // Whether a new preparation may start: not once the session's card is written or presented.
    bool mayPrepare() const;
    void issueCard();

    // The latest card preparation: pending while the issuer works on it,
    // resolved with the card's uid, rejected with the issuer's text.
    std::optional<Deferred<QString> > m_preparation;
};
