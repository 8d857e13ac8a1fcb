#include "settings/FormStorage.h"

#include "settings/CollectionValue.h"
#include "settings/StoragePath.h"

#include <QMetaProperty>
#include <QRegularExpression>

#include <limits>

namespace {

// The Qt property behind a stored property: the declared name, else a lower-case first
// letter ("Text" -> "text"), declared or dynamic.
QByteArray QtPropertyName(const QObject* component, const QString& name)
{
    QString lower = name;
    if (!lower.isEmpty())
        lower[0] = lower[0].toLower();
    for (const QString& candidate : {name, lower}) {
        const QByteArray latin = candidate.toLatin1();
        if (component->metaObject()->indexOfProperty(latin.constData()) >= 0
            || component->dynamicPropertyNames().contains(latin))
            return latin;
    }
    return {};
}

TStoredPropertyAccessor QtPropertyAccessor(const QString& name, TPropertyKind kind)
{
    TStoredPropertyAccessor accessor;
    accessor.Get = [name, kind](QObject* component) -> QVariant {
        const QByteArray qtName = QtPropertyName(component, name);
        if (qtName.isEmpty())
            return {};
        const QVariant value = component->property(qtName.constData());
        // A plain text property holds a list as its lines.
        if (kind == TPropertyKind::StringList && value.metaType().id() == QMetaType::QString)
            return value.toString().split(QLatin1Char('\n'));
        return value;
    };
    accessor.Set = [name, kind](QObject* component, const QVariant& value) -> bool {
        const QByteArray qtName = QtPropertyName(component, name);
        if (qtName.isEmpty())
            return false;
        QVariant toWrite = value;
        if (kind == TPropertyKind::StringList
            && component->property(qtName.constData()).metaType().id() == QMetaType::QString)
            toWrite = value.toStringList().join(QLatin1Char('\n'));
        const bool declared = component->metaObject()->indexOfProperty(qtName.constData()) >= 0;
        const bool written = component->setProperty(qtName.constData(), toWrite);
        return declared ? written : true;   // setProperty reports false for dynamic ones
    };
    return accessor;
}

QStringList Words(const QString& text)
{
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    return text.split(separators, Qt::SkipEmptyParts);
}

bool WordAsInt(const QStringList& words, int index, int& value)
{
    if (index >= words.size())
        return false;
    bool ok = false;
    const int number = words[index].toInt(&ok);
    if (ok)
        value = number;
    return ok;
}

QString FourIntegers(int a, int b, int c, int d)
{
    return QString::asprintf("%d,%d,%d,%d", a, b, c, d);
}

} // namespace

TFormStorage::TFormStorage(QObject* parent)
    : QObject(parent)
{
}

void TFormStorage::SetAppStoragePath(const QString& path)
{
    FAppStoragePath = path;
    if (!FAppStoragePath.endsWith(QLatin1Char('\\')))
        FAppStoragePath += QLatin1Char('\\');
}

QString TFormStorage::ConcatPaths(const QString& name) const
{
    return TStoragePath::Concat({FAppStoragePath, name});
}

int TFormStorage::ReadInteger(const QString& name, int defaultValue) const
{
    if (!FAppStorage || name.isEmpty())
        return defaultValue;
    return FAppStorage->ReadInteger(ConcatPaths(name), defaultValue);
}

void TFormStorage::WriteInteger(const QString& name, int value)
{
    if (FAppStorage && !name.isEmpty())
        FAppStorage->WriteInteger(ConcatPaths(name), value);
}

double TFormStorage::ReadFloat(const QString& name, double defaultValue) const
{
    if (!FAppStorage || name.isEmpty())
        return defaultValue;
    return FAppStorage->ReadFloat(ConcatPaths(name), defaultValue);
}

void TFormStorage::WriteFloat(const QString& name, double value)
{
    if (FAppStorage && !name.isEmpty())
        FAppStorage->WriteFloat(ConcatPaths(name), value);
}

QString TFormStorage::ReadString(const QString& name, const QString& defaultValue) const
{
    if (!FAppStorage || name.isEmpty())
        return defaultValue;
    return FAppStorage->ReadString(ConcatPaths(name), defaultValue);
}

void TFormStorage::WriteString(const QString& name, const QString& value)
{
    if (FAppStorage && !name.isEmpty())
        FAppStorage->WriteString(ConcatPaths(name), value);
}

QList<TStoredProperty> TFormStorage::MainWindowStoredProps()
{
    auto entry = [](const char* component, const char* property, TPropertyKind kind) {
        TStoredProperty p;
        p.ComponentName = QString::fromLatin1(component);
        p.PropertyName = QString::fromLatin1(property);
        p.Kind = kind;
        return p;
    };
    using K = TPropertyKind;
    return {
        entry("cbServerName", "Text", K::String),
        entry("acServerHistory", "Strings", K::StringList),
        entry("mmDIsplay", "Lines", K::StringList),
        entry("sePort", "Value", K::Float),
        entry("rbKvSrv", "Checked", K::Boolean),
        entry("rbWebSrv", "Checked", K::Boolean),
        entry("About1", "Action", K::ComponentReference),
        entry("StatusPane1", "Panels", K::Collection),
        entry("coldbDuration", "Position", K::Integer),
        entry("coldbResult", "Position", K::Integer),
        entry("coldbServer", "Sorted", K::Boolean),
        entry("coldbSpeed", "Position", K::Integer),
        entry("coldbBytesRx", "Width", K::Integer),
        entry("coldbDuration", "Width", K::Integer),
        entry("coldbResult", "Width", K::Integer),
        entry("coldbServer", "Width", K::Integer),
    };
}

bool TFormStorage::SetAccessor(const QString& componentName, const QString& propertyName,
                                 const TStoredPropertyAccessor& accessor)
{
    for (TStoredProperty& property : FStoredProps) {
        if (property.ComponentName == componentName && property.PropertyName == propertyName) {
            property.Accessor = accessor;
            return true;
        }
    }
    return false;
}

void TFormStorage::BindStoredProps(QObject* form)
{
    FForm = form;
    for (TStoredProperty& property : FStoredProps)
        property.Component = FindComponent(property.ComponentName);
    FStoredProps.removeIf([](const TStoredProperty& p) { return p.Component.isNull(); });
}

QObject* TFormStorage::FindComponent(const QString& name) const
{
    if (!FForm || name.isEmpty())
        return nullptr;
    if (FForm->objectName() == name)
        return FForm;
    if (QObject* own = FForm->findChild<QObject*>(name))
        return own;
    // Then the components of the window's owner.
    if (QObject* owner = FForm->parent())
        return owner->findChild<QObject*>(name);
    return nullptr;
}

void TFormStorage::SaveStoredProps()
{
    for (const TStoredProperty& property : std::as_const(FStoredProps)) {
        try {
            SaveProperty(property);
        } catch (...) {
            // One property that cannot be read must not cost the others.
        }
    }
}

void TFormStorage::RestoreStoredProps()
{
    for (const TStoredProperty& property : std::as_const(FStoredProps)) {
        try {
            RestoreProperty(property);
        } catch (...) {
            // A value that does not convert leaves that property as it is.
        }
    }
}

void TFormStorage::SaveProperty(const TStoredProperty& property)
{
    QObject* component = property.Component;
    if (!FAppStorage || !component)
        return;
    const TStoredPropertyAccessor accessor =
        property.Accessor.IsSet() ? property.Accessor : QtPropertyAccessor(property.PropertyName, property.Kind);
    const QVariant value = accessor.Get(component);
    if (!value.isValid())
        return;
    const QString path = ConcatPaths(property.Key());
    TAppIniFileStorage& store = *FAppStorage;
    switch (property.Kind) {
    case TPropertyKind::String:
        store.WriteString(path, value.toString());
        break;
    case TPropertyKind::Integer:
        store.WriteInteger(path, value.toInt());
        break;
    case TPropertyKind::Boolean:
        store.WriteBoolean(path, value.toBool());
        break;
    case TPropertyKind::Enumeration:
        store.WriteEnumeration(path, property.EnumIdentifiers, value.toInt());
        break;
    case TPropertyKind::Float:
        store.WriteFloat(path, value.toDouble());
        break;
    case TPropertyKind::StringList:
        store.WriteStringList(path, value.toStringList());
        break;
    case TPropertyKind::Collection:
        if (value.canConvert<TCollectionValue>())
            store.WriteCollection(path, value.value<TCollectionValue>());
        break;
    case TPropertyKind::ComponentReference:
        if (const QObject* target = value.value<QObject*>())
            store.WriteString(path, target->objectName());
        break;
    }
}

void TFormStorage::RestoreProperty(const TStoredProperty& property)
{
    QObject* component = property.Component;
    if (!FAppStorage || !component)
        return;
    const QString path = ConcatPaths(property.Key());
    const TAppIniFileStorage& store = *FAppStorage;
    if (!store.ValueStored(path) && !store.PathIsList(path))
        return;
    const TStoredPropertyAccessor accessor =
        property.Accessor.IsSet() ? property.Accessor : QtPropertyAccessor(property.PropertyName, property.Kind);
    const QVariant current = accessor.Get(component);
    if (!current.isValid())
        return;

    bool ok = true;
    QVariant restored;
    switch (property.Kind) {
    case TPropertyKind::String:
        if (!store.ValueStored(path))
            return;
        restored = store.ReadString(path, current.toString());
        break;
    case TPropertyKind::Integer:
        restored = store.ReadInteger(path, current.toInt(), &ok);
        break;
    case TPropertyKind::Boolean:
        restored = store.ReadBoolean(path, current.toBool(), &ok);
        break;
    case TPropertyKind::Enumeration:
        restored = store.ReadEnumeration(path, property.EnumIdentifiers, current.toInt(), &ok);
        break;
    case TPropertyKind::Float:
        restored = store.ReadFloat(path, current.toDouble(), &ok);
        break;
    case TPropertyKind::StringList:
        restored = store.ReadStringList(path, current.toStringList());
        break;
    case TPropertyKind::Collection:
        if (!current.canConvert<TCollectionValue>())
            return;
        restored = QVariant::fromValue(store.ReadCollection(path, current.value<TCollectionValue>()));
        break;
    case TPropertyKind::ComponentReference: {
        // Only a reference that is set is restored, and only to a component that exists.
        if (!current.value<QObject*>())
            return;
        QObject* target = FindComponent(store.ReadString(path));
        if (!target)
            return;
        restored = QVariant::fromValue(target);
        break;
    }
    }
    if (ok)
        accessor.Set(component, restored);
}

QString TFormStorage::ScreenKey(const QString& key, const IPlacementTarget& window) const
{
    const QSize screen = window.ScreenSize();
    return key + QString::asprintf("(%dx%d)", screen.width(), screen.height());
}

QString TFormStorage::ReadPlacementText(const QString& key, const IPlacementTarget& window) const
{
    if (!FAppStorage)
        return {};
    const QString screenPath = ConcatPaths(ScreenKey(key, window));
    if (FAppStorage->ValueStored(screenPath))
        return FAppStorage->ReadString(screenPath);
    return FAppStorage->ReadString(ConcatPaths(key));
}

void TFormStorage::SavePlacement(const IPlacementTarget& window)
{
    if (!FAppStorage)
        return;
    TWindowPlacement placement = window.GetPlacement();
    if (window.IsMainWindow() && window.IsApplicationMinimized())
        placement.ShowCmd = 2;
    WriteInteger(QStringLiteral("ShowCmd"), placement.ShowCmd);
    WriteInteger(QStringLiteral("Flags"), placement.Flags);
    WriteInteger(QStringLiteral("PixelsPerInch"), window.PixelsPerInch());
    const QString minMax = FourIntegers(placement.MinPosition.x(), placement.MinPosition.y(),
                                        placement.MaxPosition.x(), placement.MaxPosition.y());
    WriteString(ScreenKey(QStringLiteral("MinMaxPos"), window), minMax);
    WriteString(QStringLiteral("MinMaxPos"), minMax);
    const QString normal = FourIntegers(placement.NormalLeft, placement.NormalTop,
                                        placement.NormalRight, placement.NormalBottom);
    WriteString(ScreenKey(QStringLiteral("NormPos"), window), normal);
    WriteString(QStringLiteral("NormPos"), normal);
}

void TFormStorage::RestorePlacement(IPlacementTarget& window)
{
    if (!FAppStorage)
        return;
    TWindowPlacement placement = window.GetPlacement();
    if (!window.IsVisible())
        placement.ShowCmd = 0;   // applying the record must not show the window yet
    placement.Flags = ReadInteger(QStringLiteral("Flags"), placement.Flags);

    bool dataFound = false;
    const QStringList minMax = Words(ReadPlacementText(QStringLiteral("MinMaxPos"), window));
    if (!minMax.isEmpty()) {
        dataFound = true;
        int x = 0, y = 0;
        WordAsInt(minMax, 0, x);
        WordAsInt(minMax, 1, y);
        placement.MinPosition = QPoint(x, y);
    }

    bool sizeFits = true;
    const QStringList normal = Words(ReadPlacementText(QStringLiteral("NormPos"), window));
    if (!normal.isEmpty()) {
        dataFound = true;
        WordAsInt(normal, 0, placement.NormalLeft);
        WordAsInt(normal, 1, placement.NormalTop);
        // The window keeps its own size; only where it stood is taken from the file.
        const qint64 right = qint64(placement.NormalLeft) + window.Width();
        const qint64 bottom = qint64(placement.NormalTop) + window.Height();
        sizeFits = right <= std::numeric_limits<int>::max() && bottom <= std::numeric_limits<int>::max();
        if (sizeFits) {
            placement.NormalRight = int(right);
            placement.NormalBottom = int(bottom);
        }
    }

    const int pixelsPerInch = window.PixelsPerInch();
    if (dataFound && sizeFits && ReadInteger(QStringLiteral("PixelsPerInch"), pixelsPerInch) == pixelsPerInch
        && placement.NormalLeft < placement.NormalRight)
        window.ApplyPlacement(placement);

    switch (ReadInteger(QStringLiteral("ShowCmd"), 0)) {
    case 2:
    case 6:
    case 7:
        window.SetShowState(TWindowShowState::Normal);
        window.MinimizeApplication();
        return;
    case 3:
        window.SetShowState(TWindowShowState::Maximized);
        return;
    default:
        window.SetShowState(TWindowShowState::Normal);
        return;
    }
}
