#pragma once

// Shared by the report tests: a sample chart, a log, and the outside tools.

#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QRect>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

namespace ReportFixture {

// A few bars with labels, the way the results chart looks.
inline void PaintSampleChart(QPainter &p, const QRect &r)
{
    p.fillRect(r, QColor(250, 250, 250));
    const int left = r.left() + 80, bottom = r.bottom() - 60, top = r.top() + 50;
    p.setPen(QPen(Qt::black, 2));
    p.drawLine(left, top, left, bottom);
    p.drawLine(left, bottom, r.right() - 30, bottom);
    QFont font = p.font();
    font.setPixelSize(22);
    p.setFont(font);
    p.drawText(QRect(r.left(), r.top() + 8, r.width(), 36), Qt::AlignCenter, QStringLiteral("Speed KB/s"));
    const int values[] = {420, 655, 310, 890, 740, 505};
    const int barWidth = (r.right() - 30 - left) / 6;
    for (int i = 0; i < 6; ++i) {
        const int h = values[i] * (bottom - top) / 1000;
        const QRect bar(left + i * barWidth + 15, bottom - h, barWidth - 30, h);
        p.fillRect(bar, QColor(31, 78, 121));
        p.drawText(QRect(bar.left() - 10, bottom + 8, bar.width() + 20, 30), Qt::AlignCenter,
                   QStringLiteral("#%1").arg(i + 1));
        p.drawText(QRect(bar.left() - 10, bar.top() - 30, bar.width() + 20, 28), Qt::AlignCenter,
                   QString::number(values[i]));
    }
}

// Log lines like the window writes them.
inline QStringList SampleLog(int tests)
{
    QStringList lines;
    for (int i = 1; i <= tests; ++i) {
        const QString t = QStringLiteral("03/14/2025 10:%1:%2 AM - ").arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                              .arg(i % 60, 2, 10, QLatin1Char('0'));
        lines << t + QStringLiteral("Initiating Test to speed.example.net:%1").arg(7000 + i)
              << t + QStringLiteral("Connected to 127.0.0.1")
              << t + QStringLiteral("Receiving data - timer started.")
              << t + QStringLiteral("Test %1 done: 10485760 bytes in 1250 ms, %2 KB/s").arg(i).arg(8000 + i);
    }
    return lines;
}

// Runs a tool; returns its standard output, or a null array when it cannot run.
inline QByteArray RunTool(const QString &program, const QStringList &arguments)
{
    if (QStandardPaths::findExecutable(program).isEmpty())
        return {};
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        return {};
    QByteArray out = process.readAllStandardOutput();
    if (out.isNull())
        out = QByteArray("");
    return out;
}

// The value of one "Key:   value" line of pdfinfo, trailing blanks kept.
inline QString PdfInfoValue(const QByteArray &pdfinfo, const QString &key)
{
    for (const QString &line : QString::fromUtf8(pdfinfo).split(QLatin1Char('\n'))) {
        if (line.startsWith(key + QLatin1Char(':'))) {
            QString value = line.mid(key.size() + 1);
            while (value.startsWith(QLatin1Char(' ')))
                value.remove(0, 1);
            return value;
        }
    }
    return {};
}

inline QString DefaultLayoutFile()
{
    return QDir(qEnvironmentVariable("KORVANE_BIN_DIR")).filePath(QStringLiteral("Korvn.layout"));
}

} // namespace ReportFixture
