#include "ui/TTestOptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
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

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Direction:"), cbDirection);
    form->addRow(QStringLiteral("&Streams:"), seStreams);
    form->addRow(QStringLiteral("D&uration:"), seSeconds);
    form->addRow(QStringLiteral("Session &port:"), seSessionPort);
    form->addRow(QString(), cbLatency);
    form->addRow(QString(), cbLatencyAllTests);
    form->addRow(QString(), cbAllowHttps);
    form->addRow(QStringLiteral("IP &version:"), cbIpVersion);
    // A row of a layout gets no buddy of its own: the label needs one for its shortcut.
    auto* secretLabel = new QLabel(QStringLiteral("Shared s&ecret file:"), this);
    secretLabel->setBuddy(edSecretFile);
    form->addRow(secretLabel, secretRow);
    form->addRow(QStringLiteral("Socket &window:"), seWindow);

    auto* note = new QLabel(
        QStringLiteral("Download over one stream runs the standard test on the server's port.\n"
                       "Other choices run a session on the session port for the duration set.\n"
                       "A web page test is not affected by these.\n"
                       "Latency is measured beside sessions: before and during the load;\n"
                       "beside the other tests too when asked, to the session port or the\n"
                       "web page's own port.\n"
                       "Web page tests fetch https pages only when allowed, with the\n"
                       "server's certificate verified.\n"
                       "The IP version applies to every test: automatic tries all the\n"
                       "addresses of a name, IPv6 first, and uses the first that answers.\n"
                       "A secret file or a socket window makes every server test a session:\n"
                       "the secret for a server that asks for one, the window to set the\n"
                       "sockets' buffers instead of the system's."),
        this);
    note->setObjectName(QStringLiteral("lblNote"));

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("btnBox"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addWidget(buttons);
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
