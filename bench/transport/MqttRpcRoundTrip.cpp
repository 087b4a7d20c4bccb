// Round trip of one request/response exchange over a loopback broker: executeRpc of the MQTT
// session (Qt event loop) against the same exchange made by a plain libmosquitto client
// (subscribe the reply topic, publish the request at QoS 1, wait for the reply, unsubscribe).
// Both talk to the same responder, a raw libmosquitto peer that echoes from its network thread.
// Reports the median and the 99th percentile in microseconds. BENCH_BROKER_NAGLE=1 leaves the
// broker at mosquitto's default (Nagle on), where both take about 44 ms.
#include "transport/MqttClient.h"

#include "fakes/MqttPeer.h"
#include "fakes/TestBroker.h"

#include "BenchMain.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSignalSpy>

#include <mosquitto.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

const QString EchoBase = QStringLiteral("bench/echo");
const int RoundTrips = 2000;

struct Setup
{
    TestBroker broker;
    MqttPeer responder;
    bool ok = false;
    QString error;

    Setup()
    {
        broker.setVerbose(false);
        // Without it the broker's reply waits behind its PUBACK for the delayed ACK (~40 ms),
        // which hides what the clients themselves cost.
        if (qEnvironmentVariableIntValue("BENCH_BROKER_NAGLE") == 0)
            broker.addConfig(QStringLiteral("set_tcp_nodelay true"));
        if (!broker.start())
            error = broker.errorString();
        else if (!responder.connectTo(broker) || !responder.serveEcho(EchoBase))
            error = QStringLiteral("responder did not connect");
        ok = error.isEmpty();
    }
};

Setup &setup()
{
    static Setup instance;
    return instance;
}

void report(benchmark::State &state, std::vector<double> &micros, int failures)
{
    if (micros.empty())
        return;
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    state.counters["failures"] = failures;
}

void BM_ExecuteRpc(benchmark::State &state)
{
    Setup &s = setup();
    if (!s.ok) {
        state.SkipWithError(qPrintable(s.error));
        return;
    }
    manager::MqttClient client;
    client.setHostname(s.broker.host());
    client.setPort(s.broker.port());
    client.setClientId(QStringLiteral("bench-session"));
    QSignalSpy connected(&client, &manager::MqttClient::connected);
    client.connect();
    if (!connected.wait(5000)) {
        state.SkipWithError("session did not connect");
        return;
    }

    const QJsonObject request{{"template", "auto"}, {"usageLogs", 1}};
    std::vector<double> micros;
    int failures = 0;
    int id = 0;
    for (auto _ : state) {
        bool settled = false;
        QElapsedTimer clock;
        clock.start();
        client.executeRpc(EchoBase + QStringLiteral("/card/read"), QString::number(++id), request, 3000)
            .done([&](QJsonValue) { settled = true; })
            .fail([&](QJsonValue) {
                settled = true;
                ++failures;
            });
        while (!settled)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double elapsed = clock.nsecsElapsed() / 1000.0;
        state.SetIterationTime(elapsed / 1e6);
        micros.push_back(elapsed);
    }
    report(state, micros, failures);
}

struct RawRequester
{
    mosquitto *mosq = nullptr;
    QByteArray awaited;
    bool answered = false;

    static void onMessage(mosquitto *, void *self, const mosquitto_message *message)
    {
        auto *requester = static_cast<RawRequester *>(self);
        if (requester->awaited == message->topic)
            requester->answered = true;
    }
};

void BM_RawLibmosquitto(benchmark::State &state)
{
    Setup &s = setup();
    if (!s.ok) {
        state.SkipWithError(qPrintable(s.error));
        return;
    }
    RawRequester requester;
    requester.mosq = mosquitto_new("bench-raw", true, &requester);
    mosquitto_int_option(requester.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(requester.mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_message_callback_set(requester.mosq, &RawRequester::onMessage);
    if (mosquitto_connect(requester.mosq, "127.0.0.1", s.broker.port(), 5) != MOSQ_ERR_SUCCESS) {
        state.SkipWithError("raw client did not connect");
        mosquitto_destroy(requester.mosq);
        return;
    }

    const QByteArray payload = QJsonDocument(QJsonObject{{"template", "auto"}, {"usageLogs", 1}}).toJson(QJsonDocument::Compact);
    std::vector<double> micros;
    int failures = 0;
    int id = 0;
    for (auto _ : state) {
        const QByteArray base = (EchoBase + QStringLiteral("/card/read")).toUtf8();
        const QByteArray number = QByteArray::number(++id);
        requester.awaited = base + "/response/" + number;
        requester.answered = false;
        QElapsedTimer clock;
        clock.start();
        mosquitto_subscribe(requester.mosq, nullptr, requester.awaited.constData(), 1);
        const QByteArray topic = base + "/request/" + number;
        mosquitto_publish(requester.mosq, nullptr, topic.constData(), payload.size(), payload.constData(), 1, false);
        while (!requester.answered) {
            if (mosquitto_loop(requester.mosq, 3000, 1) != MOSQ_ERR_SUCCESS || clock.elapsed() > 3000) {
                ++failures;
                break;
            }
        }
        mosquitto_unsubscribe(requester.mosq, nullptr, requester.awaited.constData());
        const double elapsed = clock.nsecsElapsed() / 1000.0;
        state.SetIterationTime(elapsed / 1e6);
        micros.push_back(elapsed);
    }
    mosquitto_disconnect(requester.mosq);
    mosquitto_destroy(requester.mosq);
    report(state, micros, failures);
}

} // namespace

BENCHMARK(BM_ExecuteRpc)->Iterations(RoundTrips)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawLibmosquitto)->Iterations(RoundTrips)->UseManualTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Debug lines off, as at the program's default log level; BENCH_DEBUG_LOG=1 writes them to
    // the standard error stream (about six per call).
    if (qEnvironmentVariableIntValue("BENCH_DEBUG_LOG") == 0)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    mosquitto_lib_init();
    return runBenchmarks(argc, argv);
}
