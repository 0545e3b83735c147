// Port listing: the system's serial ports plus configured ones it cannot see.
#include "corlaimpl.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QStandardPaths>
#include <QTextStream>

#include <algorithm>
#include <map>

using namespace corla::detail;

struct CorlaPortSource {
    QString path;  // device path that is opened
    QString name;  // display name
    uint32_t kind = CORLA_PORT_SYSTEM;
};

struct CorlaPortList : Object {
    CorlaPortList() : Object(CORLA_KIND_PORTLIST) { }
    std::vector<CorlaPortSource *> entries;
};

namespace corla::detail {

QString portSourcePath(const CorlaPortSource *s)
{
    return s ? s->path : QString();
}
QString portSourceName(const CorlaPortSource *s)
{
    return s ? s->name : QString();
}

namespace {

// Sources are interned for the life of the process, so a PortInfo's pointers
// stay valid whatever the caller does with its list.
CorlaPortSource *intern(const QString &path, const QString &name, uint32_t kind)
{
    static auto *sources = new std::map<std::pair<QString, QString>, CorlaPortSource *>;
    auto key = std::make_pair(path, name);
    auto it = sources->find(key);
    if (it != sources->end()) {
        it->second->kind = kind;
        return it->second;
    }
    auto *s = new CorlaPortSource{path, name, kind};
    sources->emplace(key, s);
    return s;
}

// "ttyS10" after "ttyS9".
bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ie = i, je = j;
            while (ie < a.size() && a[ie].isDigit())
                ++ie;
            while (je < b.size() && b[je].isDigit())
                ++je;
            const qulonglong x = a.mid(i, ie - i).toULongLong(), y = b.mid(j, je - j).toULongLong();
            if (x != y)
                return x < y;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

QString canonical(const QString &path)
{
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? QDir::cleanPath(path) : c;
}

}  // namespace

QStringList configuredPorts()
{
    QStringList out;
    const QString env = qEnvironmentVariable("CORLA_EXTRA_PORTS");
    for (const QString &p : env.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        out << p.trimmed();
    QString file = qEnvironmentVariable("CORLA_PORTS_FILE");
    if (file.isEmpty())
        file = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1String("/corla/ports");
    QFile f(file);
    if (f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream in(&f);
        while (!in.atEnd()) {
            const QString line = in.readLine().trimmed();
            if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
                out << line;
        }
    }
    out.removeAll(QString());
    return out;
}

}  // namespace corla::detail

extern "C" {

CorlaPortList *CORLA_PortList_Create(void)
{
    return new CorlaPortList;
}

int CORLA_EnumPorts(CorlaPortList *list, uint32_t flags)
{
    if (!isLive(list, CORLA_KIND_PORTLIST))
        return 0;
    list->entries.clear();

    std::vector<CorlaPortSource *> system;
    QStringList systemPaths;
    const QString hide = qEnvironmentVariable("CORLA_NO_SYSTEM_PORTS");
    if (hide.isEmpty() || hide == QLatin1String("0")) {
        auto infos = QSerialPortInfo::availablePorts();
        if (flags & CORLA_ENUM_SORTED)
            std::stable_sort(infos.begin(), infos.end(), [](const QSerialPortInfo &a, const QSerialPortInfo &b) {
                return naturalLess(a.portName(), b.portName());
            });
        for (const auto &i : infos) {
            system.push_back(intern(i.systemLocation(), i.portName(), CORLA_PORT_SYSTEM));
            systemPaths << canonical(i.systemLocation());
        }
    }

    std::vector<CorlaPortSource *> configured;
    QStringList seen = systemPaths;
    for (const QString &p : configuredPorts()) {
        const QString c = canonical(p);
        if (seen.contains(c) || seen.contains(QDir::cleanPath(p)))
            continue;
        if ((flags & CORLA_ENUM_PRESENT_ONLY) && !QFileInfo::exists(p))
            continue;
        seen << c;
        configured.push_back(intern(p, p, CORLA_PORT_CONFIGURED));
    }

    if (flags & CORLA_ENUM_CONFIGURED_FIRST) {
        list->entries = configured;
        list->entries.insert(list->entries.end(), system.begin(), system.end());
    } else {
        list->entries = system;
        list->entries.insert(list->entries.end(), configured.begin(), configured.end());
    }
    return int(list->entries.size());
}

int CORLA_PortList_Size(const CorlaPortList *list)
{
    return isLive(list, CORLA_KIND_PORTLIST) ? int(list->entries.size()) : 0;
}

int CORLA_PortList_Get(const CorlaPortList *list, int index, PortInfo *info)
{
    if (!info)
        return 0;
    info->index = uint32_t(index);
    if (!isLive(list, CORLA_KIND_PORTLIST) || index < 0 || index >= int(list->entries.size())) {
        info->displayName = u"";
        info->kind = CORLA_PORT_SYSTEM;
        info->portSource = nullptr;
        return 0;
    }
    CorlaPortSource *s = list->entries[size_t(index)];
    info->displayName = wide(s->name);
    info->kind = s->kind;
    info->portSource = s;
    return 1;
}

void CORLA_PortList_Destroy(CorlaPortList *list)
{
    if (!list)
        return;
    if (!isLive(list, CORLA_KIND_PORTLIST))
        return noteBadRelease("CORLA_PortList_Destroy");
    delete list;
}

CorlaPortSource *CORLA_PortSource_FromPath(const char16_t *path)
{
    const QString p = fromWide(path).trimmed();
    if (p.isEmpty())
        return nullptr;
    // The serial port layer reads a name without a folder as one under /dev:
    // a relative path that exists is opened by its absolute path, and shown
    // as the caller spelled it.
    const QFileInfo fi(p);
    if (fi.isRelative() && fi.exists())
        return intern(fi.absoluteFilePath(), p, CORLA_PORT_CONFIGURED);
    return intern(p, p, CORLA_PORT_CONFIGURED);
}

CorlaPortFactory *CORLA_PortFactory_Create(CorlaPortSource *source, const PortSettings *settings)
{
    if (!source)
        return nullptr;
    auto *f = new CorlaPortFactory;
    f->path = source->path;
    f->name = source->name;
    if (settings)
        f->settings = *settings;
    if (f->settings.baudRate == 0)
        f->settings.baudRate = corla::proto::kDefaultBaud;
    return f;
}

void CORLA_PortFactory_Destroy(CorlaPortFactory *factory)
{
    if (!factory)
        return;
    if (!isLive(factory, CORLA_KIND_FACTORY))
        return noteBadRelease("CORLA_PortFactory_Destroy");
    delete factory;
}

}  // extern "C"
