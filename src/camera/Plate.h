#pragma once

#include "camera/ZIDCamera.h"

// A licence-plate camera: its results carry a plate, its heartbeats device data.
class Plate : public ZIDCamera
{
    Q_OBJECT

public:
    explicit Plate(const QUrl &url, QObject *parent = nullptr);
    bool processData(const QByteArray &body) override;
};
