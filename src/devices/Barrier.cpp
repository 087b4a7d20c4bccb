#include "devices/Barrier.h"

#include "app/Config.h"

#include <QDebug>
#include <QHash>

namespace manager {

namespace {
const QString Tag_ = QStringLiteral("[Barrier] ");

void logInfo(const QString &text)
{
    qInfo().noquote() << Tag_ + text;
}
} // namespace

Barrier::Barrier(Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
{
    initTimers();
    setState(Init, QStringLiteral("Disconnected"));
}

Barrier::~Barrier() = default;

QString Barrier::stateToStr(int state)
{
    static const QHash<int, QString> names{
        {Init, QStringLiteral("Init")},
        {Busy, QStringLiteral("Busy")},
        {Ready, QStringLiteral("Ready")},
        {Error, QStringLiteral("Error")},
    };
    return names.value(state, QStringLiteral("Unknown"));
}

QUrl Barrier::parseUrl(const QString &text)
{
    return QUrl(text.contains(QLatin1String("//")) ? text : QStringLiteral("tcp://") + text);
}

QString Barrier::manufacturer() const
{
    return QStringLiteral("Magnetic");
}

QString Barrier::model() const
{
    return QStringLiteral("MGC(MicroDrive)");
}

Deferred<> Barrier::open()
{
    Deferred<> result;
    result.resolve();
    return result;
}

void Barrier::setState(State state, const QString &reason)
{
    if (state == m_state && reason == m_reason)
        return;
    const QString suffix = reason.isEmpty() ? QString() : QStringLiteral("(reason=") + reason + QLatin1Char(')');
    logInfo(QStringLiteral("State changed : (%1) %2 %3").arg(int(state)).arg(stateToStr(state), suffix));
    m_state = state;
    m_reason = reason;
    emit stateChanged();
}

void Barrier::setIsOpen(bool open)
{
    if (open == m_isOpen)
        return;
    m_isOpen = open;
    emit isOpenChanged();
    if (open)
        emit barrierOpened();
    else
        emit barrierClosed();
}

void Barrier::setStatus(unsigned int status)
{
    if (status == m_status)
        return;
    m_status = status;
    const auto bit = [status](int n) { return (status >> n) & 0x1u; };
    const unsigned int angle = status >> 24;

    // Later bits win: an error bit overrides the ready bit of the same word.
    if (bit(0))
        setState(Ready, QString());
    if (bit(1))
        setState(Error, QStringLiteral("Error present"));
    if (bit(2))
        setState(Error, QStringLiteral("Homing not performed"));
    if (bit(4))
        setState(Error, QStringLiteral("Control temperature exceeded"));
    if (bit(20))
        setIsOpen(false);
    if (bit(21)) {
        setState(Busy, QStringLiteral("Closing"));
        logInfo(QStringLiteral("Boom is closing : %1 degrees").arg(angle));
    }
    if (bit(22)) {
        setState(Busy, QStringLiteral("Opening"));
        logInfo(QStringLiteral("Boom is opening : %1 degrees").arg(angle));
    }
    if (bit(23))
        setIsOpen(true);
}

void Barrier::setLoopA(unsigned short flags)
{
    setLoop('A', m_loopA, flags, &Barrier::loopAChanged);
}

void Barrier::setLoopB(unsigned short flags)
{
    setLoop('B', m_loopB, flags, &Barrier::loopBChanged);
}

void Barrier::setLoop(char name, unsigned short &stored, unsigned short flags, void (Barrier::*changed)())
{
    if (flags == stored)
        return;
    const QString loop = QStringLiteral("Loop ") + QLatin1Char(name);
    logInfo(loop + QStringLiteral(" changed : ") + QString::number(flags, 16));
    const bool occupiedBefore = stored & 0x1;
    stored = flags;
    if (bool(flags & 0x1) != occupiedBefore)
        emit(this->*changed)();
    if (flags & 0x1000)
        setState(Error, loop + QStringLiteral(" short-circuit"));
    if (flags & 0x8000)
        setState(Error, loop + QStringLiteral(" error"));
}

void Barrier::onConfigChanged(const QVariantMap &changes)
{
    if (!Config::contains(changes, QStringLiteral("barrier\\/.+")))
        return;
    qWarning().noquote() << Tag_ + QStringLiteral("WARN: Configuration changed. Applying.");
    initClient();
}

// The controller link: the settings barrier/address, timeout, retries and
// unitId are kept for it; until it exists these do nothing.
void Barrier::initTimers()
{
}

void Barrier::initClient()
{
}

void Barrier::readStatus()
{
}

} // namespace manager
