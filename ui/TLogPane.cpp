#include "ui/TLogPane.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>

TLogPane::TLogPane(QWidget* parent)
    : QPlainTextEdit(parent)
{
    setReadOnly(true);
    // Long lines wrap at the pane's edge rather than scrolling sideways.
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Reachable by mouse only; Tab passes it by.
    setFocusPolicy(Qt::ClickFocus);
    setTabChangesFocus(true);
    // Nothing to undo in a log; an undo record per line would double its memory.
    document()->setUndoRedoEnabled(false);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::ToolTipBase));
    pal.setColor(QPalette::Text, pal.color(QPalette::ToolTipText));
    setPalette(pal);
}

QStringList TLogPane::Lines() const
{
    if (document()->isEmpty())
        return FEarlier;
    return FEarlier + toPlainText().split(QLatin1Char('\n'));
}

void TLogPane::SetLines(const QStringList& lines)
{
    const qsizetype now = std::min(lines.size(), ShownAtOnce);
    FEarlier = lines.first(lines.size() - now);
    setPlainText(lines.last(now).join(QLatin1Char('\n')));
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    if (!FEarlier.isEmpty())
        QTimer::singleShot(0, this, &TLogPane::PutInEarlierLines);
}

void TLogPane::Clear()
{
    FEarlier.clear();
    clear();
}

void TLogPane::PutInEarlierLines()
{
    if (FEarlier.isEmpty())
        return;
    const qsizetype take = std::min(FEarlier.size(), Batch);
    const QString text = FEarlier.last(take).join(QLatin1Char('\n')) + QLatin1Char('\n');
    FEarlier.resize(FEarlier.size() - take);
    // The view stays where it was: at the end, or on the lines the user scrolled to.
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    const int value = bar->value();
    const int maximum = bar->maximum();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::Start);
    cursor.insertText(text);
    bar->setValue(atEnd ? bar->maximum() : value + (bar->maximum() - maximum));
    if (!FEarlier.isEmpty())
        QTimer::singleShot(0, this, &TLogPane::PutInEarlierLines);
}

void TLogPane::AddLine(const QString& line)
{
    appendPlainText(line);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}
