#include "fakes/TestBroker.h"

#include "fakes/FreePort.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

#include <unistd.h>

namespace {
const char ReadyLine[] = " running";

QString findProgram(QString const &name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"),
                                                     QStringLiteral("/usr/bin")});
    return path;
}
} // namespace

TestBroker::TestBroker() = default;

TestBroker::~TestBroker()
{
    stop();
}

void TestBroker::addUser(QString const &name, QString const &password)
{
    m_users.append({name, password});
}

void TestBroker::addConfig(QString const &line)
{
    m_extra.append(line);
}

QString TestBroker::writeFile(QString const &name, QByteArray const &content)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(content);
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                            | QFileDevice::ReadOther);
    }
    return path;
}

bool TestBroker::start()
{
    if (isRunning())
        return true;
    m_error.clear();
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    if (m_port != 0) {
        // Same port as before; a socket of the old broker may linger for a moment.
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (launch())
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    for (int attempt = 0; attempt < 10; ++attempt) {
        m_port = FreePort::pick(QHostAddress::LocalHost);
        if (m_port != 0 && launch())
            return true;
    }
    m_port = 0;
    return false;
}

bool TestBroker::launch()
{
    const QString program = findProgram(QStringLiteral("mosquitto"));
    if (program.isEmpty()) {
        m_error = QStringLiteral("mosquitto not found");
        return false;
    }

    QStringList config{
        QStringLiteral("listener %1 127.0.0.1").arg(m_port),
        QStringLiteral("allow_anonymous %1").arg(m_users.isEmpty() ? "true" : "false"),
        QStringLiteral("persistence false"),
        QStringLiteral("log_dest stderr"),
        m_verbose ? QStringLiteral("log_type all") : QStringLiteral("log_type error\nlog_type warning\nlog_type notice\nlog_type information"),
        QStringLiteral("log_timestamp false"),
    };
    if (geteuid() == 0)
        config << QStringLiteral("user root"); // keeps the temporary folder readable
    if (!m_users.isEmpty()) {
        const QString passwords = m_dir.filePath(QStringLiteral("passwd"));
        QFile::remove(passwords);
        const QString tool = findProgram(QStringLiteral("mosquitto_passwd"));
        for (auto const &user : qAsConst(m_users)) {
            QStringList args{QStringLiteral("-b"), passwords, user.first, user.second};
            if (!QFile::exists(passwords))
                args.prepend(QStringLiteral("-c"));
            if (tool.isEmpty() || QProcess::execute(tool, args) != 0) {
                m_error = QStringLiteral("mosquitto_passwd failed");
                return false;
            }
        }
        config << QStringLiteral("password_file ") + passwords;
    }
    config << m_extra;
    writeFile(QStringLiteral("mosquitto.conf"), config.join(QLatin1Char('\n')).toUtf8() + '\n');

    m_process.reset(new QProcess);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    const int logStart = m_log.size();
    m_process->start(program, {QStringLiteral("-c"), m_dir.filePath(QStringLiteral("mosquitto.conf"))});
    if (!m_process->waitForStarted(5000)) {
        m_error = QStringLiteral("mosquitto did not start: ") + m_process->errorString();
        m_process.reset();
        return false;
    }
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        collect();
        if (m_log.indexOf(ReadyLine, logStart) >= 0)
            return true;
        if (m_process->state() == QProcess::NotRunning)
            break;
        m_process->waitForReadyRead(100);
    }
    collect();
    m_error = QStringLiteral("mosquitto did not come up on port %1: %2")
                  .arg(m_port)
                  .arg(QString::fromUtf8(m_log.mid(logStart)).trimmed());
    m_process->kill();
    m_process->waitForFinished(5000);
    m_process.reset();
    return false;
}

void TestBroker::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(5000)) {
            m_process->kill();
            m_process->waitForFinished(5000);
        }
    }
    finish();
}

void TestBroker::kill()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    finish();
}

void TestBroker::finish()
{
    collect();
    m_process.reset();
}

bool TestBroker::restart()
{
    stop();
    return start();
}

bool TestBroker::isRunning() const
{
    return m_process && m_process->state() == QProcess::Running;
}

void TestBroker::collect() const
{
    if (!m_process)
        return;
    if (m_process->state() == QProcess::Running)
        m_process->waitForReadyRead(0); // takes what is in the pipe without the event loop
    m_log += m_process->readAll();
}

QString TestBroker::log() const
{
    collect();
    return QString::fromUtf8(m_log);
}

int TestBroker::count(QString const &fragment) const
{
    collect();
    int n = 0;
    const QList<QByteArray> lines = m_log.split('\n');
    const QByteArray needle = fragment.toUtf8();
    for (QByteArray const &line : lines) {
        if (line.contains(needle))
            ++n;
    }
    return n;
}

bool TestBroker::waitForLog(QString const &fragment, int times, int msec) const
{
    return QTest::qWaitFor([&] { return count(fragment) >= times; }, msec);
}
