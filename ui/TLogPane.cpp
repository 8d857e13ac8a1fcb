#include "TLogPane.h"

#include <QScrollBar>

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
    QPalette pal = palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::ToolTipBase));
    pal.setColor(QPalette::Text, pal.color(QPalette::ToolTipText));
    setPalette(pal);
}

QStringList TLogPane::Lines() const
{
    if (document()->isEmpty())
        return {};
    return toPlainText().split(QLatin1Char('\n'));
}

void TLogPane::SetLines(const QStringList& lines)
{
    setPlainText(lines.join(QLatin1Char('\n')));
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TLogPane::AddLine(const QString& line)
{
    appendPlainText(line);
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}
