// An emulated LX2 (or LX1) module answering the corla protocol.
#ifndef LX2MODULE_H
#define LX2MODULE_H

#include "corlaprotocol.h"
#include "modulerun.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

struct ModuleOptions {
    uint16_t module = 0x4C32;
    uint16_t firmware = 0x3005;
    bool engineRunning = false;
    uint32_t capacity = 65536;
    int baud = 0;  // 0: no pacing
    int dropEvery = 0;  // replies
    int corruptEvery = 0;
    int delayEvery = 0;
    int delayMs = 1000;
    int dropRxEvery = 0;  // requests
    int corruptRxEvery = 0;
    qint64 silentAfter = -1;  // received bytes
    qint64 exitAfter = -1;
    QString calFile;
    bool verbose = false;
    bool old = false;  // a module from before SUMS, READ and larger WRITEs
    bool stats = false;  // print what each COMMIT received
    int muteAfterCommit = -1;  // after a COMMIT, answer neither it nor the next N requests
    int engineStopsAfter = -1;  // the engine stops once N STATUS requests found it running
    // One damaged byte: the N-th byte (from 0) received or sent, XORed with damageXor.
    qint64 damageRx = -1;
    qint64 damageTx = -1;
    uint8_t damageXor = 0x01;
    // Run the calibration held (and each one committed) in 10 ms ticks,
    // playing these input lines against it in real time.
    bool run = false;
    std::vector<kelda::SimStep> inputs;
};

class Lx2Module : public QObject
{
public:
    Lx2Module(const ModuleOptions &o, std::function<void(const QByteArray &)> writer);
    // Bytes as they arrive from the line.
    void receive(const QByteArray &bytes);
    QString loadError() const { return loadError_; }

private:
    void tick();
    void schedule();
    double nowMs() const { return clock_.nsecsElapsed() / 1e6; }
    void handle(const corla::proto::Frame &f, const QByteArray &raw);
    QByteArray execute(const corla::proto::Frame &f);
    // One handler a request; a new request is one more entry in kRequests.
    struct Request {
        uint8_t command;
        QByteArray (Lx2Module::*run)(const corla::proto::Frame &);
        bool isNew;  // unknown to a module from before SUMS and READ
    };
    static const Request kRequests[];
    QByteArray onIdentify(const corla::proto::Frame &f);
    QByteArray onStatus(const corla::proto::Frame &f);
    QByteArray onBegin(const corla::proto::Frame &f);
    QByteArray onWrite(const corla::proto::Frame &f);
    QByteArray onVerify(const corla::proto::Frame &f);
    QByteArray onCommit(const corla::proto::Frame &f);
    QByteArray onSums(const corla::proto::Frame &f);
    QByteArray onRead(const corla::proto::Frame &f);
    QByteArray onAbort(const corla::proto::Frame &f);
    QByteArray onDisconnect(const corla::proto::Frame &f);
    QByteArray onMonitor(const corla::proto::Frame &f);
    QByteArray onForce(const corla::proto::Frame &f);
    void send(const QByteArray &frame, bool isReply);
    bool store(const QByteArray &data, QString *error);
    void note(const QString &text) const;
    void printStats(const QString &outcome);
    uint8_t flags() const;

    ModuleOptions o_;
    std::function<void(const QByteArray &)> write_;
    QElapsedTimer clock_;
    QTimer timer_;
    double byteMs_ = 0;
    double rxClock_ = 0, txClock_ = 0;
    struct Chunk {
        double at;
        QByteArray bytes;
    };
    std::deque<Chunk> rx_, tx_;
    corla::proto::FrameParser parser_{corla::proto::kMaxLargePayload};
    qint64 received_ = 0;
    qint64 sentBytes_ = 0;
    bool silent_ = false;
    int repliesSent_ = 0, framesReceived_ = 0;

    QByteArray stored_;
    std::optional<QByteArray> staging_;
    bool engineRunning_ = false;
    int engineSeen_ = 0;
    int muted_ = 0;
    // Requests since the last COMMIT, for --stats.
    int writes_ = 0, sums_ = 0, reads_ = 0;
    qint64 dataBytes_ = 0;
    QByteArray lastRequest_, lastReply_;
    QString loadError_;
    // The running calibration; its ticks and the forces' leases.
    std::unique_ptr<ModuleRun> run_;
    QTimer tickTimer_;
};

#endif
