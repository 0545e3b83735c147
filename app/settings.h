// The settings of the editor: one INI file in user scope. Keys and defaults are
// written here once.
#pragma once

#include <QSettings>
#include <QString>

#include <memory>

namespace kelda::settings {

inline constexpr char kOrganization[] = "Ostrel";
inline constexpr char kApplication[] = "KELDA";

enum class Key {
    DefaultPath,  // folder of the setup (or calibration) file last chosen
    LastSetup,  // full path of the setup file last opened or saved under a new name
    Port,  // COM port for strategy upload
    // The window as it was left (kelda_views.cpp); a missing key leaves the form's default.
    WindowGeometry,  // QWidget::saveGeometry of the main window
    CurrentTab,  // index of the tab shown
    ColumnWidths,  // a group: one key per table view, "120,80,64"
    UploadDialogSize,  // QSize of the upload dialog as it was last closed
    // The report's revision block, per setup (kelda_report.cpp): a group with
    // one subgroup per setup path, holding "Vehicle", "Revision" and "Author".
    ReportDetails,
    Vehicle,  // the upload dialog's vehicle tag for the history, as last typed
    // The simulator window as it was last closed (sim/window/simlayout.cpp).
    SimulatorGeometry,  // QWidget::saveGeometry of the window
    SimulatorSplitter,  // QSplitter::saveState of the tables above the panel, log and timeline
};

inline QString keyName(Key key)
{
    switch (key) {
    case Key::DefaultPath:
        return QStringLiteral("DefaultPath");
    case Key::LastSetup:
        return QStringLiteral("LastSetup");
    case Key::Port:
        return QStringLiteral("Port");
    case Key::WindowGeometry:
        return QStringLiteral("WindowGeometry");
    case Key::CurrentTab:
        return QStringLiteral("CurrentTab");
    case Key::ColumnWidths:
        return QStringLiteral("ColumnWidths");
    case Key::UploadDialogSize:
        return QStringLiteral("UploadDialogSize");
    case Key::ReportDetails:
        return QStringLiteral("ReportDetails");
    case Key::Vehicle:
        return QStringLiteral("Vehicle");
    case Key::SimulatorGeometry:
        return QStringLiteral("SimulatorGeometry");
    case Key::SimulatorSplitter:
        return QStringLiteral("SimulatorSplitter");
    }
    return QString();
}

inline std::unique_ptr<QSettings> open()
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, QLatin1String(kOrganization),
                                       QLatin1String(kApplication));
}

// A missing key reads as the empty string.
inline QString read(const QSettings &s, Key key)
{
    return s.value(keyName(key), QString()).toString();
}
inline void write(QSettings &s, Key key, const QString &value)
{
    s.setValue(keyName(key), value);
}
// Keys whose values are not text: a missing key reads as an invalid QVariant.
inline QVariant readValue(const QSettings &s, Key key)
{
    return s.value(keyName(key));
}
inline void writeValue(QSettings &s, Key key, const QVariant &value)
{
    s.setValue(keyName(key), value);
}

}  // namespace kelda::settings
