#include "QmlFixture.h"

#include "app/Config.h"
#include "terminal/Event.h"
#include "terminal/EventManager.h"

#include <QCoreApplication>

QmlFixture::QmlFixture(QQmlEngine &engine, const QString &inputMethod, QObject *parent)
    : QObject(parent)
    , m_engine(engine)
    , m_inputMethod(inputMethod)
    , m_config(new Config(m_dir.filePath("gui.conf"), {}))
    , m_eventLog(new EventManager(*m_config, m_dir.filePath("events.ini")))
{
}

QmlFixture::~QmlFixture()
{
    QCoreApplication::removeTranslator(&m_translator);
}

EventManager &QmlFixture::eventLog()
{
    return *m_eventLog;
}

QString QmlFixture::inputMethod() const
{
    return m_inputMethod;
}

void QmlFixture::pushEvent(const QString &name, const QString &description, const QDateTime &timestamp)
{
    m_eventLog->push(new Event(QStringLiteral("General"), name, description, timestamp));
}

void QmlFixture::clearEvents()
{
    m_eventLog->clear();
}

bool QmlFixture::setGreek(bool on)
{
    if (m_translator.isEmpty() && !m_translator.load(QStringLiteral(":/qml/translations/VORNTerminalUI_el_GR.qm")))
        return false;
    if (on)
        QCoreApplication::installTranslator(&m_translator);
    else
        QCoreApplication::removeTranslator(&m_translator);
    return true;
}
