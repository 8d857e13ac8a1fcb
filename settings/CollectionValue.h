#pragma once

#include "settings/PropertyKind.h"

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>

// One published property of a collection item, e.g. a status panel's Width.
// Enumerations carry their identifiers and hold the ordinal as an int.
struct TPublishedProperty
{
    QString Name;
    TPropertyKind Kind = TPropertyKind::String;
    QVariant Value;
    QStringList EnumIdentifiers;
};

using TPublishedItem = QList<TPublishedProperty>;

// The value of a collection property: its items, plus the item a newly created entry
// starts as (a restore empties the collection and builds Count new items from it).
struct TCollectionValue
{
    QList<TPublishedItem> Items;
    TPublishedItem NewItem;

    // The named property of an item, or nullptr.
    static const TPublishedProperty* Find(const TPublishedItem& item, const QString& name);
};

Q_DECLARE_METATYPE(TCollectionValue)
