#pragma once

#include <QObject>
#include <QPointer>

class QHeaderView;

// One column of the results grid as a named object (coldbServer, coldbSpeed ...), so its
// layout can be saved and restored by name: display position, width, the sorted mark,
// and for the speed column the value at which a bar is full.
class TResultsColumn : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int Position READ Position WRITE SetPosition)
    Q_PROPERTY(int Width READ Width WRITE SetWidth)
    Q_PROPERTY(bool Sorted READ Sorted WRITE SetSorted)
    Q_PROPERTY(int Max READ Max WRITE SetMax)
public:
    TResultsColumn(const QString& name, int logicalIndex, QHeaderView* header, QObject* parent);

    int Index() const { return FIndex; }

    // Display position, 0 at the left. Out-of-range positions are ignored.
    int Position() const;
    void SetPosition(int position);

    // The width the user last saw: while the grid is hidden (its tab not shown), a width
    // the header takes meanwhile is not the column's until it shows again.
    int Width() const;
    // Widths below one pixel are ignored.
    void SetWidth(int width);

    // Whether the header marks this column as the sorted one (rows are never reordered).
    bool Sorted() const;
    void SetSorted(bool sorted);

    int Max() const { return FMax; }
    void SetMax(int maximum);

signals:
    void MaxChanged(int maximum);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool HeaderShown() const;

    int FIndex;
    int FSeenWidth = 0;
    QPointer<QHeaderView> FHeader;
    int FMax = 100;
};
