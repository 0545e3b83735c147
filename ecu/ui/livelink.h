// LiveLink: a standing connection to a running module for the live view, on
// the event loop (no nested loops): it connects as an upload does, then polls
// MONITOR at its rate (a full picture first, at once again while the module
// says more is waiting) and holds the forces asked of it, renewing their
// lease. One transaction is under way at a time; forces go before polls.
#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <memory>

#include "corla.h"

class QTimer;

namespace corla {
class BasicEcuMediator;
}

class LiveLink : public QObject
{
    Q_OBJECT

public:
    // The lease asked for and the renewal period: two renewals may be lost
    // before a force lapses, and it lapses within 1 s of the last one.
    static constexpr uint16_t kLeaseMs = 900;
    static constexpr int kRenewMs = 300;
    static constexpr int kPollMs = 100;

    struct Reply {
        uint32_t tick = 0;
        uint32_t flags = 0;  // CORLA_LIVE_…
        QList<CorlaLiveChange> changes;
    };

    explicit LiveLink(QObject *parent = nullptr);
    ~LiveLink() override;

    // Connects to the port (a listed port's name or a device path); opened()
    // tells how it went.
    void open(const QString &port);
    // DISCONNECT: the module releases every force; the link forgets them.
    void close();
    bool isOpen() const { return open_; }
    QString port() const { return port_; }
    corla::BasicEcuMediator &mediator();

    // While paused no poll starts (forces are still renewed).
    void setPaused(bool paused);

    // Sets, changes or releases one force; sent before the next poll.
    void force(uint8_t kind, uint8_t item, int action);
    void releaseAll();
    // The forces the module confirmed and those on their way, by kind << 8 | item: on or off.
    const std::map<int, bool> &forces() const { return forces_; }

signals:
    void opened(bool ok, const QString &why);
    void replied(const LiveLink::Reply &reply);
    // A FORCE the module refused; its forces are dropped here too.
    void forceRefused(const QString &why, bool engineRunning);
    void forcesChanged();
    // The module does not know MONITOR or FORCE: polling stops.
    void noLiveData();
    // The line failed: the link is closed and holds no forces.
    void lost(const QString &why);

private:
    class Mediator;
    static void done(void *context, int code, const void *data, int extra);
    void finished(int status);
    void pump();
    bool start(CorlaEcuTxn *txn, int kind);
    void sendForces();
    void failed(int status);
    QString why(int status) const;

    std::unique_ptr<Mediator> mediator_;
    struct Running;
    std::unique_ptr<Running> running_;
    QString port_;
    QString lastLog_;
    bool open_ = false, closing_ = false, paused_ = false, full_ = true, pollDue_ = false, renewDue_ = false,
         live_ = true;
    std::map<int, bool> forces_;
    std::map<int, int> pending_;  // kind << 8 | item: CORLA_FORCE_… not yet sent
    QTimer *poll_, *renew_;
};
