#pragma once

#include "settings/PropertyKind.h"

#include <QByteArray>
#include <QPointer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>

// Reads and writes one property of a component. The default accessor uses the QObject
// property named like the stored property (as declared, then with a lower-case first
// letter); a window supplies its own for values that are no plain Qt property.
struct TStoredPropertyAccessor
{
    // Value by kind: QString, int, bool, int (enumeration ordinal), double, QStringList,
    // TCollectionValue, QObject* (component reference, nullptr when empty).
    std::function<QVariant(QObject* component)> Get;
    // Returns false when the value could not be taken.
    std::function<bool(QObject* component, const QVariant& value)> Set;

    bool IsSet() const { return Get && Set; }
};

// One entry of the stored-properties list: a component found by its objectName and one
// of its properties. The key in the file is ComponentName + "_" + PropertyName.
struct TStoredProperty
{
    QString ComponentName;
    QString PropertyName;
    TPropertyKind Kind = TPropertyKind::String;
    QStringList EnumIdentifiers;           // for enumerations
    TStoredPropertyAccessor Accessor;      // empty: the Qt property
    QPointer<QObject> Component;           // set when bound

    QString Key() const { return ComponentName + QLatin1Char('_') + PropertyName; }
};
