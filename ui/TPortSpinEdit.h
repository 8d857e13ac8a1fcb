#pragma once

#include <QDoubleSpinBox>

// The port field (sePort): a numeric spin edit holding a floating-point value, shown in
// its shortest form ("80", not "80.00"). The test rounds it, halves to even.
class TPortSpinEdit : public QDoubleSpinBox
{
    Q_OBJECT
public:
    explicit TPortSpinEdit(QWidget* parent = nullptr);

    QString textFromValue(double value) const override;
};
