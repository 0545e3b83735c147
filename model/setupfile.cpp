#include "setupfile.h"

#include "pmmodel_p.h"
#include "storecursor.h"

namespace kelda {

namespace {

// With the cursor on the setup item: append items up to `target` and
// initialise only the new ones.
template <typename Init>
void fillUpTo(StoreCursor &c, ItemType type, int target, Init init)
{
    const int have = c.count(type);
    if (have >= target || !c.append(type, target - have))
        return;
    for (int i = have; i < target; ++i) {
        if (!c.open(type, i))
            continue;
        init(i);
        c.close();
    }
}

}  // namespace

// The lists every setup has; older files may lack some. The one upgrade of
// both the editor's Open (PMModel::openSetup) and SetupFile.
void detail::fillFixedLists(StoreCursor &c, bool withSwitches)
{
    fillUpTo(c, ItemType::KeypadKey, kKeypadKeyCount, [&](int i) {
        c.setText(ValueId::Name, QStringLiteral("Keypad %1").arg(i + 1));
        c.setInt(ValueId::Order, i);
    });
    if (withSwitches) {
        fillUpTo(c, ItemType::Switch, kSwitchCount, [&](int i) {
            c.setText(ValueId::Name, QStringLiteral("Switch %1").arg(i + 1));
            c.setInt(ValueId::Order, i);
        });
    }
    fillUpTo(c, ItemType::Lx2Led, kLx2LedCount,
             [&](int i) { c.setText(ValueId::Name, QStringLiteral("LX2 LED %1").arg(i + 1)); });
    fillUpTo(c, ItemType::Lx1Module, kLx1ModuleCount, [](int) {});
    fillUpTo(c, ItemType::Option, kOptionCount, [&](int i) { c.setInt(ValueId::Data, kOptionDefaults[size_t(i)]); });
}

SetupFile::SetupFile() = default;
SetupFile::~SetupFile() = default;

StoreSession SetupFile::session() const
{
    return m_session ? m_session->get() : nullptr;
}

bool SetupFile::fail(const QString &what, const QString &reason)
{
    m_reason = reason;
    m_error = detail::failureMessage(what, reason);
    return false;
}

bool SetupFile::create()
{
    auto made = std::make_unique<UniqueSession>(UniqueSession::create());
    StoreCursor c = made->cursor();
    if (!*made || !c.root() || !c.append(ItemType::Setup, 1) || !c.open(ItemType::Setup, 0))
        return fail(QStringLiteral("Could not create a new setup"), storeError().trimmed());
    detail::fillFixedLists(c, true);
    m_session = std::move(made);
    m_fileName.clear();
    fail(QString(), QString());
    return true;
}

bool SetupFile::open(const QString &path)
{
    const detail::StorePath p = detail::storePath(path, "open", detail::kRenameAdvice);
    if (p.encoded.isEmpty())
        return fail(p.what, p.why);
    auto opened = std::make_unique<UniqueSession>(UniqueSession::open(p.encoded));
    if (!*opened) {
        detail::storeFailure(p.what, path, m_error, m_reason);
        return false;
    }
    StoreCursor c = opened->cursor();
    if (!c.setup())
        return fail(p.what, QString::fromLatin1(detail::kNoSetupReason));
    detail::fillFixedLists(c, false);  // switches have always been 25
    m_session = std::move(opened);
    m_fileName = path;
    fail(QString(), QString());
    return true;
}

}  // namespace kelda
