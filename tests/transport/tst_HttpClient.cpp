#include "transport/HttpClient.h"

#include "fakes/CoarseTimer.h"
#include "fakes/DeferredProbe.h"
#include "fakes/EventLoopWait.h"
#include "fakes/FakeHttpServer.h"
#include "fakes/LogCapture.h"
#include "fakes/TestCertificates.h"
#include "fakes/WaitingPipe.h"

#include <QAuthenticator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <memory>

namespace {

// An exchange as the shared probe records it, with its values named.
class Outcome : public DeferredProbe<int, QJsonValue>
{
public:
    using DeferredProbe::DeferredProbe;

    // -1 until the exchange settles.
    int status() const { return settled() ? value<0>() : -1; }
    QJsonValue const &payload() const { return value<1>(); }
    // The progress reports as percentage and text.
    QList<QPair<int, QString>> progress() const
    {
        QList<QPair<int, QString>> steps;
        for (auto const &[percent, text] : notifications())
            steps.append({percent, text.toString()});
        return steps;
    }
};

// Waits until the exchange settles.
Outcome await(HttpClient::Result result, int msec = 15000)
{
    Outcome const outcome(result);
    if (!waitUntil([&outcome] { return outcome.settled(); }, msec))
        qWarning("exchange did not settle in %d msec", msec);
    return outcome;
}

QJsonValue json(QByteArray const &text)
{
    QJsonDocument const doc = QJsonDocument::fromJson(text);
    return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
}

// The client's operation for an HTTP method name.
HttpClient::Result send(HttpClient &client, QString const &verb, QUrl const &url, QJsonValue const &data)
{
    if (verb == QLatin1String("GET"))
        return client.get(url);
    if (verb == QLatin1String("DELETE"))
        return client.del(url);
    if (verb == QLatin1String("PUT"))
        return client.put(url, data);
    return client.post(url, data);
}

enum class Identity { Own, Other, None, Missing };

// What changes in the client's TLS set-up between two requests.
enum class SetUpChange { None, Certificate, RenewedFiles, RootCA, IgnoreErrorsOn, IgnoreErrorsOff };

bool copyOver(QString const &from, QString const &to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

} // namespace

Q_DECLARE_METATYPE(Identity)
Q_DECLARE_METATYPE(SetUpChange)

class TestHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void verbsAndBodies_data();
    void verbsAndBodies();
    void callableByName();
    void responsePayload_data();
    void responsePayload();
    void headersSentInNameOrder();
    void invalidUrl_data();
    void invalidUrl();
    void noHttpAnswer_data();
    void noHttpAnswer();
    void timeouts_data();
    void timeouts();
    void progress_data();
    void progress();
    void bytesToStr_data();
    void bytesToStr();

    void redirectFollowedWithSameVerb_data();
    void redirectFollowedWithSameVerb();
    void redirectChainLimit_data();
    void redirectChainLimit();
    void redirectLeavingTlsRefused();
    void redirectToOtherSchemeRefused_data();
    void redirectToOtherSchemeRefused();

    void redirectToOtherServer_data();
    void redirectToOtherServer();

    void replySizeBound_data();
    void replySizeBound();
    void replyValueBound_data();
    void replyValueBound();
    void packedAnswerRefused_data();
    void packedAnswerRefused();

    void tls_data();
    void tls();
    void tlsSetUpChangeDropsConnections_data();
    void tlsSetUpChangeDropsConnections();
    void tlsSetUpChangeSparesRepliesUnderWay();
    void tlsErrorsLoggedAndIgnored_data();
    void tlsErrorsLoggedAndIgnored();
    void tlsFileRefused_data();
    void tlsFileRefused();
    void credentials();
    void clientGoneWhileWaiting();
    void otherThreadGetsItsOwnManager();
    void clientDeletedInItsOwnCallback_data();
    void clientDeletedInItsOwnCallback();
    void newClientOnThreadAfterOldOneGone();

private:
    std::unique_ptr<TestCertificates> m_own;
    std::unique_ptr<TestCertificates> m_other;
};

void TestHttpClient::initTestCase()
{
    m_own = std::make_unique<TestCertificates>(QStringLiteral("Back Office"));
    QVERIFY2(m_own->isValid(), qPrintable(m_own->errorString()));
    m_other = std::make_unique<TestCertificates>(QStringLiteral("Stranger"));
    QVERIFY2(m_other->isValid(), qPrintable(m_other->errorString()));
    QVERIFY(m_other->issue(QStringLiteral("elsewhere"), QStringLiteral("elsewhere.example"),
                           QStringLiteral("DNS:elsewhere.example")));
}

void TestHttpClient::verbsAndBodies_data()
{
    QTest::addColumn<QString>("verb");
    QTest::addColumn<QJsonValue>("data");
    QTest::addColumn<QByteArray>("sent");

    QJsonObject const object{{"plate", "ABC1234"}, {"lane", 2}};
    QTest::newRow("GET") << "GET" << QJsonValue() << QByteArray();
    QTest::newRow("DELETE") << "DELETE" << QJsonValue() << QByteArray();
    QTest::newRow("PUT object") << "PUT" << QJsonValue(object) << QByteArray(R"({"lane":2,"plate":"ABC1234"})");
    QTest::newRow("POST array") << "POST" << QJsonValue(QJsonArray{1, "two", true}) << QByteArray(R"([1,"two",true])");
    QTest::newRow("PUT string, UTF-8 without quotes") << "PUT" << QJsonValue(QStringLiteral("Καλημέρα ok")) << QStringLiteral("Καλημέρα ok").toUtf8();
    QTest::newRow("POST number sends nothing") << "POST" << QJsonValue(42) << QByteArray();
    QTest::newRow("PUT bool sends nothing") << "PUT" << QJsonValue(true) << QByteArray();
    QTest::newRow("POST null sends nothing") << "POST" << QJsonValue() << QByteArray();
}

void TestHttpClient::verbsAndBodies()
{
    QFETCH(QString, verb);
    QFETCH(QJsonValue, data);
    QFETCH(QByteArray, sent);

    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse(verb, QStringLiteral("/api/v1/device/x"), FakeHttpResponse::json(200, QJsonObject{{"verb", verb}}));
    QUrl const url = server.url(QStringLiteral("/api/v1/device/x?id=7"));

    LogCapture log;
    HttpClient client;
    HttpClient::Result result = send(client, verb, url, data);
    Outcome const outcome = await(result);
    QVERIFY(outcome.resolved());
    QCOMPARE(outcome.status(), 200);
    QCOMPARE(outcome.payload(), QJsonValue(QJsonObject{{"verb", verb}}));

    QCOMPARE(server.requestCount(), 1);
    FakeHttpRequest const request = server.lastRequest();
    QCOMPARE(request.method, verb);
    QCOMPARE(request.target, QStringLiteral("/api/v1/device/x?id=7"));
    QCOMPARE(request.body, sent);

    QStringList const info = log.texts(QtInfoMsg);
    QVERIFY(info.contains(QStringLiteral("[HttpClient] Performing %1 request : %2").arg(verb, url.toString())));
    bool const withBody = verb == "PUT" || verb == "POST";
    QCOMPARE(log.count(QtInfoMsg, QStringLiteral("[HttpClient] Data : ")), withBody ? 1 : 0);
    QVERIFY(log.texts(QtDebugMsg).contains(QStringLiteral("[HttpClient] Received response for : ") + url.toString()));
}

void TestHttpClient::callableByName()
{
    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/a", FakeHttpResponse::text(200, "a"));
    server.setResponse("POST", "/b", FakeHttpResponse::noAnswer());

    HttpClient client;
    HttpClient::Result first;
    QVERIFY(QMetaObject::invokeMethod(&client, "get", Q_RETURN_ARG(HttpClient::Result, first), Q_ARG(QUrl, server.url("/a"))));
    Outcome const a = await(first);
    QVERIFY(a.resolved());
    QCOMPARE(a.payload(), QJsonValue("a"));

    HttpClient::Result second;
    QVERIFY(QMetaObject::invokeMethod(&client, "post", Q_RETURN_ARG(HttpClient::Result, second), Q_ARG(QUrl, server.url("/b")),
                                      Q_ARG(QJsonValue, QJsonValue("x")), Q_ARG(int, 100)));
    Outcome const b = await(second);
    QVERIFY(b.settled() && !b.resolved());
    QCOMPARE(b.status(), 0);
}

void TestHttpClient::responsePayload_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QJsonValue>("payload"); // undefined: the reply's error text

    QJsonValue const errorText(QJsonValue::Undefined);
    QTest::newRow("200 object") << 200 << QByteArray(R"({"apiKey":"k1","n":3})") << true << json(R"({"apiKey":"k1","n":3})");
    QTest::newRow("200 array") << 200 << QByteArray(R"([{"id":1},{"id":2}])") << true << json(R"([{"id":1},{"id":2}])");
    QTest::newRow("200 OK text") << 200 << QByteArray("OK") << true << QJsonValue("OK");
    QTest::newRow("200 empty") << 200 << QByteArray() << true << QJsonValue("");
    QTest::newRow("201 object") << 201 << QByteArray(R"({"id":9})") << true << json(R"({"id":9})");
    QTest::newRow("brace but broken JSON") << 200 << QByteArray("{not json") << true << QJsonValue(QJsonObject());
    QTest::newRow("object after a blank is text") << 200 << QByteArray(R"( {"a":1})") << true << QJsonValue(R"( {"a":1})");
    QTest::newRow("text up to NUL") << 200 << QByteArray("abc\0def", 7) << true << QJsonValue("abc");
    QTest::newRow("UTF-8 text") << 200 << QStringLiteral("Τελωνείο").toUtf8() << true << QJsonValue(QStringLiteral("Τελωνείο"));
    QTest::newRow("404 object") << 404 << QByteArray(R"({"error":"unknown device"})") << false << json(R"({"error":"unknown device"})");
    QTest::newRow("404 array") << 404 << QByteArray("[1,2]") << false << errorText;
    QTest::newRow("404 text") << 404 << QByteArray("no such thing") << false << errorText;
    QTest::newRow("500 broken JSON is an empty object") << 500 << QByteArray("{oops") << false << QJsonValue(QJsonObject());
    QTest::newRow("403 empty") << 403 << QByteArray() << false << errorText;
}

void TestHttpClient::responsePayload()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, resolved);
    QFETCH(QJsonValue, payload);

    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/r", FakeHttpResponse::text(status, body));
    HttpClient client;
    Outcome const outcome = await(client.get(server.url("/r")));
    QVERIFY(outcome.settled());
    QCOMPARE(outcome.resolved(), resolved);
    QCOMPARE(outcome.status(), status);
    if (payload.isUndefined()) {
        // The network layer's text, which quotes the server's reason phrase.
        QVERIFY(outcome.payload().isString());
        QVERIFY2(outcome.payload().toString().contains(QStringLiteral("server replied")), qPrintable(outcome.payload().toString()));
        QVERIFY(outcome.payload().toString() != QString::fromUtf8(body));
    } else {
        QCOMPARE(outcome.payload(), payload);
    }
}

void TestHttpClient::headersSentInNameOrder()
{
    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/h", FakeHttpResponse::text(200, "OK"));

    HttpClient client;
    client.setHeader(QStringLiteral("User-Agent"), QStringLiteral("first"));
    client.setHeader(QStringLiteral("X-API-Key"), QStringLiteral("secret-1"));
    client.setHeader(QStringLiteral("Content-Type"), QStringLiteral("application/json"));
    client.setHeader(QStringLiteral("User-Agent"), QStringLiteral("vorn-terminal"));
    QCOMPARE(client.headers().keys(), (QStringList{"Content-Type", "User-Agent", "X-API-Key"}));
    QVERIFY(await(client.get(server.url("/h"))).resolved());

    // The header map is read for every request: a changed key reaches the next one.
    client.setHeader(QStringLiteral("X-API-Key"), QStringLiteral("secret-2"));
    QVERIFY(await(client.get(server.url("/h"))).resolved());

    QCOMPARE(server.requestCount(), 2);
    FakeHttpRequest const first = server.requests().at(0);
    QCOMPARE(first.header("User-Agent"), QByteArray("vorn-terminal"));
    QCOMPARE(first.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(first.header("X-API-Key"), QByteArray("secret-1"));
    QStringList const names = first.headerNames();
    QVERIFY(names.indexOf("Content-Type") >= 0);
    QVERIFY(names.indexOf("Content-Type") < names.indexOf("User-Agent"));
    QVERIFY(names.indexOf("User-Agent") < names.indexOf("X-API-Key"));
    QCOMPARE(server.requests().at(1).header("X-API-Key"), QByteArray("secret-2"));
}

void TestHttpClient::invalidUrl_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::newRow("empty") << QUrl();
    QTest::newRow("malformed") << QUrl(QStringLiteral("http://[::1"));
}

void TestHttpClient::invalidUrl()
{
    QFETCH(QUrl, url);
    LogCapture log;
    HttpClient client;

    HttpClient::Result result = client.get(url);
    QCOMPARE(result.state(), DeferredDataBase::Rejected);
    int status = -1;
    QJsonValue payload;
    result.fail([&](int s, QJsonValue p) {
        status = s;
        payload = p;
    });
    QCOMPARE(status, 0); // ran at once, inside fail()
    QCOMPARE(payload, QJsonValue("Invalid URL"));
    QCOMPARE(log.count(QtInfoMsg, QStringLiteral("[HttpClient] Performing GET request : ")), 1);
    QCOMPARE(log.texts(QtCriticalMsg), QStringList{QStringLiteral("[HttpClient] ERROR: Invalid URL : ") + url.toString()});
    QCOMPARE(log.count(QtDebugMsg, QStringLiteral("Creating new Network Access Manager")), 0);

    // The manager comes with the first request sent, once per thread.
    FakeHttpServer server;
    QVERIFY(server.start());
    await(client.get(server.url()));
    await(client.del(server.url()));
    QCOMPARE(log.texts(QtDebugMsg).count(QStringLiteral("[HttpClient] Creating new Network Access Manager for thread ")), 1);
}

void TestHttpClient::noHttpAnswer_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("server hangs up") << "hangup";
    QTest::newRow("answer is not HTTP") << "garbage";
    QTest::newRow("connection refused") << "refused";
    QTest::newRow("unknown scheme") << "scheme";
}

void TestHttpClient::noHttpAnswer()
{
    QFETCH(QString, kind);
    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("*", "/x", kind == "hangup" ? FakeHttpResponse::hangUp()
                                                   : FakeHttpResponse::raw("SSH-2.0-OpenSSH_9.2\r\nnot http at all\r\n\r\n"));
    QUrl url = server.url("/x");
    if (kind == "refused") {
        server.close(); // the port is free again, nobody listens
    } else if (kind == "scheme") {
        url.setScheme(QStringLiteral("gopherx"));
    }
    HttpClient client;
    Outcome const outcome = await(client.post(url, QJsonObject{{"a", 1}}));
    QVERIFY(outcome.settled());
    QVERIFY(!outcome.resolved());
    QCOMPARE(outcome.status(), 0);
    QVERIFY(outcome.payload().isString());
    QVERIFY(!outcome.payload().toString().isEmpty());
}

void TestHttpClient::timeouts_data()
{
    QTest::addColumn<FakeHttpResponse>("response");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<int>("status");

    QTest::newRow("no answer: aborted, status 0") << FakeHttpResponse::noAnswer() << 300 << false << 0;
    QTest::newRow("status line came, body stalls")
        << FakeHttpResponse::partial("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"partial\":") << 300 << false << 200;
    QTest::newRow("slow answer inside the time-out") << FakeHttpResponse::text(200, "late").withDelay(100) << 10000 << true << 200;
    QTest::newRow("time-out 0 waits") << FakeHttpResponse::text(200, "late").withDelay(400) << 0 << true << 200;
    QTest::newRow("negative time-out waits") << FakeHttpResponse::text(200, "late").withDelay(400) << -5 << true << 200;
}

void TestHttpClient::timeouts()
{
    QFETCH(FakeHttpResponse, response);
    QFETCH(int, timeout);
    QFETCH(bool, resolved);
    QFETCH(int, status);

    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/slow", response);
    LogCapture log;
    HttpClient client;
    QElapsedTimer clock;
    clock.start();
    Outcome const outcome = await(client.get(server.url("/slow"), timeout));
    QVERIFY(outcome.settled());
    QCOMPARE(outcome.resolved(), resolved);
    QCOMPARE(outcome.status(), status);
    QString const line = QStringLiteral("[HttpClient] ERROR: Request timed-out (timeout=%1 msec). Aborting.").arg(timeout);
    if (resolved) {
        QCOMPARE(outcome.payload(), QJsonValue("late"));
        QVERIFY(log.texts(QtCriticalMsg).isEmpty());
    } else {
        QVERIFY2(clock.elapsed() >= coarseTimerEarliest(timeout), qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(log.texts(QtCriticalMsg), QStringList{line});
        // The aborted reply keeps nothing of its body: the failure is the error text.
        QVERIFY(outcome.payload().isString() && !outcome.payload().toString().isEmpty());
        // Aborting closes the connection: the server sees it go.
        QTRY_COMPARE(server.openConnections(), 0);
    }
}

void TestHttpClient::progress_data()
{
    QTest::addColumn<FakeHttpResponse>("response");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("text");

    QByteArray const head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n";
    // Pieces well apart, so that every one of them is reported.
    QTest::newRow("whole body, length known") << FakeHttpResponse::text(200, QByteArray(1000, 'z')) << 100
                                              << "Downloaded 1.0 KB / 1.0 KB";
    QTest::newRow("500 of 1000 bytes")
        << FakeHttpResponse::partial(head + "Content-Length: 1000\r\n\r\n" + QByteArray(500, 'z')) << 50
        << "Downloaded 0.5 KB / 1.0 KB";
    // Qt reports download progress at most every 100 ms: the last 10 bytes come a second after
    // the rest, so their report is never swallowed, however the bulk was read.
    QByteArray const unsized = head + "\r\n" + QByteArray(2500000, 'z');
    QTest::newRow("2.5 MB of a total not reported")
        << FakeHttpResponse::partial(unsized).inPieces(unsized.size() - 10, 1000) << 0
        << "Downloaded 2.5 MB / -- KB";
}

void TestHttpClient::progress()
{
    QFETCH(FakeHttpResponse, response);
    QFETCH(int, percent);
    QFETCH(QString, text);

    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/download", response);
    HttpClient client;
    // Partial answers end with the time-out.
    Outcome const outcome = await(client.get(server.url("/download"), 3000));
    QVERIFY(outcome.settled());
    QString seen;
    QDebug(&seen) << outcome.progress();
    QVERIFY2(outcome.progress().contains(qMakePair(percent, text)), qPrintable(seen));
    for (auto const &step : outcome.progress())
        QVERIFY(step.first >= 0 && step.first <= 100);
}

void TestHttpClient::bytesToStr_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("unknown") << qint64(-1) << "-- KB";
    QTest::newRow("zero") << qint64(0) << "0.0 KB";
    QTest::newRow("500") << qint64(500) << "0.5 KB";
    QTest::newRow("10^6 stays KB") << qint64(1000000) << "1000.0 KB";
    QTest::newRow("10^6 + 1") << qint64(1000001) << "1.0 MB";
    QTest::newRow("2.5 MB") << qint64(2500000) << "2.5 MB";
    QTest::newRow("10^9 stays MB") << qint64(1000000000) << "1000.0 MB";
    QTest::newRow("10^9 + 1") << qint64(1000000001) << "1.0 GB";
    QTest::newRow("rounded") << qint64(1260) << "1.3 KB";
}

void TestHttpClient::bytesToStr()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(HttpClient::bytesToStr(bytes), text);
}

void TestHttpClient::redirectFollowedWithSameVerb_data()
{
    QTest::addColumn<QString>("verb");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("location"); // relative to the first URL, or absolute with %1 for the port
    QTest::newRow("POST 303 relative") << "POST" << 303 << "next?x=1";
    QTest::newRow("GET 301 absolute path") << "GET" << 301 << "/api/next?x=1";
    QTest::newRow("PUT 302 absolute URL") << "PUT" << 302 << "http://127.0.0.1:%1/api/next?x=1";
    QTest::newRow("DELETE 307") << "DELETE" << 307 << "next?x=1";
    QTest::newRow("POST 308") << "POST" << 308 << "next?x=1";
}

void TestHttpClient::redirectFollowedWithSameVerb()
{
    QFETCH(QString, verb);
    QFETCH(int, status);
    QFETCH(QString, location);

    FakeHttpServer server;
    QVERIFY(server.start());
    if (location.contains("%1"))
        location = location.arg(server.serverPort());
    server.setResponse(verb, "/api/first", FakeHttpResponse::redirect(status, location));
    server.setResponse(verb, "/api/next", FakeHttpResponse::json(200, QJsonObject{{"filler", QString(1500, 'f')}}));

    LogCapture log;
    HttpClient client;
    QJsonObject const data{{"id", 5}};
    QUrl const first = server.url("/api/first");
    HttpClient::Result result = send(client, verb, first, data);
    Outcome const outcome = await(result);
    QVERIFY(outcome.resolved());
    QCOMPARE(outcome.status(), 200);
    QCOMPARE(outcome.payload().toObject().value("filler").toString().size(), 1500);
    // Progress of the second hop reaches the caller.
    QVERIFY(!outcome.progress().isEmpty());
    QCOMPARE(outcome.progress().last().first, 100);

    QCOMPARE(server.requestCount(), 2);
    FakeHttpRequest const second = server.requests().at(1);
    QCOMPARE(second.method, verb);
    QCOMPARE(second.target, QStringLiteral("/api/next?x=1"));
    QCOMPARE(second.body, server.requests().at(0).body);
    if (verb == "PUT" || verb == "POST")
        QCOMPARE(second.body, QByteArray(R"({"id":5})"));
    QString const target = server.url("/api/next?x=1").toString();
    QStringList const warnings = log.texts(QtWarningMsg).filter(QStringLiteral("[HttpClient]"));
    QCOMPARE(warnings, QStringList{QStringLiteral("[HttpClient] WARN: Request was redirected to : ") + target});
    QCOMPARE(log.count(QtInfoMsg, QStringLiteral("[HttpClient] Performing %1 request : ").arg(verb)), 2);
}

void TestHttpClient::redirectChainLimit_data()
{
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("resolved");
    QTest::newRow("one hop") << 1 << true;
    QTest::newRow("five hops") << 5 << true;
    QTest::newRow("six hops refused") << 6 << false;
    QTest::newRow("endless loop refused") << -1 << false;
}

void TestHttpClient::redirectChainLimit()
{
    QFETCH(int, hops);
    QFETCH(bool, resolved);

    FakeHttpServer server;
    QVERIFY(server.start());
    if (hops < 0) {
        server.setResponse("GET", "/r0", FakeHttpResponse::redirect(302, "/r0"));
    } else {
        for (int i = 0; i < hops; ++i)
            server.setResponse("GET", QStringLiteral("/r%1").arg(i), FakeHttpResponse::redirect(302, QStringLiteral("/r%1").arg(i + 1)));
        server.setResponse("GET", QStringLiteral("/r%1").arg(hops), FakeHttpResponse::text(200, "arrived"));
    }

    LogCapture log;
    HttpClient client;
    Outcome const outcome = await(client.get(server.url("/r0")));
    QVERIFY(outcome.settled());
    QCOMPARE(outcome.resolved(), resolved);
    if (resolved) {
        QCOMPARE(outcome.payload(), QJsonValue("arrived"));
        QCOMPARE(server.requestCount(), hops + 1);
    } else {
        QCOMPARE(outcome.status(), 302);
        QVERIFY2(outcome.payload().toString().startsWith(QStringLiteral("Redirect refused (more than 5 redirects) : ")),
                 qPrintable(outcome.payload().toString()));
        QCOMPARE(server.requestCount(), HttpClient::MaxRedirects + 1);
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[HttpClient] ERROR: Redirect refused (more than 5 redirects) : ")), 1);
    }
}

void TestHttpClient::redirectLeavingTlsRefused()
{
    FakeHttpServer plain;
    QVERIFY(plain.start());
    plain.setDefaultResponse(FakeHttpResponse::text(200, "should not be reached"));

    FakeHttpServer tls;
    tls.setTls(m_own->serverCertificate(), m_own->serverKey(), {m_own->caCertificate()}, true);
    QVERIFY(tls.start());
    tls.setResponse("POST", "/api/v1/device/heartbeat", FakeHttpResponse::redirect(301, plain.url("/steal").toString()));
    tls.setResponse("POST", "/api/v1/device/moved", FakeHttpResponse::redirect(307, "/api/v1/device/heartbeat2"));
    tls.setResponse("POST", "/api/v1/device/heartbeat2", FakeHttpResponse::json(200, QJsonObject{{"ok", true}}));

    HttpClient client;
    client.setHeader("X-API-Key", "secret");
    client.setTLSCert(m_own->clientCertPath());
    client.setTLSKey(m_own->clientKeyPath());
    client.setTLSRootCA(m_own->caCertPath());

    LogCapture log;
    Outcome const refused = await(client.post(tls.url("/api/v1/device/heartbeat"), QJsonObject{{"status", "Ready"}}));
    QVERIFY(refused.settled() && !refused.resolved());
    QCOMPARE(refused.status(), 301);
    QCOMPARE(refused.payload(), QJsonValue(QStringLiteral("Redirect refused (https to http) : ") + plain.url("/steal").toString()));
    QCOMPARE(plain.requestCount(), 0);
    QCOMPARE(plain.acceptedConnections(), 0);
    QCOMPARE(log.count(QtWarningMsg, QStringLiteral("redirected")), 0);

    // Staying on TLS is fine.
    Outcome const followed = await(client.post(tls.url("/api/v1/device/moved"), QJsonObject{{"status", "Ready"}}));
    QVERIFY(followed.resolved());
    QCOMPARE(followed.payload(), QJsonValue(QJsonObject{{"ok", true}}));
    QCOMPARE(tls.lastRequest().header("X-API-Key"), QByteArray("secret"));
}

void TestHttpClient::redirectToOtherSchemeRefused_data()
{
    QTest::addColumn<QString>("location");
    QTest::newRow("local file") << "file:///etc/passwd";
    QTest::newRow("ftp") << "ftp://127.0.0.1/x";
    QTest::newRow("data") << "data:text/plain,hello";
}

void TestHttpClient::redirectToOtherSchemeRefused()
{
    QFETCH(QString, location);
    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/r", FakeHttpResponse::redirect(302, location));
    HttpClient client;
    Outcome const outcome = await(client.get(server.url("/r")));
    QVERIFY(outcome.settled() && !outcome.resolved());
    QCOMPARE(outcome.status(), 302);
    QVERIFY2(outcome.payload().toString().startsWith(QStringLiteral("Redirect refused (unsupported scheme '")),
             qPrintable(outcome.payload().toString()));
}

void TestHttpClient::redirectToOtherServer_data()
{
    QTest::addColumn<QString>("verb");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("firstTls");
    QTest::addColumn<QString>("change"); // where the redirect leads
    QTest::addColumn<bool>("followed");
    QTest::addColumn<bool>("credentials");

    QTest::newRow("POST, same server, other path") << "POST" << 307 << true << "path" << true << true;
    QTest::newRow("PUT, same server, other path") << "PUT" << 308 << true << "path" << true << true;
    QTest::newRow("GET, other port") << "GET" << 307 << true << "port" << true << false;
    QTest::newRow("GET, other host name, same port") << "GET" << 302 << true << "host" << true << false;
    QTest::newRow("GET, plain to TLS") << "GET" << 301 << false << "scheme" << true << false;
    QTest::newRow("DELETE, other port") << "DELETE" << 307 << true << "port" << true << false;
    QTest::newRow("POST, other port") << "POST" << 307 << true << "port" << false << false;
    QTest::newRow("POST 308, other host name, same port") << "POST" << 308 << true << "host" << false << false;
    QTest::newRow("POST 303, other port") << "POST" << 303 << true << "port" << false << false;
    QTest::newRow("POST 301, other port") << "POST" << 301 << true << "port" << false << false;
    QTest::newRow("PUT 302, plain to TLS") << "PUT" << 302 << false << "scheme" << false << false;
    QTest::newRow("POST, same server first, then another") << "POST" << 307 << true << "chain" << false << false;
}

// A redirect may lead anywhere: the API key and the client certificate stay with the server
// they were set up for, and so does a request's body, which holds what devices and peers sent.
void TestHttpClient::redirectToOtherServer()
{
    QFETCH(QString, verb);
    QFETCH(int, status);
    QFETCH(bool, firstTls);
    QFETCH(QString, change);
    QFETCH(bool, followed);
    QFETCH(bool, credentials);

    // Both take a client certificate when one is offered, but demand none.
    FakeHttpServer first;
    if (firstTls)
        first.setTls(m_own->serverCertificate(), m_own->serverKey(), {m_own->caCertificate()}, false);
    QVERIFY(first.start());
    FakeHttpServer other;
    other.setTls(m_own->serverCertificate(), m_own->serverKey(), {m_own->caCertificate()}, false);
    QVERIFY(other.start());

    QString location;
    FakeHttpServer *target = &other;
    if (change == "path") {
        location = "/api/v1/device/next";
        target = &first;
    } else if (change == "host") {
        QUrl url = first.url("/api/v1/device/next");
        url.setHost("localhost");
        location = url.toString();
        target = &first;
    } else {
        location = other.url("/api/v1/device/next").toString();
    }
    if (change == "chain") {
        first.setResponse("*", "/api/v1/device/heartbeat", FakeHttpResponse::redirect(status, "/api/v1/device/hop"));
        first.setResponse("*", "/api/v1/device/hop", FakeHttpResponse::redirect(status, location));
    } else {
        first.setResponse("*", "/api/v1/device/heartbeat", FakeHttpResponse::redirect(status, location));
    }
    target->setResponse("*", "/api/v1/device/next", FakeHttpResponse::json(200, QJsonObject{{"ok", true}}));

    HttpClient client;
    client.setHeader("X-API-Key", "secret");
    client.setHeader("User-Agent", "vorn/terminal");
    client.setTLSCert(m_own->clientCertPath());
    client.setTLSKey(m_own->clientKeyPath());
    client.setTLSRootCA(m_own->caCertPath());

    LogCapture log;
    bool const withBody = verb == "PUT" || verb == "POST";
    Outcome const outcome = await(send(client, verb, first.url("/api/v1/device/heartbeat"), QJsonObject{{"status", "Ready"}}));
    QVERIFY(outcome.settled());
    QCOMPARE(first.requests().first().header("X-API-Key"), QByteArray("secret"));
    if (firstTls)
        QCOMPARE(first.requests().first().peerCertificate, m_own->clientCertificate());
    QString const withoutCredentials = QStringLiteral("[HttpClient] WARN: Redirected to another server : sent without credentials");

    if (!followed) {
        QVERIFY(!outcome.resolved());
        QCOMPARE(outcome.status(), status);
        QString const refusal = QStringLiteral("Redirect refused (another server, request with a body) : ") + location;
        QCOMPARE(outcome.payload(), QJsonValue(refusal));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[HttpClient] ERROR: ") + refusal), 1);
        QCOMPARE(log.count(QtWarningMsg, withoutCredentials), 0);
        for (FakeHttpRequest const &request : target->requests())
            QVERIFY2(request.path != QLatin1String("/api/v1/device/next"), qPrintable(request.target));
        if (target == &other)
            QCOMPARE(other.acceptedConnections(), 0);
        return;
    }

    QVERIFY(outcome.resolved());
    QCOMPARE(outcome.payload(), QJsonValue(QJsonObject{{"ok", true}}));
    FakeHttpRequest const arrived = target->lastRequest();
    QCOMPARE(arrived.method, verb);
    QCOMPARE(arrived.path, QStringLiteral("/api/v1/device/next"));
    QCOMPARE(arrived.header("User-Agent"), QByteArray("vorn/terminal"));
    QCOMPARE(arrived.body, withBody ? QByteArray(R"({"status":"Ready"})") : QByteArray());
    QCOMPARE(arrived.hasHeader("X-API-Key"), credentials);
    QCOMPARE(arrived.peerCertificate.isNull(), !credentials);
    QCOMPARE(log.count(QtWarningMsg, withoutCredentials), credentials ? 0 : 1);
}

void TestHttpClient::replySizeBound_data()
{
    QTest::addColumn<FakeHttpResponse>("response");
    QTest::addColumn<qint64>("bound");
    QTest::addColumn<bool>("refused");

    QByteArray const head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
    QTest::newRow("within the bound") << FakeHttpResponse::text(200, QByteArray(1000, 'z')) << qint64(1000) << false;
    QTest::newRow("announced above the bound")
        << FakeHttpResponse::text(200, QByteArray(1001, 'z')) << qint64(1000) << true;
    QTest::newRow("error answer above the bound")
        << FakeHttpResponse::json(500, QJsonObject{{"filler", QString(2000, 'f')}}) << qint64(1000) << true;
    // 8 MB in pieces, without a length: it would take many seconds to arrive.
    QByteArray const stream = head + "\r\n" + QByteArray(8 * 1024 * 1024, 'z');
    QTest::newRow("received beyond the bound, no length announced")
        << FakeHttpResponse::partial(stream).inPieces(64 * 1024, 50) << qint64(256 * 1024) << true;
    QTest::newRow("default bound") << FakeHttpResponse::partial(stream).inPieces(1024 * 1024, 50)
                                   << qint64(-1) << true;
}

// An answer larger than its request's bound is aborted as soon as it shows, with the status
// and a failure of its own; what had arrived is not handed on.
void TestHttpClient::replySizeBound()
{
    QFETCH(FakeHttpResponse, response);
    QFETCH(qint64, bound);
    QFETCH(bool, refused);

    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/big", response);

    LogCapture log;
    HttpClient client;
    // A time-out far beyond the wait: only the bound can end the slow answers in time.
    HttpClient::Result const result = bound < 0 ? client.get(server.url("/big"), 120000)
                                                : client.get(server.url("/big"), 120000, bound);
    Outcome const outcome = await(result, 30000);
    QVERIFY(outcome.settled());
    qint64 const limit = bound < 0 ? HttpClient::DefaultMaxReplySize : bound;
    QString const tooLarge = QStringLiteral("Reply larger than %1 bytes").arg(limit);
    QCOMPARE(outcome.resolved(), !refused);
    if (!refused) {
        QCOMPARE(outcome.payload(), QJsonValue(QString(1000, 'z')));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[HttpClient] ERROR: Reply larger than")), 0);
        return;
    }
    QCOMPARE(outcome.status(), response.status == 500 ? 500 : 200);
    QCOMPARE(outcome.payload(), QJsonValue(tooLarge));
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[HttpClient] ERROR: Reply larger than %1 bytes. Aborting.").arg(limit)), 1);
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("timed-out")), 0);
    // A body without end: the connection is dropped, not drained, and the stream stops.
    if (response.kind == FakeHttpResponse::Kind::Partial)
        QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, 15000);
}

void TestHttpClient::replyValueBound_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("refused"); // with a bound of 4 values

    // Every value counts, the lists and objects that hold them too.
    QTest::newRow("list of three") << QByteArray("[0,1,2]") << false;
    QTest::newRow("list of four") << QByteArray("[0,1,2,3]") << true;
    // A member counts as one value: its name is not one.
    QTest::newRow("object of three members") << QByteArray(R"({"a":1,"b":2,"c":3})") << false;
    QTest::newRow("object of four members") << QByteArray(R"({"a":1,"b":2,"c":3,"d":4})") << true;
    // Each container costs the parser an allocation of its own.
    QTest::newRow("nested lists") << QByteArray("[[0],[0]]") << true;
    QTest::newRow("empty objects") << QByteArray("[{},{},{}]") << false;
    QTest::newRow("more empty objects") << QByteArray("[{},{},{},{}]") << true;
    QTest::newRow("blanks between values") << QByteArray("[ 0 ,\n1 ,\t2 ] ") << false;
    // What a text holds is no structure.
    QTest::newRow("commas and brackets in texts") << QByteArray(R"(["a,b,c,d,e","[{[{[",","])") << false;
    QTest::newRow("escaped quote in a text") << QByteArray(R"(["a\",b,c,d,e,f","x"])") << false;
    QTest::newRow("escaped backslash ends a text") << QByteArray(R"(["a\\",0,1,2])") << true;
    QTest::newRow("text answer") << QByteArray("a,b,c,d,e,f") << false;
}

// An answer of more JSON values than its request's bound is refused before it is parsed: the
// parser's memory grows with the values, far beyond the bytes (a few bytes each).
void TestHttpClient::replyValueBound()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, refused);

    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/values", FakeHttpResponse::text(200, body, "application/json"));

    LogCapture log;
    HttpClient client;
    Outcome const outcome = await(client.get(server.url("/values"), 30000, 1024, 4));
    QVERIFY(outcome.settled());
    QCOMPARE(outcome.resolved(), !refused);
    QCOMPARE(outcome.status(), 200);
    if (!refused) {
        QCOMPARE(outcome.payload(), HttpClient::parsePayload(body));
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[HttpClient] ERROR: ")), 0);
        return;
    }
    QCOMPARE(outcome.payload(), QJsonValue(HttpClient::tooManyValues(4)));
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[HttpClient] ERROR: Reply holds more than 4 JSON values")), 1);
}

void TestHttpClient::packedAnswerRefused_data()
{
    QTest::addColumn<QString>("verb");
    QTest::addColumn<FakeHttpResponse>("response");
    QTest::addColumn<QString>("encoding"); // as refused; empty when the answer is taken

    FakeHttpResponse brotli = FakeHttpResponse::text(200, QByteArray("\x1b\x03\x00\xf8", 4));
    brotli.withHeader("Content-Encoding", "br");
    FakeHttpResponse errorAnswer = FakeHttpResponse::packed("gzip", 4096);
    errorAnswer.status = 500;
    FakeHttpResponse twice = FakeHttpResponse::text(200, FakeHttpResponse::pack("gzip", 4096));
    twice.withHeader("Content-Encoding", "identity").withHeader("Content-Encoding", "gzip");

    QTest::newRow("GET, plain") << "GET" << FakeHttpResponse::text(200, "plain") << "";
    QTest::newRow("GET, identity") << "GET" << FakeHttpResponse::text(200, "plain").withHeader("Content-Encoding", "identity")
                                   << "";
    QTest::newRow("GET, gzip") << "GET" << FakeHttpResponse::packed("gzip", 4096) << "gzip";
    QTest::newRow("POST, deflate") << "POST" << FakeHttpResponse::packed("deflate", 4096) << "deflate";
    QTest::newRow("PUT, gzip in capitals") << "PUT" << FakeHttpResponse::packed("GZIP", 4096) << "GZIP";
    QTest::newRow("DELETE, br") << "DELETE" << brotli << "br";
    QTest::newRow("GET, gzip error answer") << "GET" << errorAnswer << "gzip";
    QTest::newRow("GET, identity and gzip") << "GET" << twice << "identity, gzip";
}

// Every request asks for the answer as it is; one packed all the same is refused before its
// body is read, so that every bound counts the bytes that arrive.
void TestHttpClient::packedAnswerRefused()
{
    QFETCH(QString, verb);
    QFETCH(FakeHttpResponse, response);
    QFETCH(QString, encoding);

    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse(verb, "/packed", response);

    LogCapture log;
    HttpClient client;
    Outcome const outcome = await(send(client, verb, server.url("/packed"), QJsonObject{{"lane", 2}}));
    QVERIFY(outcome.settled());
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(server.lastRequest().header("Accept-Encoding"), QByteArray("identity"));
    if (encoding.isEmpty()) {
        QVERIFY(outcome.resolved());
        QCOMPARE(outcome.payload(), QJsonValue("plain"));
        return;
    }
    QVERIFY(!outcome.resolved());
    QCOMPARE(outcome.status(), response.status);
    QString const refusal = QStringLiteral("Reply refused (Content-Encoding '%1')").arg(encoding);
    QCOMPARE(outcome.payload(), QJsonValue(refusal));
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[HttpClient] ERROR: %1. Aborting.").arg(refusal)), 1);
}

void TestHttpClient::tls_data()
{
    QTest::addColumn<bool>("demandClientCert");
    QTest::addColumn<Identity>("clientCert");
    QTest::addColumn<Identity>("rootCA");
    QTest::addColumn<bool>("ignoreErrors");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("sslErrorHeadings");

    QTest::newRow("client certificate accepted") << true << Identity::Own << Identity::Own << false << 200 << 0;
    QTest::newRow("no client certificate demanded, none given") << false << Identity::None << Identity::Own << false << 200 << 0;
    QTest::newRow("no client certificate") << true << Identity::None << Identity::Own << false << 0 << 0;
    QTest::newRow("client certificate of another CA") << true << Identity::Other << Identity::Own << false << 0 << 0;
    QTest::newRow("server of another CA") << true << Identity::Own << Identity::Other << false << 0 << 1;
    QTest::newRow("server of another CA, errors ignored") << true << Identity::Own << Identity::Other << true << 200 << 1;
    // The server ends the handshake for want of a client certificate before any check of its own.
    QTest::newRow("certificate files missing") << true << Identity::Missing << Identity::Missing << false << 0 << 0;
}

void TestHttpClient::tls()
{
    QFETCH(bool, demandClientCert);
    QFETCH(Identity, clientCert);
    QFETCH(Identity, rootCA);
    QFETCH(bool, ignoreErrors);
    QFETCH(int, status);
    QFETCH(int, sslErrorHeadings);

    FakeHttpServer server;
    server.setTls(m_own->serverCertificate(), m_own->serverKey(), {m_own->caCertificate()}, demandClientCert);
    QVERIFY(server.start());
    server.setResponse("GET", "/api/v1/device/info", FakeHttpResponse::json(200, QJsonObject{{"customs", "Evzoni"}}));

    auto pick = [&](Identity id, QString (TestCertificates::*file)() const) -> QString {
        switch (id) {
        case Identity::Own: return (m_own.get()->*file)();
        case Identity::Other: return (m_other.get()->*file)();
        case Identity::Missing: return m_own->dir() + QStringLiteral("/missing.pem");
        case Identity::None: break;
        }
        return QString();
    };
    HttpClient client;
    if (clientCert != Identity::None) {
        client.setTLSCert(pick(clientCert, &TestCertificates::clientCertPath));
        client.setTLSKey(pick(clientCert, &TestCertificates::clientKeyPath));
    }
    client.setTLSRootCA(pick(rootCA, &TestCertificates::caCertPath));
    client.setIgnoreSslErrors(ignoreErrors);

    LogCapture log;
    Outcome const outcome = await(client.get(server.url("/api/v1/device/info")));
    QVERIFY(outcome.settled());
    QCOMPARE(outcome.status(), status);
    QCOMPARE(outcome.resolved(), status == 200);
    QCOMPARE(log.count(QtWarningMsg, QStringLiteral("[HttpClient] SSL Error(s) occured : ")), sslErrorHeadings);
    QCOMPARE(log.count(QtWarningMsg, QStringLiteral("Ignoring SSL Errors")), ignoreErrors ? 1 : 0);
    if (clientCert == Identity::Missing)
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[HttpClient] ERROR: Could not open file : ") + m_own->dir()), 3);
    // No certificate: the key and certificate entries are looked up empty, and logged as such.
    if (clientCert == Identity::None)
        QCOMPARE(log.texts(QtCriticalMsg).count(QStringLiteral("[HttpClient] ERROR: Could not open file : ")), 2);

    if (status == 200) {
        QCOMPARE(outcome.payload(), QJsonValue(QJsonObject{{"customs", "Evzoni"}}));
        FakeHttpRequest const request = server.lastRequest();
        QVERIFY(request.encrypted);
        QCOMPARE(request.protocol, QSsl::TlsV1_2);
        if (clientCert == Identity::Own)
            QCOMPARE(request.peerCertificate, m_own->clientCertificate());
    } else {
        QVERIFY(outcome.payload().isString() && !outcome.payload().toString().isEmpty());
        QCOMPARE(server.requestCount(), 0);
    }
}

void TestHttpClient::tlsSetUpChangeDropsConnections_data()
{
    QTest::addColumn<SetUpChange>("change");
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");

    QTest::newRow("unchanged set-up keeps its connection") << SetUpChange::None << 200 << 200;
    QTest::newRow("client certificate mended") << SetUpChange::Certificate << 0 << 200;
    QTest::newRow("certificate files renewed in place") << SetUpChange::RenewedFiles << 0 << 200;
    QTest::newRow("root CA mended") << SetUpChange::RootCA << 0 << 200;
    QTest::newRow("certificate errors ignored from now on") << SetUpChange::IgnoreErrorsOn << 0 << 200;
    QTest::newRow("certificate errors no longer ignored") << SetUpChange::IgnoreErrorsOff << 200 << 0;
}

// Connections are kept between requests; one opened with another TLS set-up must not carry
// the next request, whether it had failed or was let through.
void TestHttpClient::tlsSetUpChangeDropsConnections()
{
    QFETCH(SetUpChange, change);
    QFETCH(int, before);
    QFETCH(int, after);

    bool const strangeServer = change == SetUpChange::IgnoreErrorsOn || change == SetUpChange::IgnoreErrorsOff;
    TestCertificates const &serverSide = strangeServer ? *m_other : *m_own;
    FakeHttpServer server;
    server.setTls(serverSide.serverCertificate(), serverSide.serverKey(), {m_own->caCertificate()}, true);
    QVERIFY(server.start());
    server.setResponse("GET", "/api/v1/device/info", FakeHttpResponse::json(200, QJsonObject{{"customs", "Evzoni"}}));

    // The client's files, at paths of its own so that they can be renewed in place.
    QTemporaryDir files;
    QVERIFY(files.isValid());
    QString const cert = files.filePath("client.crt");
    QString const key = files.filePath("client.key");
    QString const rootCA = files.filePath("ca.crt");
    bool const wrongClient = change == SetUpChange::Certificate || change == SetUpChange::RenewedFiles;
    TestCertificates const &clientSide = wrongClient ? *m_other : *m_own;
    QVERIFY(copyOver(clientSide.clientCertPath(), cert));
    QVERIFY(copyOver(clientSide.clientKeyPath(), key));
    QVERIFY(copyOver(change == SetUpChange::RootCA ? m_other->caCertPath() : m_own->caCertPath(), rootCA));

    HttpClient client;
    client.setTLSCert(cert);
    client.setTLSKey(key);
    client.setTLSRootCA(rootCA);
    client.setIgnoreSslErrors(change == SetUpChange::IgnoreErrorsOff);

    Outcome const first = await(client.get(server.url("/api/v1/device/info")));
    QVERIFY(first.settled());
    QCOMPARE(first.status(), before);

    switch (change) {
    case SetUpChange::None:
        break;
    case SetUpChange::Certificate:
        client.setTLSCert(m_own->clientCertPath());
        client.setTLSKey(m_own->clientKeyPath());
        break;
    case SetUpChange::RenewedFiles:
        QVERIFY(copyOver(m_own->clientCertPath(), cert));
        QVERIFY(copyOver(m_own->clientKeyPath(), key));
        break;
    case SetUpChange::RootCA:
        client.setTLSRootCA(m_own->caCertPath());
        break;
    case SetUpChange::IgnoreErrorsOn:
        client.setIgnoreSslErrors(true);
        break;
    case SetUpChange::IgnoreErrorsOff:
        client.setIgnoreSslErrors(false);
        break;
    }
    int const served = server.requestCount();
    Outcome const second = await(client.get(server.url("/api/v1/device/info")));
    QVERIFY(second.settled());
    QCOMPARE(second.status(), after);
    QCOMPARE(server.requestCount(), served + (after == 200 ? 1 : 0));
    if (after == 200)
        QCOMPARE(server.lastRequest().peerCertificate, m_own->clientCertificate());
    if (change == SetUpChange::None)
        QCOMPARE(server.acceptedConnections(), 1);
}

// A request still under way when the set-up changes ends as it would have.
void TestHttpClient::tlsSetUpChangeSparesRepliesUnderWay()
{
    FakeHttpServer server;
    server.setTls(m_own->serverCertificate(), m_own->serverKey(), {m_own->caCertificate()}, true);
    QVERIFY(server.start());
    server.setResponse("GET", "/slow", FakeHttpResponse::json(200, QJsonObject{{"slow", true}}).withDelay(1500));
    server.setResponse("GET", "/fast", FakeHttpResponse::json(200, QJsonObject{{"fast", true}}));
    QVERIFY(m_own->issue(QStringLiteral("renewed"), QStringLiteral("Renewed Client")));

    HttpClient client;
    client.setTLSCert(m_own->clientCertPath());
    client.setTLSKey(m_own->clientKeyPath());
    client.setTLSRootCA(m_own->caCertPath());
    QSignalSpy arrived(&server, &FakeHttpServer::requestReceived);
    Outcome const slow(client.get(server.url("/slow")));
    QVERIFY(arrived.wait(10000));

    client.setTLSCert(m_own->dir() + "/renewed.crt");
    client.setTLSKey(m_own->dir() + "/renewed.key");
    Outcome const fast = await(client.get(server.url("/fast")));
    QVERIFY(fast.resolved());
    QCOMPARE(server.lastRequest().peerCertificate.subjectInfo(QSslCertificate::CommonName),
             QStringList{"Renewed Client"});
    QVERIFY(waitUntil([&slow] { return slow.settled(); }, 15000));
    QVERIFY(slow.resolved());
    QCOMPARE(slow.payload(), QJsonValue(QJsonObject{{"slow", true}}));
}

void TestHttpClient::tlsErrorsLoggedAndIgnored_data()
{
    QTest::addColumn<bool>("ignoreErrors");
    QTest::newRow("flag clear") << false;
    QTest::newRow("flag set") << true;
}

// A server of another authority that also names another host: two errors.
void TestHttpClient::tlsErrorsLoggedAndIgnored()
{
    QFETCH(bool, ignoreErrors);
    FakeHttpServer server;
    server.setTls(TestCertificates::certificate(m_other->dir() + "/elsewhere.crt"),
                  TestCertificates::key(m_other->dir() + "/elsewhere.key"));
    QVERIFY(server.start());
    server.setResponse("GET", "/x", FakeHttpResponse::text(200, "OK"));

    HttpClient client;
    client.setTLSRootCA(m_own->caCertPath());
    client.setIgnoreSslErrors(ignoreErrors);
    QCOMPARE(client.ignoreSslErrors(), ignoreErrors);
    Outcome outcome;
    QStringList warnings;
    {
        LogCapture log;
        outcome = await(client.get(server.url("/x")));
        warnings = log.texts(QtWarningMsg);
    }
    QVERIFY(outcome.settled());
    QCOMPARE(outcome.resolved(), ignoreErrors);
    QCOMPARE(outcome.status(), ignoreErrors ? 200 : 0);

    QVERIFY2(warnings.size() >= 3, qPrintable(warnings.join('\n')));
    QCOMPARE(warnings.at(0), QStringLiteral("[HttpClient] SSL Error(s) occured : "));
    int const errors = warnings.size() - 1 - (ignoreErrors ? 1 : 0);
    QVERIFY(errors >= 2);
    for (int i = 1; i <= errors; ++i)
        QVERIFY2(warnings.at(i).startsWith(QStringLiteral("[HttpClient]  - ")), qPrintable(warnings.at(i)));
    QVERIFY(warnings.join('\n').contains(QStringLiteral("host name did not match")));
    if (ignoreErrors)
        QCOMPARE(warnings.last(), QStringLiteral("[HttpClient] Ignoring SSL Errors ('ignoreSslErrors' is set to 'true' in configuration)"));
}

void TestHttpClient::tlsFileRefused_data()
{
    QTest::addColumn<QString>("file"); // which of the three
    QTest::addColumn<QString>("kind"); // what stands in its place
    QTest::addColumn<QString>("why");  // empty when taken

    QTest::newRow("client certificate, a pipe") << "cert" << "pipe" << "not a regular file";
    QTest::newRow("client key, a pipe") << "key" << "pipe" << "not a regular file";
    QTest::newRow("root CA, a pipe") << "rootCA" << "pipe" << "not a regular file";
    QTest::newRow("client certificate, /dev/zero") << "cert" << "/dev/zero" << "not a regular file";
    QTest::newRow("client key, a folder") << "key" << "folder" << "not a regular file";
    QTest::newRow("root CA, larger than 64 KiB") << "rootCA" << "65537" << "larger than 65536 bytes";
    QTest::newRow("client certificate of 64 KiB") << "cert" << "65536" << "";
}

// A certificate, key or authority file is read only when it is a regular file of a size such a
// file has: a pipe would hold the thread in open(), a device would be read without end. Such a
// request fails at once and names the file.
void TestHttpClient::tlsFileRefused()
{
    QFETCH(QString, file);
    QFETCH(QString, kind);
    QFETCH(QString, why);

    FakeHttpServer server;
    server.setTls(m_own->serverCertificate(), m_own->serverKey(), {m_own->caCertificate()}, true);
    QVERIFY(server.start());
    server.setResponse("GET", "/api/v1/device/info", FakeHttpResponse::json(200, QJsonObject{{"ok", true}}));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QMap<QString, QString> paths{{"cert", m_own->clientCertPath()}, {"key", m_own->clientKeyPath()},
                                 {"rootCA", m_own->caCertPath()}};
    std::unique_ptr<WaitingPipe> pipe;
    QString path = dir.filePath(file + ".pem");
    if (kind == "pipe") {
        pipe = std::make_unique<WaitingPipe>(path);
        QVERIFY(pipe->isValid());
    } else if (kind == "folder") {
        QVERIFY(QDir().mkpath(path));
    } else if (kind.startsWith('/')) {
        path = kind;
    } else {
        // The genuine file, padded with text outside its PEM block to the size of the row.
        QFile original(paths.value(file));
        QVERIFY(original.open(QIODevice::ReadOnly));
        QByteArray bytes = original.readAll();
        bytes += "\n" + QByteArray(kind.toInt() - bytes.size() - 2, '#') + "\n";
        QFile padded(path);
        QVERIFY(padded.open(QIODevice::WriteOnly) && padded.write(bytes) == bytes.size());
    }
    paths.insert(file, path);

    HttpClient client;
    client.setTLSCert(paths.value("cert"));
    client.setTLSKey(paths.value("key"));
    client.setTLSRootCA(paths.value("rootCA"));

    LogCapture log;
    Outcome const outcome = await(client.get(server.url("/api/v1/device/info")));
    QVERIFY(outcome.settled());
    if (why.isEmpty()) {
        QVERIFY(outcome.resolved());
        QCOMPARE(server.lastRequest().peerCertificate, m_own->clientCertificate());
        return;
    }
    QVERIFY(!outcome.resolved());
    QCOMPARE(outcome.status(), 0);
    QString const refusal = QStringLiteral("TLS file %1 refused : %2").arg(path, why);
    QCOMPARE(outcome.payload(), QJsonValue(refusal));
    QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("[HttpClient] ERROR: ") + refusal), 1);
    QCOMPARE(server.acceptedConnections(), 0);
}

void TestHttpClient::credentials()
{
    FakeHttpServer server;
    QVERIFY(server.start());
    server.setHandler([](FakeHttpRequest const &request) {
        if (request.header("Authorization") == "Basic " + QByteArray("gate:pass").toBase64())
            return FakeHttpResponse::text(200, "welcome");
        return FakeHttpResponse::text(401, "who are you").withHeader("WWW-Authenticate", "Basic realm=\"gate\"");
    });

    HttpClient anonymous;
    Outcome const refused = await(anonymous.get(server.url("/esb")));
    QVERIFY(refused.settled() && !refused.resolved());
    QCOMPARE(refused.status(), 401);

    HttpClient client;
    int asked = 0;
    connect(&client, &HttpClient::authRequired, this, [&](QNetworkReply *, QAuthenticator *authenticator) {
        ++asked;
        authenticator->setUser("gate");
        authenticator->setPassword("pass");
    });
    Outcome const accepted = await(client.get(server.url("/esb")));
    QVERIFY(accepted.resolved());
    QCOMPARE(accepted.payload(), QJsonValue("welcome"));
    QCOMPARE(asked, 1);
}

// The owner may go away mid-request: the exchange is dropped, its connection closed, nothing runs.
void TestHttpClient::clientGoneWhileWaiting()
{
    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/wait", FakeHttpResponse::noAnswer());
    QSignalSpy arrived(&server, &FakeHttpServer::requestReceived);

    auto client = std::make_unique<HttpClient>();
    HttpClient::Result result = client->get(server.url("/wait"));
    bool called = false;
    result.done([&](int, QJsonValue) { called = true; });
    result.fail([&](int, QJsonValue) { called = true; });
    QVERIFY(arrived.wait(5000));
    QCOMPARE(server.openConnections(), 1);

    client.reset();
    QTRY_COMPARE(server.openConnections(), 0);
    QCOMPARE(result.state(), DeferredDataBase::Pending);
    QVERIFY(!called);
}

void TestHttpClient::otherThreadGetsItsOwnManager()
{
    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/t", FakeHttpResponse::json(200, QJsonObject{{"n", 1}}));

    LogCapture log;
    HttpClient client;
    QVERIFY(await(client.get(server.url("/t"))).resolved());

    QThread worker;
    worker.start();
    QObject context;
    context.moveToThread(&worker);
    HttpClient::Result fromWorker;
    QVERIFY(QMetaObject::invokeMethod(&context, [&]() { fromWorker = client.get(server.url("/t")); },
                                      Qt::BlockingQueuedConnection));
    Outcome const outcome = await(fromWorker);
    QVERIFY(outcome.resolved());
    QCOMPARE(outcome.payload(), QJsonValue(QJsonObject{{"n", 1}}));
    QCOMPARE(log.texts(QtDebugMsg).count(QStringLiteral("[HttpClient] Creating new Network Access Manager for thread ")), 2);
    QCOMPARE(server.requestCount(), 2);
    worker.quit();
    QVERIFY(worker.wait(5000));
}

void TestHttpClient::clientDeletedInItsOwnCallback_data()
{
    QTest::addColumn<FakeHttpResponse>("response");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("callback");

    QTest::newRow("done") << FakeHttpResponse::json(200, QJsonObject{{"ok", true}}) << 10000 << "done";
    QTest::newRow("fail") << FakeHttpResponse::json(404, QJsonObject{{"ok", false}}) << 10000 << "fail";
    QTest::newRow("progress") << FakeHttpResponse::text(200, QByteArray(1000, 'z')) << 10000 << "progress";
    QTest::newRow("time-out") << FakeHttpResponse::noAnswer() << 300 << "fail";
    QTest::newRow("done after a redirect") << FakeHttpResponse::redirect(302, "/end") << 10000 << "done";
}

// An owner may drop the client as soon as it has its answer, inside the callback.
void TestHttpClient::clientDeletedInItsOwnCallback()
{
    QFETCH(FakeHttpResponse, response);
    QFETCH(int, timeout);
    QFETCH(QString, callback);

    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/ask", response);
    server.setResponse("GET", "/end", FakeHttpResponse::json(200, QJsonObject{{"ok", true}}));

    auto client = std::make_unique<HttpClient>();
    HttpClient::Result result = client->get(server.url("/ask"), timeout);
    int calls = 0;
    auto const drop = [&](int, QJsonValue) {
        ++calls;
        client.reset();
    };
    if (callback == "done")
        result.done(drop);
    else if (callback == "fail")
        result.fail(drop);
    else
        result.progress(drop);

    QVERIFY(waitUntil([&] { return calls > 0; }, 10000));
    QVERIFY(!client);
    // Whatever the client released later is released now, without harm.
    QTRY_COMPARE(server.openConnections(), 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(calls, 1);
}

// A client on a thread that outlives it leaves nothing behind for the next client there.
void TestHttpClient::newClientOnThreadAfterOldOneGone()
{
    FakeHttpServer server;
    QVERIFY(server.start());
    server.setResponse("GET", "/t", FakeHttpResponse::json(200, QJsonObject{{"n", 1}}));

    QThread worker;
    worker.start();
    QObject context;
    context.moveToThread(&worker);
    auto const onWorker = [&context](auto const &work) {
        return QMetaObject::invokeMethod(&context, work, Qt::BlockingQueuedConnection);
    };

    LogCapture log;
    for (int round = 0; round < 3; ++round) {
        auto client = std::make_unique<HttpClient>();
        HttpClient::Result result;
        QVERIFY(onWorker([&]() { result = client->get(server.url("/t")); }));
        Outcome const outcome = await(result);
        QVERIFY(outcome.resolved());
        QCOMPARE(outcome.payload(), QJsonValue(QJsonObject{{"n", 1}}));
        client.reset();
        // The worker's event loop gets to the released manager.
        QVERIFY(onWorker([]() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }));
    }
    QCOMPARE(log.texts(QtDebugMsg).count(QStringLiteral("[HttpClient] Creating new Network Access Manager for thread ")), 3);
    QCOMPARE(server.requestCount(), 3);
    worker.quit();
    QVERIFY(worker.wait(5000));
}

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_HttpClient.moc"
