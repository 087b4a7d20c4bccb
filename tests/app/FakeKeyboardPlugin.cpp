#include <QObject>

// Stands in for an installed input-method plugin: only its metadata is read.
class FakeKeyboardPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPlatformInputContextFactoryInterface.5.1" FILE "FakeKeyboardPlugin.json")
};

#include "FakeKeyboardPlugin.moc"
