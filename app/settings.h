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
    LastSetup,    // full path of the setup file last opened or saved under a new name
    Port,         // COM port for strategy upload
};

inline QString keyName(Key key)
{
    switch (key) {
    case Key::DefaultPath: return QStringLiteral("DefaultPath");
    case Key::LastSetup: return QStringLiteral("LastSetup");
    case Key::Port: return QStringLiteral("Port");
    }
    return QString();
}

inline std::unique_ptr<QSettings> open()
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QLatin1String(kOrganization), QLatin1String(kApplication));
}

// A missing key reads as the empty string.
inline QString read(const QSettings &s, Key key) { return s.value(keyName(key), QString()).toString(); }
inline void write(QSettings &s, Key key, const QString &value) { s.setValue(keyName(key), value); }

} // namespace kelda::settings
