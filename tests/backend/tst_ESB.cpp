#include "backend/ESB.h"

#include "StoreDir.h"
#include "app/Config.h"
#include "fakes/CoarseTimer.h"
#include "fakes/DeferredProbe.h"
#include "fakes/FakeGateService.h"
#include "fakes/LogCapture.h"
#include "fakes/PeakMemory.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QtTest>

#include <memory>

using Backend::ESB;

namespace {

using Outcome = DeferredProbe<ESB::Response>;

ESB::Request laneRequest()
{
    ESB::Request request;
    request.timestamp = QDateTime::fromString(QStringLiteral("2024-05-06T07:08:09"), Qt::ISODate);
    request.deviceId = QStringLiteral("SN-1");
    request.customsId = QStringLiteral("12");
    request.locationId = QStringLiteral("7");
    request.cardId = QStringLiteral("04A1B2C3");
    request.plateDatabaseId = QStringLiteral("p-99");
    return request;
}

} // namespace

class tst_ESB : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<StoreDir> m_dir;
    std::unique_ptr<Config> m_config;
    std::unique_ptr<FakeGateService> m_gate;
    std::unique_ptr<ESB> m_esb;

    Deferred<ESB::Response> send(const QString &kind)
    {
        return kind == QLatin1String("entry") ? m_esb->requestEntry(laneRequest()) : m_esb->requestExit(laneRequest());
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<StoreDir>();
        m_config = std::make_unique<Config>(m_dir->filePath(QStringLiteral("gui.conf")),
                                            QMap<QString, QVariant>{{"esb/url", ""}, {"esb/responseTimeoutMsec", 5000}});
        m_gate = std::make_unique<FakeGateService>();
        QVERIFY(m_gate->start());
        m_gate->configure(*m_config);
        m_esb = std::make_unique<ESB>(*m_config);
    }

    void cleanup()
    {
        m_esb.reset();
        m_gate.reset();
        m_config.reset();
        m_dir.reset();
    }

    void requests_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("word");
        QTest::newRow("entry") << "entry" << FakeGateService::EntryPath << "Entry";
        QTest::newRow("exit") << "exit" << FakeGateService::ExitPath << "Exit";
    }
    void requests()
    {
        QFETCH(QString, kind);
        QFETCH(QString, path);
        QFETCH(QString, word);
        LogCapture log;
        Outcome outcome(send(kind));
        QVERIFY(outcome.waitSettled(15000));
        QVERIFY(outcome.resolved());
        QCOMPARE(outcome.value().status, 200);
        QCOMPARE(outcome.value().body, QStringLiteral("ALLOWED"));
        QVERIFY(log.contains(QtInfoMsg, QStringLiteral("[Backend::ESB] Performing '%1' request").arg(word)));

        QCOMPARE(m_gate->requests().size(), 1);
        const FakeGateService::Request request = m_gate->requests().first();
        QCOMPARE(request.path, path);
        QCOMPARE(request.json, (QJsonObject{{"timestamp", "2024-05-06T07:08:09"},
                                            {"deviceId", "SN-1"},
                                            {"customsId", "12"},
                                            {"locationId", "7"},
                                            {"cardId", "04A1B2C3"},
                                            {"plateDatabaseId", "p-99"}}));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.header("User-Agent"), QByteArray("vorn/terminal"));
        QVERIFY(request.header("X-API-Key").isEmpty());
    }

    void answers_data()
    {
        QTest::addColumn<FakeHttpResponse>("response");
        QTest::addColumn<bool>("resolved");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        QTest::newRow("text") << FakeHttpResponse::text(200, "GO") << true << 200 << "GO";
        QTest::newRow("JSON object") << FakeHttpResponse::json(200, QJsonObject{{"allowed", true}}) << true << 200 << "";
        QTest::newRow("403 text") << FakeHttpResponse::text(403, "DENIED") << false << 403
                                  << "Error transferring %1 - server replied: Forbidden";
        QTest::newRow("403 JSON object") << FakeHttpResponse::json(403, QJsonObject{{"reason", "blocked"}}) << false
                                         << 403 << "";
        QTest::newRow("500") << FakeHttpResponse::text(500, "boom") << false << 500
                             << "Error transferring %1 - server replied: Internal Server Error";
        QTest::newRow("hang-up") << FakeHttpResponse::hangUp() << false << 0 << "*";
        QTest::newRow("not HTTP") << FakeHttpResponse::raw("garbage\r\n\r\n") << false << 0 << "*";
    }
    void answers()
    {
        QFETCH(FakeHttpResponse, response);
        QFETCH(bool, resolved);
        QFETCH(int, status);
        QFETCH(QString, body);
        m_gate->setResponse(FakeGateService::EntryPath, response);
        LogCapture log;
        Outcome outcome(m_esb->requestEntry(laneRequest()));
        QVERIFY(outcome.waitSettled(15000));
        QCOMPARE(outcome.resolved(), resolved);
        QCOMPARE(outcome.value().status, status);
        const QString url = m_gate->url().toString() + FakeGateService::EntryPath;
        if (body == QLatin1String("*"))
            QVERIFY(!outcome.value().body.isEmpty());
        else
            QCOMPARE(outcome.value().body, body.arg(url));
        const QString failed = QStringLiteral("[Backend::ESB] ERROR: Operation failed : (%1) ").arg(status);
        if (resolved) {
            QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[Backend::ESB] ")), 0);
        } else {
            QCOMPARE(log.count(QtCriticalMsg, failed), 1);
        }
    }

    // The service packs its answer though asked not to: a gigabyte in a megabyte is refused
    // before a byte of it is unpacked.
    void packedAnswerRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("encoding");
        QTest::newRow("entry, gzip") << "entry" << FakeGateService::EntryPath << QByteArray("gzip");
        QTest::newRow("exit, deflate") << "exit" << FakeGateService::ExitPath << QByteArray("deflate");
    }
    void packedAnswerRefused()
    {
        QFETCH(QString, kind);
        QFETCH(QString, path);
        QFETCH(QByteArray, encoding);
        m_gate->setResponse(path, FakeHttpResponse::packed(encoding, qint64(1) << 30));
        LogCapture log;
        PeakMemory peak;
        QVERIFY(peak.isValid());
        Outcome outcome(send(kind));
        QVERIFY(outcome.waitSettled(30000));
        QVERIFY2(peak.growth() < 32 * 1024 * 1024, qPrintable(QString::number(peak.growth())));
        QVERIFY(outcome.rejected());
        QCOMPARE(outcome.value().status, 200);
        const QString refusal = QStringLiteral("Reply refused (Content-Encoding '%1')").arg(QString::fromLatin1(encoding));
        QCOMPARE(outcome.value().body, refusal);
        QVERIFY(log.contains(QtCriticalMsg, QStringLiteral("[Backend::ESB] ERROR: Operation failed : (200) ") + refusal));
        QCOMPARE(m_gate->requests().size(), 1);
        QCOMPARE(m_gate->requests().first().header("Accept-Encoding"), QByteArray("identity"));
    }

    // The request holds the card's id: a redirect to another server neither takes it there nor
    // brings back that server's decision.
    void redirectElsewhereRefused()
    {
        FakeHttpServer elsewhere;
        elsewhere.setDefaultResponse(FakeHttpResponse::text(200, "ALLOWED"));
        QVERIFY(elsewhere.start());
        const QString target = elsewhere.url(FakeGateService::EntryPath).toString();
        m_gate->setResponse(FakeGateService::EntryPath, FakeHttpResponse::redirect(307, target));
        Outcome outcome(send(QStringLiteral("entry")));
        QVERIFY(outcome.waitSettled(15000));
        QVERIFY(outcome.rejected());
        QCOMPARE(outcome.value().status, 307);
        QCOMPARE(outcome.value().body, QStringLiteral("Redirect refused (another server, request with a body) : ") + target);
        QCOMPARE(elsewhere.acceptedConnections(), 0);
    }

    void unsetUrlFailsAtOnce()
    {
        m_config->set(QStringLiteral("esb/url"), QString());
        LogCapture log;
        Outcome outcome(m_esb->requestExit(laneRequest()));
        QVERIFY(outcome.rejected());
        QCOMPARE(outcome.value().status, 0);
        QCOMPARE(outcome.value().body, QStringLiteral("Invalid URL"));
        QVERIFY(log.contains(QtCriticalMsg, QStringLiteral("[Backend::ESB] ERROR: Operation failed : (0) Invalid URL")));
        QCOMPARE(m_gate->requests().size(), 0);
    }

    void silentServiceTimesOut()
    {
        m_config->set(QStringLiteral("esb/responseTimeoutMsec"), 600);
        m_gate->setResponse(FakeGateService::EntryPath, FakeHttpResponse::noAnswer());
        QElapsedTimer clock;
        clock.start();
        Outcome outcome(m_esb->requestEntry(laneRequest()));
        QVERIFY(outcome.waitSettled(15000));
        QVERIFY(outcome.rejected());
        QCOMPARE(outcome.value().status, 0);
        QVERIFY2(clock.elapsed() >= coarseTimerEarliest(600), qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(m_gate->count(FakeGateService::EntryPath), 1);
    }

    // No limit would hold the lane for as long as the service keeps silent.
    void unsetTimeOutUsesTheDefault_data()
    {
        QTest::addColumn<int>("setting");
        QTest::newRow("0") << 0;
        QTest::newRow("negative") << -1;
    }
    void unsetTimeOutUsesTheDefault()
    {
        QFETCH(int, setting);
        m_config->set(QStringLiteral("esb/responseTimeoutMsec"), setting);
        m_gate->setResponse(FakeGateService::EntryPath, FakeHttpResponse::noAnswer());
        QElapsedTimer clock;
        clock.start();
        Outcome outcome(m_esb->requestEntry(laneRequest()));
        QVERIFY(outcome.waitSettled(30000));
        QVERIFY(outcome.rejected());
        QCOMPARE(outcome.value().status, 0);
        QVERIFY2(clock.elapsed() >= coarseTimerEarliest(5000), qPrintable(QString::number(clock.elapsed())));
    }

    void hugeAnswerIsCutInTheLog()
    {
        const QString big(2 * 1024 * 1024, QLatin1Char('z'));
        m_gate->setResponse(FakeGateService::ExitPath, FakeHttpResponse::json(403, QJsonObject{{"detail", big}}));
        LogCapture log;
        Outcome outcome(m_esb->requestExit(laneRequest()));
        QVERIFY(outcome.waitSettled(15000));
        QVERIFY(outcome.rejected());
        QCOMPARE(outcome.value().status, 403);
        QVERIFY(log.contains(QtCriticalMsg, QStringLiteral("[Backend::ESB] ERROR: Operation failed : (403) {\"detail\":\"zzz")));
        for (const QString &line : log.texts())
            QVERIFY2(line.size() < 8192, qPrintable(line.left(200)));
    }
};

QTEST_GUILESS_MAIN(tst_ESB)
#include "tst_ESB.moc"
