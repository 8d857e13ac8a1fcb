#include "ui/TPlanDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

TPlanDialog::TPlanDialog(const TTargetPlans& plans, const QString& target, QWidget* parent)
    : QDialog(parent), FPlans(plans), FTarget(TTargetPlans::Key(target))
{
    setObjectName(QStringLiteral("PlanDialog"));
    setWindowTitle(QStringLiteral("Plan"));

    auto* heading = new QLabel(this);
    heading->setTextFormat(Qt::PlainText);
    heading->setWordWrap(true);
    heading->setText(FTarget.isEmpty() ? QStringLiteral("Type a server or web address in the Server box first.")
                                       : QStringLiteral("What you pay for on %1:").arg(FTarget));

    edPlan = new QLineEdit(plans.For(FTarget).IsSet() ? plans.For(FTarget).Text() : QString(), this);
    edPlan->setObjectName(QStringLiteral("edPlan"));
    edPlan->setPlaceholderText(QStringLiteral("download/upload, such as 100M/20M"));
    edPlan->setToolTip(QStringLiteral("Bits per second with k, M or G. Empty: no plan."));
    edPlan->setClearButtonEnabled(true);
    edPlan->setEnabled(!FTarget.isEmpty());

    seShare = new QSpinBox(this);
    seShare->setObjectName(QStringLiteral("seShare"));
    seShare->setRange(1, 100);
    seShare->setSuffix(QStringLiteral(" % of the plan"));
    seShare->setValue(plans.SharePercent);

    // Off by default: a notice is the program speaking up unasked.
    cbNotify = new QCheckBox(QStringLiteral("Desktop &notice when"), this);
    cbNotify->setObjectName(QStringLiteral("cbNotify"));
    cbNotify->setChecked(plans.Notify);
    seNoticeOf = new QSpinBox(this);
    seNoticeOf->setObjectName(QStringLiteral("seNoticeOf"));
    seNoticeOf->setRange(1, TTargetPlans::MaxNoticeOf);
    seNoticeOf->setValue(plans.NoticeOf);
    seNoticeOf->setPrefix(QStringLiteral("of the last "));
    seNoticeSlow = new QSpinBox(this);
    seNoticeSlow->setObjectName(QStringLiteral("seNoticeSlow"));
    seNoticeSlow->setRange(1, plans.NoticeOf);
    seNoticeSlow->setValue(plans.NoticeSlow);
    connect(seNoticeOf, &QSpinBox::valueChanged, seNoticeSlow, [this](int of) { seNoticeSlow->setMaximum(of); });
    const auto enableNotice = [this](bool on) {
        seNoticeSlow->setEnabled(on);
        seNoticeOf->setEnabled(on);
    };
    enableNotice(plans.Notify);
    connect(cbNotify, &QCheckBox::toggled, this, enableNotice);
    auto* noticeRow = new QHBoxLayout;
    noticeRow->addWidget(cbNotify);
    noticeRow->addWidget(seNoticeSlow);
    noticeRow->addWidget(seNoticeOf);
    noticeRow->addWidget(new QLabel(QStringLiteral("results are slow"), this));
    noticeRow->addStretch();

    lblError = new QLabel(this);
    lblError->setObjectName(QStringLiteral("lblError"));
    lblError->setTextFormat(Qt::PlainText);
    lblError->setWordWrap(true);
    lblError->setStyleSheet(QStringLiteral("color: #b00000"));
    lblError->hide();

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Plan:"), edPlan);
    form->addRow(QStringLiteral("&Slow below:"), seShare);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(heading);
    layout->addLayout(form);
    layout->addLayout(noticeRow);
    layout->addWidget(lblError);
    layout->addWidget(buttons);
}

bool TPlanDialog::ReadPlan(TRatePlan& plan, QString& error) const
{
    plan = TRatePlan();
    return edPlan->text().trimmed().isEmpty() || TRatePlan::Parse(edPlan->text(), plan, error);
}

TTargetPlans TPlanDialog::Plans() const
{
    TTargetPlans plans = FPlans;
    TRatePlan plan;
    QString error;
    if (!FTarget.isEmpty() && ReadPlan(plan, error))
        plans.Set(FTarget, plan);
    plans.SharePercent = seShare->value();
    plans.Notify = cbNotify->isChecked();
    plans.NoticeOf = seNoticeOf->value();
    plans.NoticeSlow = std::min(seNoticeSlow->value(), plans.NoticeOf);
    return plans;
}

void TPlanDialog::accept()
{
    TRatePlan plan;
    QString error;
    if (!ReadPlan(plan, error)) {
        // Say what is wrong and keep what was typed, rather than lose it.
        lblError->setText(error.left(1).toUpper() + error.mid(1) + u'.');
        lblError->show();
        edPlan->setFocus();
        return;
    }
    QDialog::accept();
}
