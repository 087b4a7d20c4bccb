// A separate process holding one MQTT session with a last will, for tests that end it abruptly.
// Arguments: host port clientId willTopic. Prints "connected" once connected; the line
// "disconnect" on standard input makes it disconnect cleanly, print "disconnected" and exit.
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

#include "transport/MqttClient.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return 2;

    manager::MqttClient client;
    client.setHostname(args.at(1));
    client.setPort(args.at(2).toUInt());
    client.setClientId(args.at(3));
    client.setWillTopic(args.at(4));
    client.setWillMessage(R"({"service": false})");
    client.setRetryMillis(60000);

    QObject::connect(&client, &manager::MqttClient::connected, [] {
        std::fputs("connected\n", stdout);
        std::fflush(stdout);
    });
    QObject::connect(&client, &manager::MqttClient::disconnected, &app, [&app] {
        std::fputs("disconnected\n", stdout);
        std::fflush(stdout);
        app.quit();
    });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &client, [&] {
        char line[64] = {};
        if (!std::fgets(line, sizeof line, stdin)) {
            input.setEnabled(false);
            return;
        }
        if (QByteArray(line).trimmed() == "disconnect")
            client.disconnect();
    });

    client.connect();
    return app.exec();
}
