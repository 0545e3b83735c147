// SetupFile: a setup file opened read-only into a session of its own, for
// whatever only reads a setup (kelda-cli check, uses, diff, show, report,
// dbc): no table model is built. It reads the file as the editor's Open does,
// older files given the fixed lists they lack, in memory only; the file
// itself is never written.
#pragma once

#include <QString>

#include <memory>

#include "setupview.h"
#include "strata.h"

namespace kelda {

class UniqueSession;

class SetupFile
{
public:
    SetupFile();
    ~SetupFile();
    SetupFile(const SetupFile &) = delete;
    SetupFile &operator=(const SetupFile &) = delete;

    // A new setup, as File > New makes it (not saved anywhere).
    bool create();
    // False with lastError() worded as PMModel::openSetup words it
    // ("Could not open \"PATH\": why"); what was open before stays open.
    bool open(const QString &path);
    // Why the last create or open failed, for the user: what failed and why.
    QString lastError() const { return m_error; }
    // The reason alone, as PMModel::errorString gives it, for a caller that
    // says itself what failed; empty after a success.
    QString errorString() const { return m_reason; }
    // The path it was opened from; empty for none.
    QString fileName() const { return m_fileName; }
    // Null until a file is open.
    StoreSession session() const;
    SetupView view() const { return SetupView::read(session()); }

private:
    std::unique_ptr<UniqueSession> m_session;
    QString m_fileName;
    QString m_error;
    QString m_reason;
    bool fail(const QString &what, const QString &reason);
};

}  // namespace kelda
