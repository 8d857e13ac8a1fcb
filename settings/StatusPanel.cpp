#include "settings/StatusPanel.h"

namespace {

const QStringList AlignmentIds = {QStringLiteral("taLeftJustify"), QStringLiteral("taRightJustify"),
                                  QStringLiteral("taCenter")};
const QStringList BevelIds = {QStringLiteral("pbNone"), QStringLiteral("pbLowered"), QStringLiteral("pbRaised")};
const QStringList BiDiModeIds = {QStringLiteral("bdLeftToRight"), QStringLiteral("bdRightToLeft"),
                                 QStringLiteral("bdRightToLeftNoAlign"),
                                 QStringLiteral("bdRightToLeftReadingOnly")};
const QStringList StyleIds = {QStringLiteral("psText"), QStringLiteral("psOwnerDraw")};

TPublishedProperty Enumeration(const char* name, int value, const QStringList& ids)
{
    return {QString::fromLatin1(name), TPropertyKind::Enumeration, value, ids};
}

template <typename T>
void TakeEnum(const TPublishedItem& item, const char* name, int count, T& target)
{
    const TPublishedProperty* p = TCollectionValue::Find(item, QString::fromLatin1(name));
    bool ok = false;
    const int value = p ? p->Value.toInt(&ok) : 0;
    if (ok && value >= 0 && value < count)
        target = static_cast<T>(value);
}

} // namespace

TPublishedItem TStatusPanel::ToItem() const
{
    return {
        Enumeration("Alignment", Alignment, AlignmentIds),
        Enumeration("Bevel", Bevel, BevelIds),
        Enumeration("BiDiMode", BiDiMode, BiDiModeIds),
        {QStringLiteral("ParentBiDiMode"), TPropertyKind::Boolean, ParentBiDiMode, {}},
        Enumeration("Style", Style, StyleIds),
        {QStringLiteral("Text"), TPropertyKind::String, Text, {}},
        {QStringLiteral("Width"), TPropertyKind::Integer, Width, {}},
    };
}

TStatusPanel TStatusPanel::FromItem(const TPublishedItem& item)
{
    TStatusPanel panel;
    TakeEnum(item, "Alignment", int(AlignmentIds.size()), panel.Alignment);
    TakeEnum(item, "Bevel", int(BevelIds.size()), panel.Bevel);
    TakeEnum(item, "BiDiMode", int(BiDiModeIds.size()), panel.BiDiMode);
    TakeEnum(item, "Style", int(StyleIds.size()), panel.Style);
    if (const auto* p = TCollectionValue::Find(item, QStringLiteral("ParentBiDiMode")))
        panel.ParentBiDiMode = p->Value.toBool();
    if (const auto* p = TCollectionValue::Find(item, QStringLiteral("Text")))
        panel.Text = p->Value.toString();
    if (const auto* p = TCollectionValue::Find(item, QStringLiteral("Width"))) {
        bool ok = false;
        const int width = p->Value.toInt(&ok);
        if (ok)
            panel.Width = width;
    }
    return panel;
}

TCollectionValue TStatusPanel::ToCollection(const QList<TStatusPanel>& panels)
{
    TCollectionValue value;
    for (const TStatusPanel& panel : panels)
        value.Items.append(panel.ToItem());
    value.NewItem = TStatusPanel().ToItem();
    return value;
}

QList<TStatusPanel> TStatusPanel::FromCollection(const TCollectionValue& value)
{
    QList<TStatusPanel> panels;
    for (const TPublishedItem& item : value.Items)
        panels.append(FromItem(item));
    return panels;
}
