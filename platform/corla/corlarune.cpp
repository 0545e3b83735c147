// RUNE module description files: parsing, lookup, the open hook, internal logging.
#include "corlaimpl.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <iterator>
#include <sys/stat.h>

#include "atomicfile.h"

using namespace corla::detail;

struct CorlaIntLogChannel {
    int index = 0;
    int rateMs = 0;
    QStringList signalNames;
};

struct CorlaIntLogSetup : Object {
    CorlaIntLogSetup() : Object(CORLA_KIND_INTLOG) { }
    std::vector<CorlaIntLogChannel *> channels;
    ~CorlaIntLogSetup() override { clear(); }
    void clear()
    {
        for (auto *c : channels)
            delete c;
        channels.clear();
    }
};

namespace {

bool parseNumber(const QString &s, uint64_t *out)
{
    bool ok = false;
    uint64_t v = 0;
    if (s.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        v = s.mid(2).toULongLong(&ok, 16);
    else
        v = s.toULongLong(&ok, 10);
    if (ok)
        *out = v;
    return ok;
}

// A RUNE file is a few hundred bytes; this only stops runaway input.
constexpr qint64 kMaxRuneFile = 1024 * 1024;

// What a path names once links are followed, without opening it.
bool isRegularFile(const QString &path)
{
    struct stat st { };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

// What the keys read so far have given.
struct RuneSeen {
    bool module = false, firmware = false, size = false, name = false;
};

// Reads one key's value into the rune; returns why the line is refused, or nothing.
using RuneKeyFn = QString (*)(CorlaRune *r, const QString &rest, const QStringList &args, RuneSeen &seen);

struct RuneKey {
    const char *key;
    RuneKeyFn read;
};

// One entry a key of a RUNE file.
const RuneKey kRuneKeys[] = {
    {"name",
     [](CorlaRune *r, const QString &rest, const QStringList &, RuneSeen &) -> QString {
         if (rest.isEmpty())
             return QStringLiteral("name needs a value");
         r->name = rest;
         return {};
     }},
    {"version",
     [](CorlaRune *r, const QString &rest, const QStringList &, RuneSeen &) -> QString {
         if (rest.isEmpty())
             return QStringLiteral("version needs a value");
         r->version = rest;
         return {};
     }},
    {"description",
     [](CorlaRune *r, const QString &rest, const QStringList &, RuneSeen &) -> QString {
         r->description = rest;
         return {};
     }},
    {"module",
     [](CorlaRune *r, const QString &, const QStringList &args, RuneSeen &seen) -> QString {
         uint64_t a = 0;
         if (args.size() != 1 || !parseNumber(args[0], &a) || a > 0xFFFF)
             return QStringLiteral("module needs one 16-bit number");
         r->module = uint32_t(a);
         seen.module = true;
         return {};
     }},
    {"firmware",
     [](CorlaRune *r, const QString &, const QStringList &args, RuneSeen &seen) -> QString {
         uint64_t a = 0;
         if (args.isEmpty() || args.size() > 2 || !parseNumber(args[0], &a) || a > 0xFFFF)
             return QStringLiteral("firmware needs one or two 16-bit numbers");
         uint64_t b = a;
         if (args.size() == 2 && (!parseNumber(args[1], &b) || b > 0xFFFF || b < a))
             return QStringLiteral("firmware range is invalid");
         r->firmwareMin = uint32_t(a);
         r->firmwareMax = uint32_t(b);
         seen.firmware = true;
         return {};
     }},
    {"cal.size",
     [](CorlaRune *r, const QString &, const QStringList &args, RuneSeen &seen) -> QString {
         uint64_t a = 0;
         if (args.size() != 1 || !parseNumber(args[0], &a) || a == 0 || a > corla::proto::kMaxCalibration)
             return QStringLiteral("cal.size needs a size from 1 to 16 MiB");
         r->calSize = uint32_t(a);
         seen.size = true;
         return {};
     }},
    {"cal.name",
     [](CorlaRune *r, const QString &, const QStringList &args, RuneSeen &seen) -> QString {
         uint64_t a = 0, b = 0;
         if (args.size() != 2 || !parseNumber(args[0], &a) || !parseNumber(args[1], &b) || b == 0 || b > 0xFFFF
             || a > 0xFFFFFFFFu)
             return QStringLiteral("cal.name needs an address and a size from 1 to 65535");
         r->nameAddress = a;
         r->nameSize = uint16_t(b);
         seen.name = true;
         return {};
     }},
    {"cal.image",
     [](CorlaRune *r, const QString &, const QStringList &args, RuneSeen &) -> QString {
         uint64_t a = 0;
         if (args.size() != 1 || !parseNumber(args[0], &a) || a > 0xFFFFFFFFu)
             return QStringLiteral("cal.image needs an address");
         r->imageAddress = uint32_t(a);
         return {};
     }},
    {"signal",
     [](CorlaRune *r, const QString &, const QStringList &args, RuneSeen &) -> QString {
         if (args.size() != 1)
             return QStringLiteral("signal needs one name");
         r->signalNames << args[0];
         return {};
     }},
    {"logchannel",
     [](CorlaRune *r, const QString &, const QStringList &args, RuneSeen &) -> QString {
         uint64_t a = 0, b = 0;
         if (args.size() != 3 || !parseNumber(args[0], &a) || !parseNumber(args[1], &b) || a > 255 || b > 3600000)
             return QStringLiteral("logchannel needs an index, a rate in ms and a list of signals");
         CorlaRune::LogChannel c;
         c.index = int(a);
         c.rateMs = int(b);
         c.signalNames = args[2].split(QLatin1Char(','), Qt::SkipEmptyParts);
         r->channels << c;
         return {};
     }},
};

void resetRune(CorlaRune *r, const QString &path)
{
    r->loaded = false;
    r->path = path;
    r->name.clear();
    r->version.clear();
    r->description.clear();
    r->error.clear();
    r->module = r->firmwareMin = r->firmwareMax = r->calSize = r->imageAddress = 0;
    r->nameAddress = 0;
    r->nameSize = 0;
    r->signalNames.clear();
    r->channels.clear();
}

// Reads the lines after the header; returns why a line is refused (with its
// number in *lineNo), or nothing.
QString readRuneLines(CorlaRune *r, const QStringList &lines, RuneSeen &seen, int *lineNo)
{
    bool header = false;
    for (int n = 0; n < lines.size(); ++n) {
        *lineNo = n + 1;
        QString line = lines[n];
        const qsizetype hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype sp = line.indexOf(QLatin1Char(' '));
        const QString key = sp < 0 ? line : line.left(sp);
        const QString rest = sp < 0 ? QString() : line.mid(sp + 1).trimmed();
        const QStringList args = rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!header) {
            if (key != QLatin1String("corla-rune") || args != QStringList{QStringLiteral("1")})
                return QStringLiteral("the file must start with \"corla-rune 1\"");
            header = true;
            continue;
        }
        const auto known = std::find_if(std::begin(kRuneKeys), std::end(kRuneKeys),
                                        [&](const RuneKey &k) { return key == QLatin1String(k.key); });
        if (known == std::end(kRuneKeys))
            return QStringLiteral("unknown key \"%1\"").arg(key);
        const QString why = known->read(r, rest, args, seen);
        if (!why.isEmpty())
            return why;
    }
    *lineNo = 1;
    return header ? QString() : QStringLiteral("the file is empty; it must start with \"corla-rune 1\"");
}

QStringList missingKeys(const CorlaRune *r, const RuneSeen &seen)
{
    QStringList missing;
    const std::pair<bool, const char *> required[] = {{!r->name.isEmpty(), "name"}, {!r->version.isEmpty(), "version"},
                                                      {seen.module, "module"},      {seen.firmware, "firmware"},
                                                      {seen.size, "cal.size"},      {seen.name, "cal.name"}};
    for (const auto &[have, key] : required)
        if (!have)
            missing << QLatin1String(key);
    return missing;
}

// Returns 0, or 1 unreadable, 2 syntax, 3 missing field; rune->error says why.
int parseRune(CorlaRune *r, const QString &path)
{
    resetRune(r, path);
    // Like every input: a regular file, bounded, so that a device or a pipe
    // named *.rune is refused unread.
    QByteArray bytes;
    QString why;
    if (path == QLatin1String("-") || !kelda::fileio::readInput(path, kMaxRuneFile, &bytes, &why)) {
        if (path == QLatin1String("-"))
            why = QStringLiteral("not a regular file");
        r->error = QStringLiteral("Cannot read RUNE file ") + path + QStringLiteral(": ") + why;
        return 1;
    }
    RuneSeen seen;
    int lineNo = 0;
    why = readRuneLines(r, QString::fromUtf8(bytes).split(QLatin1Char('\n')), seen, &lineNo);
    if (!why.isEmpty()) {
        r->error = QStringLiteral("%1:%2: %3").arg(path, QString::number(lineNo), why);
        return 2;
    }
    const QStringList missing = missingKeys(r, seen);
    if (!missing.isEmpty()) {
        r->error = QStringLiteral("%1: missing %2").arg(path, missing.join(QLatin1String(", ")));
        return 3;
    }
    if (r->nameAddress + r->nameSize > r->calSize) {
        r->error = QStringLiteral("%1: the name field lies outside the calibration space").arg(path);
        return 2;
    }
    if (r->imageAddress == 0)
        r->imageAddress = uint32_t(r->nameAddress + r->nameSize);
    r->loaded = true;
    return 0;
}

struct Hook {
    CorlaRuneOpenHook fn;
    void *context;
};
std::vector<Hook> &hooks()
{
    static auto *h = new std::vector<Hook>;
    return *h;
}

bool locate(uint32_t a, uint32_t b, QString *path, QString *info)
{
    const QStringList folders = runeFolders();
    for (const QString &folder : folders) {
        QDir dir(folder);
        const QStringList files = dir.entryList({QStringLiteral("*.rune")}, QDir::Files | QDir::Readable, QDir::Name);
        for (const QString &file : files) {
            CorlaRune probe;
            const QString full = dir.absoluteFilePath(file);
            if (!isRegularFile(full))
                continue;  // a link to a device or a pipe is never opened
            if (parseRune(&probe, full) == 0 && probe.matches(a, b)) {
                if (path)
                    *path = QDir::toNativeSeparators(full);
                if (info)
                    *info = probe.name + QLatin1Char(' ') + probe.version;
                return true;
            }
        }
    }
    if (info)
        *info = QStringLiteral("no RUNE file for %1 in %2")
                    .arg(describeModule(a, b),
                         folders.isEmpty() ? QStringLiteral("(no folder)") : folders.join(QLatin1String(", ")));
    return false;
}

}  // namespace

namespace corla::detail {

QString describeModule(uint32_t a, uint32_t b)
{
    return QStringLiteral("module %1 firmware %2").arg(hex4(a), hex4(b));
}

QStringList runeFolders()
{
    const QString env = qEnvironmentVariable("CORLA_RUNE_PATH");
    if (!env.isEmpty())
        return env.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    QStringList out;
    for (const QString &d : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        out << d + QLatin1String("/corla/runes");
    if (QCoreApplication::instance())
        out << QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1String("/../share/corla/runes"));
    out.removeDuplicates();
    return out;
}

CorlaRune *locateAndLoad(uint32_t a, uint32_t b, QString *info)
{
    QString path;
    if (!locate(a, b, &path, info))
        return nullptr;
    auto *r = new CorlaRune;
    addRef(r);
    if (parseRune(r, path) != 0) {
        if (info)
            *info = r->error;
        remRef(r);
        return nullptr;
    }
    return r;
}

CorlaRune *callOpenHook(void *mediator, uint32_t a, uint32_t b, bool *haveHook)
{
    auto &h = hooks();
    *haveHook = !h.empty();
    if (h.empty())
        return nullptr;
    Hook use = h.back();
    for (const Hook &k : h)
        if (k.context == mediator)
            use = k;
    int flag = 0;
    CorlaRune *r = use.fn(use.context, a, b, &flag);
    if (r && !isLive(r, CORLA_KIND_RUNE))
        return nullptr;
    return r;
}

}  // namespace corla::detail

extern "C" {

CorlaRune *CORLA_Rune_Create(void)
{
    return new CorlaRune;
}

int CORLA_Rune_Load(CorlaRune *rune, const char16_t *path)
{
    if (!isLive(rune, CORLA_KIND_RUNE))
        return 1;
    return parseRune(rune, fromWide(path));
}

const char16_t *CORLA_Rune_GetName(const CorlaRune *r)
{
    return isLive(r, CORLA_KIND_RUNE) ? wide(r->name) : u"";
}
const char16_t *CORLA_Rune_GetVersion(const CorlaRune *r)
{
    return isLive(r, CORLA_KIND_RUNE) ? wide(r->version) : u"";
}
const char16_t *CORLA_Rune_GetError(const CorlaRune *r)
{
    return isLive(r, CORLA_KIND_RUNE) ? wide(r->error) : u"";
}
uint64_t CORLA_Rune_GetCalNameCC(const CorlaRune *r)
{
    return isLive(r, CORLA_KIND_RUNE) ? r->nameAddress : 0;
}
uint16_t CORLA_Rune_GetCalNameSize(const CorlaRune *r)
{
    return isLive(r, CORLA_KIND_RUNE) ? r->nameSize : 0;
}
uint32_t CORLA_Rune_GetCalSize(const CorlaRune *r)
{
    return isLive(r, CORLA_KIND_RUNE) ? r->calSize : 0;
}
uint32_t CORLA_Rune_GetModuleWord(const CorlaRune *r)
{
    return isLive(r, CORLA_KIND_RUNE) ? r->module : 0;
}

void CORLA_Rune_SetOpenDelegate(CorlaRuneOpenHook hook, void *context)
{
    auto &h = hooks();
    std::erase_if(h, [context](const Hook &k) { return k.context == context; });
    if (hook)
        h.push_back({hook, context});
    else
        forgetMediatorEverywhere(context);
}

int CORLA_Setup_LocateRune(CorlaString *path, uint32_t a, uint32_t b, CorlaString *info)
{
    QString p, i;
    const bool found = locate(a, b, &p, &i);
    if (isLive(path, CORLA_KIND_STRING))
        path->text = found ? p : QString();
    if (isLive(info, CORLA_KIND_STRING))
        info->text = i;
    return found ? 1 : 0;
}

int CORLA_Setup_GetRuneFolders(CorlaString *folders)
{
    const QStringList list = runeFolders();
    if (isLive(folders, CORLA_KIND_STRING))
        folders->text = list.join(QLatin1Char('\n'));
    return int(list.size());
}

int CORLA_Setup_IsInstalled(uint32_t a, uint32_t b, int reserved)
{
    if (reserved != 0)
        return 0;
    return locate(a, b, nullptr, nullptr) ? 1 : 0;
}

// ---- internal logging ----
CorlaIntLogSetup *CORLA_IntLogSetup_Create(void)
{
    return new CorlaIntLogSetup;
}

int CORLA_IntLogSetup_Parse(CorlaIntLogSetup *setup, CorlaICal *ical, CorlaString *error)
{
    auto say = [error](const QString &t) {
        if (isLive(error, CORLA_KIND_STRING))
            error->text = t;
    };
    if (!isLive(setup, CORLA_KIND_INTLOG)) {
        say(QStringLiteral("invalid internal logging setup"));
        return 2;
    }
    setup->clear();
    CorlaRune *r = CORLA_ICal_GetRune(ical);
    if (!r || !r->loaded) {
        say(QStringLiteral("no RUNE is loaded, so the internal logging setup cannot be read"));
        return 1;
    }
    for (const auto &c : r->channels)
        setup->channels.push_back(new CorlaIntLogChannel{c.index, c.rateMs, c.signalNames});
    say(QString());
    return 0;
}

int CORLA_IntLogSetup_GetChannelCount(const CorlaIntLogSetup *setup)
{
    return isLive(setup, CORLA_KIND_INTLOG) ? int(setup->channels.size()) : 0;
}

CorlaIntLogChannel *CORLA_IntLogSetup_GetChannel(const CorlaIntLogSetup *setup, int index)
{
    if (!isLive(setup, CORLA_KIND_INTLOG) || index < 0 || index >= int(setup->channels.size()))
        return nullptr;
    return setup->channels[size_t(index)];
}

void CORLA_IntLogSetup_Destroy(CorlaIntLogSetup *setup)
{
    if (!setup)
        return;
    if (!isLive(setup, CORLA_KIND_INTLOG))
        return noteBadRelease("CORLA_IntLogSetup_Destroy");
    delete setup;
}

int CORLA_IntLogChannel_IsLogListValid(const CorlaIntLogChannel *channel, CorlaRune *rune, int reserved)
{
    // Channels are owned by a live setup; a stray pointer cannot be checked, so trust non-null.
    if (!channel || reserved != 0 || !isLive(rune, CORLA_KIND_RUNE))
        return 0;
    if (channel->rateMs <= 0 || channel->signalNames.isEmpty())
        return 0;
    for (const QString &s : channel->signalNames)
        if (!rune->signalNames.contains(s))
            return 0;
    return 1;
}

}  // extern "C"
