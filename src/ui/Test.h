#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

#include <memory>

#include "async/Deferred.h"
#include "card/Tag.h"

// One run of a card self-test of the dispenser: what was asked for and by
// whom, how far it has come, how it ended and with which card, and the
// promise through which the requester follows it. A value: copies share the
// promise and the card, nothing else.
class Test
{
    Q_GADGET
    Q_PROPERTY(QString id READ id WRITE setId)
    Q_PROPERTY(QString name READ name WRITE setName)
    Q_PROPERTY(QString cardId READ cardId)
    Q_PROPERTY(QString error READ error WRITE setError)
    Q_PROPERTY(int currCardIndex READ currCardIndex WRITE setCurrCardIndex)
    Q_PROPERTY(int numberOfCards READ numberOfCards WRITE setNumberOfCards)
    Q_PROPERTY(int percent READ percent)
    Q_PROPERTY(bool result READ result WRITE setResult)
    Q_PROPERTY(bool inProgress READ inProgress)
    Q_PROPERTY(bool isFinished READ isFinished)
    Q_PROPERTY(bool isCancelled READ isCancelled)

public:
    // Counts as finished (no cards to run), so never in progress.
    Test();

    // A run of `numberOfCards` cards of the mode `name`, asked for under `id`.
    static Test create(const QString &name, int numberOfCards, const QString &id);

    QString id() const { return m_id; }
    void setId(const QString &id);
    QString name() const { return m_name; }
    void setName(const QString &name);
    QString error() const { return m_error; }
    void setError(const QString &error);
    int currCardIndex() const { return m_currCardIndex; }
    void setCurrCardIndex(int index);
    int numberOfCards() const { return m_numberOfCards; }
    void setNumberOfCards(int count);
    bool result() const { return m_result; }
    void setResult(bool result);
    Tag::Ptr card() const { return m_card; }
    void setCard(const Tag::Ptr &card) { m_card = card; }
    // A handle on the run's promise; every copy of the record hands out the same one.
    Deferred<Test> defer() const;

    // The uid of the card, "<none>" without one.
    QString cardId() const;
    // Cards completed, in whole per cent of the cards to run.
    int percent() const;
    bool isFinished() const;
    bool isCancelled() const { return m_cancelled; }
    bool inProgress() const;

    // Marks the run for its runner, which ends it at its next step.
    Q_INVOKABLE void cancel();
    // One more card completed; never beyond the cards to run.
    void incrCardIndex();
    void setPass();
    void setFail(const QString &error, const Tag::Ptr &card);

private:
    QString m_id;
    QString m_name;
    QString m_error;
    qint32 m_currCardIndex = 0;
    qint32 m_numberOfCards = 0;
    bool m_result = false;
    Tag::Ptr m_card;
    // Held through a pointer: a Deferred<Test> member would need Test complete.
    std::shared_ptr<Deferred<Test>> m_defer;
    bool m_cancelled = false;
    bool m_finished = false;
};

Q_DECLARE_METATYPE(Test)
