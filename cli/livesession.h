// A connection to a module for kelda-cli monitor and force: the connect of
// an upload, then MONITOR and FORCE transactions one at a time, each run to
// its end before the next.
#pragma once

#include <QString>

#include <functional>
#include <memory>

#include "corla.h"
#include "livenames.h"

class QEventLoop;
class QSocketNotifier;

namespace kelda::live {

// Opens the setup as the editor does; false with why.
bool loadNames(const QString &setup, LiveNames *out, QString *why);

// A setup compiled as an upload would store it, to tell whether the module
// runs it.
struct SetupImage {
    QString shown;  // "beacons.kelda"
    QByteArray calName, image;
};
// Opens and compiles the setup; false with why.
bool compileSetup(const QString &setup, SetupImage *out, QString *why);
// The library's text for a transaction status.
QString statusText(int status);
// The kind a word names ("key", ..., "canoutput"); 0 for none.
uint8_t kindOf(const QString &word);

class LiveSession
{
public:
    explicit LiveSession(QString port);
    ~LiveSession();
    LiveSession(const LiveSession &) = delete;
    LiveSession &operator=(const LiveSession &) = delete;

    // Opens the port and identifies the module; false with why.
    bool connect(QString *why);
    // Runs the transaction (taking ownership) to its end; the status, or -1
    // when it could not be started. The transaction stays readable until
    // the next run.
    int run(CorlaEcuTxn *txn);
    const CorlaEcuTxn *last() const;
    // The library's last log line (why a transaction failed).
    QString lastLog() const { return lastLog_; }
    // Empty when the module holds the setup (by content, as an upload
    // decides it); otherwise why the setup cannot be taken for the module's.
    QString notHeld(const SetupImage &setup);
    // Waits up to ms, returning early (false) once SIGINT or SIGTERM came.
    bool wait(int ms);
    bool interrupted() const { return interrupted_; }

private:
    class Mediator;
    void ended(int status);
    static void done(void *context, int code, const void *data, int extra);

    QString port_;
    std::unique_ptr<Mediator> mediator_;
    struct Txn;
    std::unique_ptr<Txn> txn_;
    QString lastLog_;
    int status_ = -1;
    bool finished_ = false;
    QEventLoop *loop_ = nullptr;
    bool interrupted_ = false;
    std::unique_ptr<QSocketNotifier> signals_;
};

}  // namespace kelda::live
