#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>

// The application object. It catches every exception that reaches the event loop
// (notify) and hands it to one handler, the same one the socket layer reports to, so
// no exception ever crosses Qt's own code.
class TKorvaneApplication : public QApplication
{
    Q_OBJECT
public:
    using TExceptionEvent = std::function<void(const std::exception& E)>;

    TKorvaneApplication(int& argc, char** argv);
    ~TKorvaneApplication() override;

    static TKorvaneApplication* Instance();

    // The program's name as the user sees it, "Korvane Client".
    QString Title() const { return FTitle; }
    void SetTitle(const QString& title);

    // Path of the help page the Help command opens.
    QString HelpFile() const { return FHelpFile; }
    void SetHelpFile(const QString& path) { FHelpFile = path; }

    // The application-wide exception handler; also installed as the process-wide
    // handler that notification dispatch in the engine reports to.
    void SetOnException(TExceptionEvent handler);
    // Passes an exception to the handler (or prints it when none is set). Never throws.
    void HandleException(const std::exception& E) noexcept;

    // Asks the program to end: the event loop ends as soon as it runs.
    void Terminate();
    bool Terminated() const { return FTerminated; }

    bool notify(QObject* receiver, QEvent* event) override;

    // The user-visible message of an exception.
    static QString MessageOf(const std::exception& E);

private:
    QString FTitle;
    QString FHelpFile;
    TExceptionEvent FOnException;
    bool FTerminated = false;
};
