#include "ui/TPortSpinEdit.h"

#include <QLocale>

TPortSpinEdit::TPortSpinEdit(QWidget* parent)
    : QDoubleSpinBox(parent)
{
    // Ports outside 1..65535 cannot be connected to; the field refuses them.
    setDecimals(6);
    setRange(1, 65535);
    setSingleStep(1);
    setValue(80);
    setAccelerated(true);
}

QString TPortSpinEdit::textFromValue(double value) const
{
    QLocale plain = locale();
    plain.setNumberOptions(plain.numberOptions() | QLocale::OmitGroupSeparator);
    return plain.toString(value, 'g', 12);
}
