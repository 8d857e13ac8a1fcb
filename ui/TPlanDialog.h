#pragma once

#include "settings/TargetPlans.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QSpinBox;

// Test > Plan...: what the user pays for on the target in the Server box, and when a result
// counts as short of it. Refuses to close on a plan it cannot read, and says why.
class TPlanDialog : public QDialog
{
    Q_OBJECT
public:
    TPlanDialog(const TTargetPlans& plans, const QString& target, QWidget* parent = nullptr);

    // The choices as the fields show them now, the target's plan included.
    TTargetPlans Plans() const;

    void accept() override;

    QLineEdit* edPlan = nullptr;
    QSpinBox* seShare = nullptr;
    QCheckBox* cbNotify = nullptr;
    QSpinBox* seNoticeSlow = nullptr;
    QSpinBox* seNoticeOf = nullptr;
    QLabel* lblError = nullptr;

private:
    bool ReadPlan(TRatePlan& plan, QString& error) const;

    TTargetPlans FPlans;
    QString FTarget;
};
