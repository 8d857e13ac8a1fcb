#pragma once

#include "settings/TestOptions.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QToolButton;
class QSpinBox;

// Test > Options...: how a test on a Korvane server runs. The web page test ignores it.
class TTestOptionsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit TTestOptionsDialog(const TTestOptions& options, QWidget* parent = nullptr);

    // The choices as the fields show them now.
    TTestOptions Options() const;

    QComboBox* cbDirection = nullptr;
    QSpinBox* seStreams = nullptr;
    QSpinBox* seSeconds = nullptr;
    QSpinBox* seSessionPort = nullptr;
    QCheckBox* cbLatency = nullptr;
    QCheckBox* cbLatencyAllTests = nullptr;
    QCheckBox* cbAllowHttps = nullptr;
    QComboBox* cbIpVersion = nullptr;
    QLineEdit* edSecretFile = nullptr;
    QToolButton* btnSecretFile = nullptr;
    QSpinBox* seWindow = nullptr;

private:
    TTestOptions FOptions;
};
