#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QTime>

// Every field of a camera reading, in declaration order:
// X(type, getter, setter suffix, initial value).
// The class, its setters, signals and copy are all generated from this list.

using ZIDIntList = QList<int>;

#define ZID_READING_FIELDS(X)                                          \
    X(double, absConfidence, AbsConfidence, -1.0)                      \
    X(double, absoluteBottom, AbsoluteBottom, -1.0)                    \
    X(double, absoluteLeft, AbsoluteLeft, -1.0)                        \
    X(double, absoluteRight, AbsoluteRight, -1.0)                      \
    X(double, absoluteTop, AbsoluteTop, -1.0)                          \
    X(double, charHeight, CharHeight, -1.0)                            \
    X(double, confidence, Confidence, -1.0)                            \
    X(double, latitude, Latitude, 0.0)                                 \
    X(double, latitudeMin, LatitudeMin, 0.0)                           \
    X(double, longitude, Longitude, 0.0)                               \
    X(double, longitudeMin, LongitudeMin, 0.0)                         \
    X(double, processingTime, ProcessingTime, -1.0)                    \
    X(QDateTime, date, Date, QDateTime())                              \
    X(QDateTime, localDate, LocalDate, QDateTime())                    \
    X(QDateTime, localDateYMD, LocalDateYMD, QDateTime())              \
    X(QDateTime, utcDate, UtcDate, QDateTime())                        \
    X(int, bottom, Bottom, -1)                                         \
    X(int, buildNumber, BuildNumber, -1)                               \
    X(int, day, Day, -1)                                               \
    X(int, direction, Direction, -1)                                   \
    X(int, dWellTime, DWellTime, -1)                                   \
    X(int, height, Height, -1)                                         \
    X(int, hour, Hour, -1)                                             \
    X(int, left, Left, -1)                                             \
    X(int, millisecond, Millisecond, -1)                               \
    X(int, minute, Minute, -1)                                         \
    X(int, month, Month, -1)                                           \
    X(int, multiPlate, MultiPlate, -1)                                 \
    X(int, pending, Pending, -1)                                       \
    X(int, right, Right, -1)                                           \
    X(int, roiId, RoiId, -1)                                           \
    X(int, second, Second, -1)                                         \
    X(int, sha1, Sha1, -1)                                             \
    X(int, signalEd, SignalEd, -1)                                     \
    X(int, tag, Tag, -1)                                               \
    X(int, top, Top, -1)                                               \
    X(int, vehicleAbsSpeed, VehicleAbsSpeed, -1)                       \
    X(int, vehicleAccess, VehicleAccess, -1)                           \
    X(int, vehicleSpeed, VehicleSpeed, -3)                             \
    X(int, width, Width, -1)                                           \
    X(int, year, Year, -1)                                             \
    X(qint64, jpegSize, JpegSize, -1)                                  \
    X(qint64, overviewJpegSize, OverviewJpegSize, -1)                  \
    X(qint64, plateJpegSize, PlateJpegSize, -1)                        \
    X(ZIDIntList, charConfidence, CharConfidence, ZIDIntList())        \
    X(QString, blacklist, Blacklist, QString())                        \
    X(QString, blacklistDescription, BlacklistDescription, QString())  \
    X(QString, category, Category, QString())                          \
    X(QString, country, Country, QString())                            \
    X(QString, countryCode, CountryCode, QString())                    \
    X(QString, directionStr, DirectionStr, QString())                  \
    X(QString, directionStr2, DirectionStr2, QString())                \
    X(QString, directionStr3, DirectionStr3, QString())                \
    X(QString, epoch, Epoch, QString())                                \
    X(QString, firmwareVersion, FirmwareVersion, QString())            \
    X(QString, formatted, Formatted, QString())                        \
    X(QString, id, Id, QString())                                      \
    X(QString, imageId, ImageId, QString())                            \
    X(QString, imagePath, ImagePath, QString())                        \
    X(QString, ip, Ip, QString())                                      \
    X(QString, manufacturer, Manufacturer, QString())                  \
    X(QString, model, Model, QString())                                \
    X(QString, pid, Pid, QString())                                    \
    X(QString, plate, Plate, QString())                                \
    X(QString, plateImagePath, PlateImagePath, QString())              \
    X(QString, plateUtf8, PlateUtf8, QString())                        \
    X(QString, safeDate, SafeDate, QString())                          \
    X(QString, serial, Serial, QString())                              \
    X(QString, serialNumber, SerialNumber, QString())                  \
    X(QString, softwareVersion, SoftwareVersion, QString())            \
    X(QString, state, State, QString())                                \
    X(QString, stateCode, StateCode, QString())                        \
    X(QString, type, Type, QString())                                  \
    X(QString, uuid, Uuid, QString())                                  \
    X(QString, vehicleClass, VehicleClass, QString())                  \
    X(QString, vehicleColor, VehicleColor, QString())                  \
    X(QString, vehicleGenClass, VehicleGenClass, QString())            \
    X(QString, vehicleMake, VehicleMake, QString())                    \
    X(QString, vehicleModel, VehicleModel, QString())                  \
    X(QString, whitelist, Whitelist, QString())                        \
    X(QString, whitelistDescription, WhitelistDescription, QString())  \
    X(QTime, localTime, LocalTime, QTime())                            \
    X(double, containerConfidence, ContainerConfidence, -1.0)          \
    X(int, containerProcessingTime, ContainerProcessingTime, -1)       \
    X(QDateTime, containerDate, ContainerDate, QDateTime())            \
    X(QString, containerCode, ContainerCode, QString())                \
    X(QString, containerSizeCode, ContainerSizeCode, QString())
