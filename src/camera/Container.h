#pragma once

#include "camera/ZIDCamera.h"

// A container-code camera: its results carry a container code.
class Container : public ZIDCamera
{
    Q_OBJECT

public:
    explicit Container(const QUrl &url, QObject *parent = nullptr);
    bool processData(const QByteArray &body) override;
};
