#pragma once

#include <QByteArray>
#include <QString>

// One column of the report's data connection.
struct TReportColumn
{
    enum class DataType { Memo, Graphic };
    QString name;
    DataType type;
    int width;
};

// The one data row a report is built from, in the connection's wire form.
struct TReportRow
{
    QByteArray SpeedLog; // log text, UTF-16 code units, 2 bytes each
    QByteArray SpeedGrp; // chart picture as a complete BMP file image
    QByteArray HistoryGrp{}; // history picture, BMP; empty unless the layout prints it
};
