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

    // Every line, the earlier ones still being put in included.
    QStringList Lines() const;
    // The latest lines show at once; the earlier ones go in above them a batch at a time
    // from the event loop, so a log of years does not hold up the window's start.
    void SetLines(const QStringList& lines);
    void Clear();

    // Adds a line at the end and scrolls to it.
    void AddLine(const QString& line);

    static constexpr qsizetype ShownAtOnce = 2000;
    static constexpr qsizetype Batch = 5000;
    // Lines not yet in the pane.
    qsizetype PendingLines() const { return FEarlier.size(); }

private:
    void PutInEarlierLines();

    QStringList FEarlier;  // oldest first; they go above the first line shown
};
