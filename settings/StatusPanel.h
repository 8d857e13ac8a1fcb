#pragma once

#include "settings/CollectionValue.h"

#include <QString>

// A status bar panel as the settings file knows it: its published properties in the
// order they are written (Alignment, Bevel, BiDiMode, ParentBiDiMode, Style, Text, Width).
class TStatusPanel
{
public:
    enum TAlignment { taLeftJustify, taRightJustify, taCenter };
    enum TBevel { pbNone, pbLowered, pbRaised };
    enum TBiDiMode { bdLeftToRight, bdRightToLeft, bdRightToLeftNoAlign, bdRightToLeftReadingOnly };
    enum TStyle { psText, psOwnerDraw };

    TAlignment Alignment = taLeftJustify;
    TBevel Bevel = pbLowered;
    TBiDiMode BiDiMode = bdLeftToRight;
    bool ParentBiDiMode = true;
    TStyle Style = psText;
    QString Text;
    int Width = 50;

    TPublishedItem ToItem() const;
    // Values missing from the item, or of the wrong type, keep this panel's values.
    static TStatusPanel FromItem(const TPublishedItem& item);

    // A collection value of panels, with a new panel as the template for created items.
    static TCollectionValue ToCollection(const QList<TStatusPanel>& panels);
    static QList<TStatusPanel> FromCollection(const TCollectionValue& value);
};
