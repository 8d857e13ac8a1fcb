#include "settings/AppIniFileStorage.h"

#include "settings/ExtendedFloat.h"
#include "storage/FileLock.h"
#include "storage/SafeFileWrite.h"
#include "settings/StoragePath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

namespace {

const QString CountKey = QStringLiteral("Count");
const QString ItemPrefix = QStringLiteral("Item");
const QStringList TrueWords = {QStringLiteral("TRUE"), QStringLiteral("YES"), QStringLiteral("Y")};
const QStringList FalseWords = {QStringLiteral("FALSE"), QStringLiteral("NO"), QStringLiteral("N")};

// A damaged Count must not make a restore build millions of entries.
constexpr int MaxStoredItems = 100000;

QString Child(const QString& path, const QString& name)
{
    return path + QLatin1Char('\\') + name;
}

QString ItemName(int index)
{
    return ItemPrefix + QString::number(index);
}

// "Item<n>" -> n, or -1.
int ItemNumber(const QString& name)
{
    if (!name.startsWith(ItemPrefix, Qt::CaseInsensitive))
        return -1;
    bool ok = false;
    const int n = name.mid(ItemPrefix.size()).toInt(&ok);
    return ok && n >= 0 ? n : -1;
}

void SetOk(bool* ok, bool value)
{
    if (ok)
        *ok = value;
}

bool IsHexText(const QString& text)
{
    for (QChar c : text) {
        const char16_t u = c.unicode();
        const bool hex = (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
        if (!hex)
            return false;
    }
    return true;
}

} // namespace

TAppIniFileStorage::TAppIniFileStorage(QObject* parent)
    : QObject(parent)
{
}

TAppIniFileStorage::~TAppIniFileStorage()
{
    Flush();
}

QString TAppIniFileStorage::WithIniExtension(const QString& fileName)
{
    if (fileName.isEmpty() || !QFileInfo(fileName).suffix().isEmpty())
        return fileName;
    return fileName + QStringLiteral(".ini");
}

void TAppIniFileStorage::SetFileName(const QString& fileName)
{
    const QString newName = WithIniExtension(fileName);
    if (newName == FFileName)
        return;
    Flush();
    FFileName = newName;
    Reload();
}

void TAppIniFileStorage::ReloadIfNeeded()
{
    if (!FLoaded)
        Reload();
}

void TAppIniFileStorage::Reload()
{
    FDocument.Clear();
    FReadFailed = false;
    FLoaded = true;
    FStamp = TFileStamp();
    if (FFileName.isEmpty())
        return;
    {
        // Temporaries of a write that was killed; under the lock no write is running.
        TFileLock lock(FFileName, 500);
        if (lock.Locked())
            TSafeFileWrite::RemoveLeftovers(FFileName);
    }
    if (!QFileInfo::exists(FFileName))
        return;
    FStamp = TFileStamp::Of(FFileName);
    QFile file(FFileName);
    if (!file.open(QIODevice::ReadOnly)) {
        FReadFailed = true;
        return;
    }
    FDocument.LoadFromBytes(file.readAll());
    if (file.error() != QFileDevice::NoError) {
        FDocument.Clear();
        FReadFailed = true;
    }
}

QString TAppIniFileStorage::Flush()
{
    if (FFileName.isEmpty() || FReadFailed)
        return QString();
    const QFileInfo info(FFileName);
    if (info.exists()) {
        // Root may write anything, so the owner's write bit is what marks a file read-only.
        const bool readOnly = !(info.permissions() & QFileDevice::WriteOwner) || !info.isWritable();
        if (readOnly)
            return QString();
    }
    const auto failed = [this](const QString& reason) {
        return QStringLiteral("Cannot save settings file %1: %2").arg(FFileName, reason);
    };
    if (!QDir().mkpath(info.absolutePath()))
        return failed(QStringLiteral("its folder cannot be created"));

    TFileLock lock(FFileName);
    if (!lock.Locked())
        return failed(lock.Error());
    // Another copy (from another path) may have saved meanwhile: what it wrote and this
    // document never had stays.
    const TFileStamp onDisk = TFileStamp::Of(FFileName);
    if (onDisk.Exists && onDisk != FStamp) {
        QFile file(FFileName);
        if (file.open(QIODevice::ReadOnly)) {
            TIniDocument theirs;
            theirs.LoadFromBytes(file.readAll());
            if (file.error() == QFileDevice::NoError)
                FDocument.AdoptMissingSections(theirs);
        }
    }
    const QString reason = TSafeFileWrite::Write(FFileName, FDocument.SaveToBytes());
    if (!reason.isEmpty())
        return failed(reason);
    FStamp = TFileStamp::Of(FFileName);
    return QString();
}

bool TAppIniFileStorage::Resolve(const QString& path, QString& section, QString& key) const
{
    const QString normalized = TStoragePath::Normalize(path);
    if (normalized.isEmpty())
        return false;
    TStoragePath::Split(normalized, section, key);
    return true;
}

std::optional<QString> TAppIniFileStorage::StoredText(const QString& path) const
{
    QString section, key;
    if (!Resolve(path, section, key))
        return std::nullopt;
    return FDocument.Value(section, key);
}

bool TAppIniFileStorage::ValueStored(const QString& path) const
{
    return StoredText(path).has_value();
}

bool TAppIniFileStorage::PathIsList(const QString& path) const
{
    const QString normalized = TStoragePath::Normalize(path);
    return !normalized.isEmpty() && FDocument.SectionOrSubSectionExists(normalized);
}

void TAppIniFileStorage::DeleteValue(const QString& path)
{
    QString section, key;
    if (Resolve(path, section, key))
        FDocument.DeleteKey(section, key);
}

void TAppIniFileStorage::DeleteSubTree(const QString& path)
{
    const QString normalized = TStoragePath::Normalize(path);
    if (!normalized.isEmpty())
        FDocument.EraseSection(normalized);
}

QString TAppIniFileStorage::ReadString(const QString& path, const QString& defaultValue) const
{
    return StoredText(path).value_or(defaultValue);
}

void TAppIniFileStorage::WriteString(const QString& path, const QString& value)
{
    QString section, key;
    if (Resolve(path, section, key))
        FDocument.SetValue(section, key, value);
}

int TAppIniFileStorage::ReadInteger(const QString& path, int defaultValue, bool* ok) const
{
    SetOk(ok, true);
    const auto text = StoredText(path);
    if (!text)
        return defaultValue;
    if (text->isEmpty())
        return 0;
    bool converted = false;
    const int value = text->toInt(&converted);
    SetOk(ok, converted);
    return converted ? value : defaultValue;
}

void TAppIniFileStorage::WriteInteger(const QString& path, int value)
{
    WriteString(path, QString::number(value));
}

bool TAppIniFileStorage::ReadBoolean(const QString& path, bool defaultValue, bool* ok) const
{
    SetOk(ok, true);
    const auto text = StoredText(path);
    if (!text)
        return defaultValue;
    if (TrueWords.contains(*text, Qt::CaseInsensitive))
        return true;
    if (FalseWords.contains(*text, Qt::CaseInsensitive))
        return false;
    bool converted = false;
    const qlonglong number = text->toLongLong(&converted);
    SetOk(ok, converted);
    return converted ? number != 0 : defaultValue;
}

void TAppIniFileStorage::WriteBoolean(const QString& path, bool value)
{
    WriteString(path, value ? TrueWords.first() : FalseWords.first());
}

int TAppIniFileStorage::ReadEnumeration(const QString& path, const QStringList& identifiers,
                                          int defaultValue, bool* ok) const
{
    SetOk(ok, true);
    const auto text = StoredText(path);
    if (!text)
        return defaultValue;
    for (int i = 0; i < identifiers.size(); ++i)
        if (identifiers[i].compare(*text, Qt::CaseInsensitive) == 0)
            return i;
    bool converted = false;
    const int ordinal = text->toInt(&converted);
    // An ordinal outside the type would leave the property with no valid value.
    if (converted && ordinal >= 0 && ordinal < identifiers.size())
        return ordinal;
    SetOk(ok, false);
    return defaultValue;
}

void TAppIniFileStorage::WriteEnumeration(const QString& path, const QStringList& identifiers, int value)
{
    WriteString(path, value >= 0 && value < identifiers.size() ? identifiers[value] : QString::number(value));
}

double TAppIniFileStorage::ReadFloat(const QString& path, double defaultValue, bool* ok) const
{
    SetOk(ok, true);
    const auto text = StoredText(path);
    if (!text)
        return defaultValue;
    if (IsHexText(*text)) {
        const QString digits = text->size() % 2 ? QLatin1Char('0') + *text : *text;
        const QByteArray bytes = QByteArray::fromHex(digits.toLatin1());
        return bytes.size() == TExtendedFloat::ByteCount ? TExtendedFloat::Decode(bytes) : defaultValue;
    }
    bool converted = false;
    const double value = QLocale().toDouble(*text, &converted);
    SetOk(ok, converted);
    return converted ? value : defaultValue;
}

void TAppIniFileStorage::WriteFloat(const QString& path, double value)
{
    WriteString(path, TExtendedFloat::ToHex(value));
}

QStringList TAppIniFileStorage::ReadStringList(const QString& path, const QStringList& defaultValue) const
{
    const QString list = TStoragePath::Normalize(path);
    if (list.isEmpty())
        return defaultValue;
    const QString countPath = Child(list, CountKey);
    if (!ValueStored(countPath)) {
        const auto single = StoredText(list);
        if (!single)
            return defaultValue;
        return single->split(QRegularExpression(QStringLiteral("\r\n|\r|\n")));
    }
    bool ok = false;
    const int count = ReadInteger(countPath, 0, &ok);
    if (!ok)
        return defaultValue;
    // The items live beside the count, in one section: looked up there all at once, so a
    // log of a hundred thousand lines loads in a blink.
    QString section, countKey;
    Resolve(countPath, section, countKey);
    QStringList keys;
    keys.reserve(qBound(0, count, MaxStoredItems));
    for (int i = 0; i < qBound(0, count, MaxStoredItems); ++i)
        keys.append(ItemName(i));
    QStringList result;
    result.reserve(keys.size());
    for (const std::optional<QString>& value : FDocument.Values(section, keys))
        result.append(value.value_or(QString()));
    return result;
}

void TAppIniFileStorage::WriteStringList(const QString& path, const QStringList& value)
{
    const QString list = TStoragePath::Normalize(path);
    if (list.isEmpty())
        return;
    const int oldCount = ReadInteger(Child(list, CountKey), 0);
    const int newCount = int(value.size());
    for (int i = 0; i < newCount; ++i)
        WriteString(Child(list, ItemName(i)), value[i]);
    if (newCount < oldCount) {
        FDocument.DeleteKeys(list, [&](const QString& key) {
            const int n = ItemNumber(key);
            return n >= newCount && n < oldCount;
        });
    }
    WriteInteger(Child(list, CountKey), newCount);
}

TCollectionValue TAppIniFileStorage::ReadCollection(const QString& path, const TCollectionValue& defaultValue) const
{
    const QString collection = TStoragePath::Normalize(path);
    const QString countPath = Child(collection, CountKey);
    if (collection.isEmpty() || !ValueStored(countPath))
        return defaultValue;
    bool ok = false;
    const int count = ReadInteger(countPath, 0, &ok);
    if (!ok)
        return defaultValue;
    TCollectionValue result;
    result.NewItem = defaultValue.NewItem;
    for (int i = 0; i < qBound(0, count, MaxStoredItems); ++i) {
        TPublishedItem item = defaultValue.NewItem;
        const QString itemPath = Child(collection, ItemName(i));
        for (TPublishedProperty& property : item)
            ReadPublished(Child(itemPath, property.Name), property);
        result.Items.append(item);
    }
    return result;
}

void TAppIniFileStorage::WriteCollection(const QString& path, const TCollectionValue& value)
{
    const QString collection = TStoragePath::Normalize(path);
    if (collection.isEmpty())
        return;
    const int oldCount = ReadInteger(Child(collection, CountKey), 0);
    const int newCount = int(value.Items.size());
    for (int i = 0; i < newCount; ++i) {
        const QString itemPath = Child(collection, ItemName(i));
        for (const TPublishedProperty& property : value.Items[i])
            WritePublished(Child(itemPath, property.Name), property);
    }
    if (newCount < oldCount) {
        // An item's section and every section below it go.
        const QString below = collection + QLatin1Char('\\');
        FDocument.EraseSections([&](const QString& section) {
            if (!section.startsWith(below, Qt::CaseInsensitive))
                return false;
            const int n = ItemNumber(section.mid(below.size()).section(QLatin1Char('\\'), 0, 0));
            return n >= newCount && n < oldCount;
        });
    }
    WriteInteger(Child(collection, CountKey), newCount);
}

bool TAppIniFileStorage::ReadPublished(const QString& path, TPublishedProperty& property) const
{
    if (!ValueStored(path))
        return true;
    bool ok = true;
    switch (property.Kind) {
    case TPropertyKind::String:
        property.Value = ReadString(path, property.Value.toString());
        break;
    case TPropertyKind::Integer: {
        const int value = ReadInteger(path, property.Value.toInt(), &ok);
        if (ok)
            property.Value = value;
        break;
    }
    case TPropertyKind::Boolean: {
        const bool value = ReadBoolean(path, property.Value.toBool(), &ok);
        if (ok)
            property.Value = value;
        break;
    }
    case TPropertyKind::Enumeration: {
        const int value = ReadEnumeration(path, property.EnumIdentifiers, property.Value.toInt(), &ok);
        if (ok)
            property.Value = value;
        break;
    }
    case TPropertyKind::Float: {
        const double value = ReadFloat(path, property.Value.toDouble(), &ok);
        if (ok)
            property.Value = value;
        break;
    }
    case TPropertyKind::StringList:
    case TPropertyKind::Collection:
    case TPropertyKind::ComponentReference:
        return false;
    }
    return ok;
}

void TAppIniFileStorage::WritePublished(const QString& path, const TPublishedProperty& property)
{
    switch (property.Kind) {
    case TPropertyKind::String:
        WriteString(path, property.Value.toString());
        break;
    case TPropertyKind::Integer:
        WriteInteger(path, property.Value.toInt());
        break;
    case TPropertyKind::Boolean:
        WriteBoolean(path, property.Value.toBool());
        break;
    case TPropertyKind::Enumeration:
        WriteEnumeration(path, property.EnumIdentifiers, property.Value.toInt());
        break;
    case TPropertyKind::Float:
        WriteFloat(path, property.Value.toDouble());
        break;
    case TPropertyKind::StringList:
    case TPropertyKind::Collection:
    case TPropertyKind::ComponentReference:
        break;
    }
}
