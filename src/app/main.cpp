#include <QGuiApplication>

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName("vorn-terminal-ui");
    QGuiApplication::setApplicationVersion("0.0.2");
    QGuiApplication::setOrganizationName("vesk");
    return 0;
}
