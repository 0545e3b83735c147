// The model's own helpers: the cell texts, the store walks of its tables and
// the scope of a recorded change.
#pragma once

#include "celltext.h"
#include "pmmodel.h"
#include "storecursor.h"

namespace kelda::detail {

// Event input k is in use only while every earlier input joins on (Combine != 0).
// With the cursor on an event: opens input k, walking the chain first when asked.
inline bool openEventInput(StoreCursor &c, int k, bool chain)
{
    if (k < 0 || k >= kEventInputCount)
        return false;
    if (chain) {
        for (int i = 0; i < k; ++i) {
            if (!c.open(ItemType::RefEntry, i))
                return false;
            const int combine = c.u16Or(ValueId::Combine, 0);
            c.close();
            if (combine == 0)
                return false;
        }
    }
    return c.open(ItemType::RefEntry, k);
}

// A path as the store takes it (Latin-1), with what a failure with it is
// called ("Could not open \"PATH\""); `encoded` stays empty, and `why` says
// why, for an empty path or one the store cannot carry.
struct StorePath {
    QByteArray encoded;
    QString what;
    QString why;
};
StorePath storePath(const QString &path, const char *verb, const char *advice);
constexpr const char *kRenameAdvice = "rename or move the file.";
constexpr const char *kNoSetupReason = "the file is a store file but holds no setup.";

// "WHAT: REASON", or WHAT alone when no reason is known.
QString failureMessage(const QString &what, const QString &reason);
// After a failed open or save of `path`: the store's reason, whole in the
// message and without the "cannot open PATH: " it may start with in `reason`.
void storeFailure(const QString &what, const QString &path, QString &message, QString &reason);

// Appends the fixed lists (keys, switches, LEDs, LX1 modules, options) that
// an older file lacks: the upgrade on open (setupfile.cpp).
void fillFixedLists(StoreCursor &c, bool withSwitches);

}  // namespace kelda::detail

// Opens a change of the model's history for its lifetime, only while the
// model records, so that the step's text is built only then.
class PMModel::ChangeScope
{
public:
    template <typename TextFn>
    ChangeScope(PMModel &model, TextFn text, int row = -1, int column = -1, int mergeKey = -1)
        : m_model(model.m_recording ? &model : nullptr)
    {
        if (m_model)
            m_model->beginChange(text(), row, column, mergeKey);
    }
    ~ChangeScope()
    {
        if (m_model)
            m_model->endChange();
    }
    ChangeScope(const ChangeScope &) = delete;
    ChangeScope &operator=(const ChangeScope &) = delete;

private:
    PMModel *m_model;
};
