#pragma once

#include <QPlainTextEdit>
#include <QStringList>

// The test log (mmDIsplay): read-only, one line per entry, always showing the latest.
class TLogPane : public QPlainTextEdit
{
    Q_OBJECT
    Q_PROPERTY(QStringList Lines READ Lines WRITE SetLines)
public:
    explicit TLogPane(QWidget* parent = nullptr);

    QStringList Lines() const;
    void SetLines(const QStringList& lines);

    // Adds a line at the end and scrolls to it.
    void AddLine(const QString& line);
};
