#include "ui/TTestOptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QToolButton>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

TTestOptionsDialog::TTestOptionsDialog(const TTestOptions& options, QWidget* parent)
    : QDialog(parent), FOptions(options)
{
    setObjectName(QStringLiteral("TestOptionsDialog"));
    setWindowTitle(QStringLiteral("Test Options"));

    cbDirection = new QComboBox(this);
    cbDirection->setObjectName(QStringLiteral("cbDirection"));
    cbDirection->addItems({QStringLiteral("Download"), QStringLiteral("Upload"),
                           QStringLiteral("Both (download, then upload)")});
    cbDirection->setCurrentIndex(int(options.Direction));

    auto spin = [this](const char* name, int low, int high, int value, const QString& suffix) {
        auto* box = new QSpinBox(this);
        box->setObjectName(QString::fromLatin1(name));
        box->setRange(low, high);
        box->setValue(value);
        box->setSuffix(suffix);
        return box;
    };
    seStreams = spin("seStreams", TTestOptions::MinStreams, TTestOptions::MaxStreams, options.Streams, {});
    seSeconds = spin("seSeconds", TTestOptions::MinSeconds, TTestOptions::MaxSeconds, options.Seconds,
                     QStringLiteral(" s"));
    seSessionPort = spin("seSessionPort", 1, 65535, options.SessionPort, {});

    cbLatency = new QCheckBox(QStringLiteral("Measure &latency under load"), this);
    cbLatency->setObjectName(QStringLiteral("cbLatency"));
    cbLatency->setChecked(options.Latency);

    // Off by default: the stream and web page tests keep their log as it always was.
    cbLatencyAllTests = new QCheckBox(QStringLiteral("Also for stream and web page &tests"), this);
    cbLatencyAllTests->setObjectName(QStringLiteral("cbLatencyAllTests"));
    cbLatencyAllTests->setChecked(options.LatencyAllTests);
    cbLatencyAllTests->setEnabled(options.Latency);
    connect(cbLatency, &QCheckBox::toggled, cbLatencyAllTests, &QWidget::setEnabled);

    cbAllowHttps = new QCheckBox(QStringLiteral("Allow &https pages"), this);
    cbAllowHttps->setObjectName(QStringLiteral("cbAllowHttps"));
    cbAllowHttps->setChecked(options.AllowHttps);

    cbIpVersion = new QComboBox(this);
    cbIpVersion->setObjectName(QStringLiteral("cbIpVersion"));
    // In the order of TIpVersion.
    cbIpVersion->addItems({QStringLiteral("Automatic (IPv6 first)"), QStringLiteral("IPv4 only"),
                           QStringLiteral("IPv6 only")});
    cbIpVersion->setCurrentIndex(int(options.IpVersion));

    edSecretFile = new QLineEdit(options.SecretFile, this);
    edSecretFile->setObjectName(QStringLiteral("edSecretFile"));
    edSecretFile->setPlaceholderText(QStringLiteral("none"));
    edSecretFile->setClearButtonEnabled(true);
    btnSecretFile = new QToolButton(this);
    btnSecretFile->setObjectName(QStringLiteral("btnSecretFile"));
    btnSecretFile->setText(QStringLiteral("..."));
    connect(btnSecretFile, &QToolButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Secret file"), edSecretFile->text());
        if (!path.isEmpty())
            edSecretFile->setText(path);
    });
    auto* secretRow = new QHBoxLayout;
    secretRow->addWidget(edSecretFile);
    secretRow->addWidget(btnSecretFile);

    // 0 shows as the kernel's own: the sockets keep the buffers it grows by itself.
    seWindow = spin("seWindow", 0, TTestOptions::MaxWindowKiB, options.WindowKiB, QStringLiteral(" KiB"));
    seWindow->setSpecialValueText(QStringLiteral("the system's"));

    // Grouped by the tests each choice changes, so no note has to list the exceptions.
    auto* serverForm = new QFormLayout;
    serverForm->addRow(QStringLiteral("&Direction:"), cbDirection);
    serverForm->addRow(QStringLiteral("&Streams:"), seStreams);
    serverForm->addRow(QStringLiteral("D&uration:"), seSeconds);
    serverForm->addRow(QStringLiteral("Session &port:"), seSessionPort);
    // A row of a layout gets no buddy of its own: the label needs one for its shortcut.
    auto* secretLabel = new QLabel(QStringLiteral("Shared s&ecret file:"), this);
    secretLabel->setBuddy(edSecretFile);
    serverForm->addRow(secretLabel, secretRow);
    serverForm->addRow(QStringLiteral("Socket &window:"), seWindow);
    auto* note = new QLabel(QStringLiteral("Download over one stream with the system's window runs the standard "
                                           "test on the Port box's port. Any other choice here runs a session "
                                           "on the session port instead, for the duration set."),
                            this);
    note->setObjectName(QStringLiteral("lblNote"));
    note->setWordWrap(true);
    // Wrapped notes go below their form, not in a row of it, which would not give them
    // the height their lines need.
    auto* serverBox = new QVBoxLayout;
    serverBox->addLayout(serverForm);
    serverBox->addWidget(note);
    auto* serverGroup = new QGroupBox(QStringLiteral("Korvane server tests"), this);
    serverGroup->setObjectName(QStringLiteral("gbServerTests"));
    serverGroup->setLayout(serverBox);

    auto* latencyNote = new QLabel(QStringLiteral("Before and during the load, to the session port, or to the "
                                                  "web page's own port."),
                                   this);
    latencyNote->setWordWrap(true);
    auto* latencyBox = new QVBoxLayout;
    latencyBox->addWidget(cbLatency);
    latencyBox->addWidget(cbLatencyAllTests);
    latencyBox->addWidget(latencyNote);
    auto* latencyGroup = new QGroupBox(QStringLiteral("Latency"), this);
    latencyGroup->setObjectName(QStringLiteral("gbLatency"));
    latencyGroup->setLayout(latencyBox);

    auto* webBox = new QVBoxLayout;
    webBox->addWidget(cbAllowHttps);
    auto* httpsNote = new QLabel(QStringLiteral("The server's certificate is verified."), this);
    webBox->addWidget(httpsNote);
    auto* webGroup = new QGroupBox(QStringLiteral("Web page tests"), this);
    webGroup->setObjectName(QStringLiteral("gbWebTests"));
    webGroup->setLayout(webBox);

    auto* everyForm = new QFormLayout;
    everyForm->addRow(QStringLiteral("IP &version:"), cbIpVersion);
    auto* familyNote = new QLabel(QStringLiteral("Automatic tries every address of a name, IPv6 first, and "
                                                 "uses the first that answers."),
                                  this);
    familyNote->setWordWrap(true);
    auto* everyBox = new QVBoxLayout;
    everyBox->addLayout(everyForm);
    everyBox->addWidget(familyNote);
    auto* everyGroup = new QGroupBox(QStringLiteral("Every test"), this);
    everyGroup->setObjectName(QStringLiteral("gbEveryTest"));
    everyGroup->setLayout(everyBox);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("btnBox"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(serverGroup);
    layout->addWidget(latencyGroup);
    layout->addWidget(webGroup);
    layout->addWidget(everyGroup);
    layout->addWidget(buttons);
    // The wrapped notes need the height their width gives them; a fixed size lets the
    // layout work that out instead of squeezing the rows above them.
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

TTestOptions TTestOptionsDialog::Options() const
{
    TTestOptions options = FOptions;
    options.Direction = TTestOptions::TDirection(cbDirection->currentIndex());
    options.Streams = seStreams->value();
    options.Seconds = seSeconds->value();
    options.SessionPort = seSessionPort->value();
    options.Latency = cbLatency->isChecked();
    options.LatencyAllTests = cbLatencyAllTests->isChecked();
    options.AllowHttps = cbAllowHttps->isChecked();
    options.IpVersion = TIpVersion(cbIpVersion->currentIndex());
    options.SecretFile = edSecretFile->text().trimmed();
    options.WindowKiB = seWindow->value();
    return options;
}
