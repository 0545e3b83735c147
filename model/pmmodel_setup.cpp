// PMModel: creating, opening (with the upgrade of older files) and saving a
// setup, and the global options with their conversions.
#include "pmmodel.h"
#include "pmmodel_p.h"

#include <QFileInfo>

using namespace kelda;
using namespace kelda::detail;

detail::StorePath detail::storePath(const QString &path, const char *verb, const char *advice)
{
    StorePath p;
    if (path.isEmpty()) {
        p.what = QStringLiteral("Could not %1 the setup").arg(QLatin1String(verb));
        p.why = QStringLiteral("no file name was given.");
        return p;
    }
    p.what = QStringLiteral("Could not %1 \"%2\"").arg(QLatin1String(verb), path);
    // The store takes Latin-1 paths; a path it cannot carry must not be
    // mangled into the name of some other file.
    for (QChar ch : path)
        if (ch.unicode() > 0xFF) {
            p.why = QStringLiteral("the file name contains characters the setup store cannot handle; %1")
                        .arg(QLatin1String(advice));
            return p;
        }
    p.encoded = path.toLatin1();
    return p;
}

QString detail::failureMessage(const QString &what, const QString &reason)
{
    return reason.isEmpty() ? what : what + QStringLiteral(": ") + reason;
}

void detail::storeFailure(const QString &what, const QString &path, QString &message, QString &reason)
{
    reason = storeError().trimmed();
    message = failureMessage(what, reason);  // as it always read
    // The store's reason may start with what failed; the reason alone goes without it.
    for (const QString &prefix :
         {QStringLiteral("cannot open %1: ").arg(path), QStringLiteral("cannot write to %1: ").arg(path)})
        if (!path.isEmpty() && reason.startsWith(prefix))
            reason = reason.mid(prefix.size());
}

void PMModel::setFailure(const QString &what, const QString &reason)
{
    m_errorString = reason;
    m_lastError = failureMessage(what, reason);
}

void PMModel::setStoreError(const QString &what, const QString &path)
{
    storeFailure(what, path, m_lastError, m_errorString);
}

bool PMModel::createSetup()
{
    m_fileName.clear();
    m_session.reset();
    m_session = UniqueSession::create();
    if (!m_session) {
        setStoreError(QStringLiteral("Could not create a new setup"), QString());
        return false;
    }
    StoreCursor c = m_session.cursor();
    if (c.root() && c.append(ItemType::Setup, 1) && c.open(ItemType::Setup, 0))
        fillFixedLists(c, true);
    // Nothing the user made is in it yet, so there is nothing to lose.
    m_modified = false;
    return true;
}

void PMModel::newSetup()
{
    beginResetModel();
    createSetup();
    endResetModel();
    emit setupChanged();
    startHistory();
}

bool PMModel::openSetup(const QString &path)
{
    // The file is read into a session of its own; the open setup is replaced
    // only once the new one is whole, so a failure changes nothing.
    const StorePath p = storePath(path, "open", kRenameAdvice);
    if (p.encoded.isEmpty()) {
        setFailure(p.what, p.why);
        return false;
    }
    UniqueSession opened = UniqueSession::open(p.encoded);
    if (!opened) {
        setStoreError(p.what, path);
        return false;
    }
    StoreCursor c = opened.cursor();
    if (!c.setup()) {
        opened.reset();
        setFailure(p.what, QString::fromLatin1(kNoSetupReason));
        return false;
    }
    fillFixedLists(c, false);  // switches have always been 25

    beginResetModel();
    m_session = std::move(opened);  // closes the one it replaces
    m_fileName = path;
    m_modified = false;
    setFailure(QString(), QString());
    endResetModel();
    emit setupChanged();
    startHistory();
    return true;
}

bool PMModel::saveSetup(const QString &path)
{
    if (!m_session) {
        setFailure(QStringLiteral("Could not save \"%1\"").arg(path), QStringLiteral("no setup is open."));
        return false;
    }
    const StorePath p = storePath(path, "save", "choose another name.");
    if (p.encoded.isEmpty()) {
        setFailure(p.what, p.why);
        return false;
    }
    if (!m_session.save(p.encoded)) {
        // The file name stays as it was, so a later Save does not aim at a path that failed.
        setStoreError(p.what, path);
        return false;
    }
    m_fileName = path;
    m_modified = false;
    setFailure(QString(), QString());
    return true;
}

// ---------------------------------------------------------------- options

double PMModel::option(int index) const
{
    StoreCursor c(liveSession());
    if (!optionSpec(index) || !c.item(ItemType::Option, index))
        return 0;
    uint16_t v = 0;
    return optionShown(index, c.u16(ValueId::Data, v) ? std::optional<uint16_t>(v) : std::nullopt);
}

void PMModel::setOption(int index, double value)
{
    StoreCursor c(liveSession());
    const OptionSpec *spec = optionSpec(index);
    if (!spec || !c.item(ItemType::Option, index))
        return;
    int stored = 0;
    switch (spec->kind) {
    case OptionKind::Seconds:
        stored = roundLow16(value * spec->scale);
        break;
    case OptionKind::Count:
        stored = truncLow16(value);
        break;
    case OptionKind::Choice: {
        const int i = std::isfinite(value) ? int(std::trunc(qBound(-1.0, value, 1.0e6))) : -1;
        stored = i >= 0 && i < int(kCanSpeeds.size()) ? kCanSpeeds[size_t(i)].code : 0;
        break;
    }
    case OptionKind::Identifier:
        stored = truncLow16(qBound(spec->minimum, value, spec->maximum));
        break;
    }
    uint16_t old = 0;
    const bool had = c.u16(ValueId::Data, old);
    if (had && old == stored)
        return;  // not a change
    // The steps of a spin box while it is held or typed into make one change.
    const ChangeScope change(
        *this, [&] { return optionText(index); }, -1, -1, index);
    c.setInt(ValueId::Data, stored);
    markModified();
}
