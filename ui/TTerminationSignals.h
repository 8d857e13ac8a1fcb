#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the GUI thread, so a program
// that is asked to stop closes its window (and saves its state) like an Exit does.
class TTerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TTerminationSignals(QObject* parent = nullptr);
    ~TTerminationSignals() override;

signals:
    void terminationRequested();

private:
    void Drain();
    void Deliver();

    QSocketNotifier* FNotifier = nullptr;
};
