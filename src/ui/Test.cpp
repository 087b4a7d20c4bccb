#include "ui/Test.h"

Test::Test()
    : m_defer(std::make_shared<Deferred<Test>>())
{
}

Deferred<Test> Test::defer() const
{
    return *m_defer;
}

Test Test::create(const QString &name, int numberOfCards, const QString &id)
{
    Test test;
    test.m_id = id;
    test.m_name = name;
    test.m_numberOfCards = numberOfCards;
    return test;
}

void Test::setId(const QString &id)
{
    if (m_id != id)
        m_id = id;
}

void Test::setName(const QString &name)
{
    if (m_name != name)
        m_name = name;
}

void Test::setError(const QString &error)
{
    if (m_error != error)
        m_error = error;
}

void Test::setCurrCardIndex(int index)
{
    if (m_currCardIndex != index)
        m_currCardIndex = index;
}

void Test::setNumberOfCards(int count)
{
    if (m_numberOfCards != count)
        m_numberOfCards = count;
}

void Test::setResult(bool result)
{
    if (m_result != result)
        m_result = result;
}

QString Test::cardId() const
{
    return m_card ? m_card->uid() : QStringLiteral("<none>");
}

int Test::percent() const
{
    if (m_numberOfCards < 1)
        return 0;
    // In 64 bits: a large run would overflow the product in int.
    return int(qint64(m_currCardIndex) * 100 / m_numberOfCards);
}

bool Test::isFinished() const
{
    return m_finished || m_currCardIndex >= m_numberOfCards;
}

bool Test::inProgress() const
{
    return !isFinished() && !isCancelled();
}

void Test::cancel()
{
    m_cancelled = true;
}

void Test::incrCardIndex()
{
    if (m_currCardIndex < m_numberOfCards)
        ++m_currCardIndex;
}

void Test::setPass()
{
    m_result = true;
    m_error = QString();
    m_finished = true;
}

void Test::setFail(const QString &error, const Tag::Ptr &card)
{
    m_result = false;
    m_error = error;
    m_card = card;
    m_finished = true;
}
