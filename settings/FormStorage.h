#pragma once

#include "settings/AppIniFileStorage.h"
#include "settings/PlacementTarget.h"
#include "settings/StoredProperty.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

// The window-state recorder: single values, the window placement and the stored
// properties of a window, all under its root path (fMain\) in the settings store.
// The restore and save sequence around it belongs to the window.
class TFormStorage : public QObject
{
    Q_OBJECT
public:
    explicit TFormStorage(QObject* parent = nullptr);

    TAppIniFileStorage* AppStorage() const { return FAppStorage; }
    void SetAppStorage(TAppIniFileStorage* storage) { FAppStorage = storage; }

    // Root path of every value; a backslash is appended when missing. Default "fMain\".
    QString AppStoragePath() const { return FAppStoragePath; }
    void SetAppStoragePath(const QString& path);

    // Full store path of a name under the root.
    QString ConcatPaths(const QString& name) const;

    int ReadInteger(const QString& name, int defaultValue = 0) const;
    void WriteInteger(const QString& name, int value);
    double ReadFloat(const QString& name, double defaultValue = 0) const;
    void WriteFloat(const QString& name, double value);
    QString ReadString(const QString& name, const QString& defaultValue = QString()) const;
    void WriteString(const QString& name, const QString& value);

    // The main window's list: cbServerName.Text, acServerHistory.Strings, mmDIsplay.Lines,
    // sePort.Value, rbKvSrv.Checked, rbWebSrv.Checked, About1.Action, StatusPane1.Panels,
    // coldbDuration/coldbResult.Position, coldbServer.Sorted, coldbSpeed.Position and the
    // Width of coldbBytesRx, coldbDuration, coldbResult, coldbServer.
    static QList<TStoredProperty> MainWindowStoredProps();

    QList<TStoredProperty>& StoredProps() { return FStoredProps; }
    void SetStoredProps(const QList<TStoredProperty>& props) { FStoredProps = props; }
    // Replaces the accessor of one entry (by component and property name); false if absent.
    bool SetAccessor(const QString& componentName, const QString& propertyName,
                     const TStoredPropertyAccessor& accessor);
    // Finds each entry's component by objectName (the form itself or any descendant);
    // entries whose component does not exist are removed.
    void BindStoredProps(QObject* form);

    // In list order; a property that cannot be converted keeps its value, the rest go on.
    void SaveStoredProps();
    void RestoreStoredProps();

    // Window placement keys: ShowCmd, Flags, PixelsPerInch, MinMaxPos(WxH), MinMaxPos,
    // NormPos(WxH), NormPos.
    void SavePlacement(const IPlacementTarget& window);
    // Restores left and top only (the window keeps its size), and only when the stored
    // pixels per inch match; then the show state (minimized minimizes the application).
    void RestorePlacement(IPlacementTarget& window);

private:
    QString ScreenKey(const QString& key, const IPlacementTarget& window) const;
    QString ReadPlacementText(const QString& key, const IPlacementTarget& window) const;
    void SaveProperty(const TStoredProperty& property);
    void RestoreProperty(const TStoredProperty& property);
    QObject* FindComponent(const QString& name) const;

    QPointer<TAppIniFileStorage> FAppStorage;
    QString FAppStoragePath = QStringLiteral("fMain\\");
    QList<TStoredProperty> FStoredProps;
    QPointer<QObject> FForm;
};
