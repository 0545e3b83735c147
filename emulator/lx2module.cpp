#include "lx2module.h"

#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "atomicfile.h"

namespace proto = corla::proto;

namespace {
constexpr double kUnpacedSilenceMs = 50;
}  // namespace

Lx2Module::Lx2Module(const ModuleOptions &o, std::function<void(const QByteArray &)> writer)
    : o_(o),
      write_(std::move(writer)),
      parser_(o.old ? proto::kMaxPayload : proto::kMaxLargePayload),
      engineRunning_(o.engineRunning)
{
    clock_.start();
    // Unpaced, a pseudo-terminal hands a long request over in the kernel's
    // pieces, which a busy machine can hold back for longer than the line's
    // silence: wait longer there (still well inside the host's shortest
    // retry), so that only a real pause ends a frame.
    parser_.setLineRate(o_.baud);
    if (o_.baud == 0)
        parser_.setSilenceMs(std::max(proto::silenceMs(0), kUnpacedSilenceMs));
    byteMs_ = o_.baud > 0 ? proto::kLineBitsPerByte * 1000.0 / o_.baud : 0;
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
    if (!o_.calFile.isEmpty() && QFileInfo::exists(o_.calFile)) {
        QFile f(o_.calFile);
        if (f.open(QIODevice::ReadOnly))
            stored_ = f.readAll();
        else
            loadError_ = f.errorString();
    }
    run_ = std::make_unique<ModuleRun>(o_.run, o_.inputs);
    run_->onForce = [this](const QString &line) {
        note(line);
        if (o_.stats) {
            std::printf("stats: %s\n", qPrintable(line));
            std::fflush(stdout);
        }
    };
    run_->start(stored_, nowMs());
    // The ticks, and the leases even when nothing runs.
    tickTimer_.setTimerType(Qt::PreciseTimer);
    tickTimer_.setInterval(kelda::kSimTickMs);
    connect(&tickTimer_, &QTimer::timeout, this, [this] { run_->advance(nowMs()); });
    tickTimer_.start();
}

void Lx2Module::note(const QString &text) const
{
    if (o_.verbose)
        std::fprintf(stderr, "lx2-emulator: %s\n", qPrintable(text));
}

uint8_t Lx2Module::flags() const
{
    return engineRunning_ ? proto::EngineRunning : 0;
}

void Lx2Module::printStats(const QString &outcome)
{
    if (!o_.stats)
        return;
    std::printf("stats: COMMIT %s; WRITE %d, data %lld, SUMS %d, READ %d, received %lld, sent %lld\n",
                qPrintable(outcome), writes_, static_cast<long long>(dataBytes_), sums_, reads_,
                static_cast<long long>(received_), static_cast<long long>(sentBytes_));
    std::fflush(stdout);
    writes_ = sums_ = reads_ = 0;
    dataBytes_ = 0;
}

void Lx2Module::receive(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    if (o_.exitAfter >= 0 && received_ + bytes.size() >= o_.exitAfter) {
        note(QStringLiteral("exiting after %1 bytes").arg(o_.exitAfter));
        std::fflush(stderr);
        ::_exit(3);  // like a module losing power: nothing is stored
    }
    QByteArray in = bytes;
    if (o_.damageRx >= received_ && o_.damageRx < received_ + in.size()) {
        const qsizetype at = qsizetype(o_.damageRx - received_);
        note(QStringLiteral("damaging received byte %1").arg(o_.damageRx));
        in[at] = char(uint8_t(in[at]) ^ o_.damageXor);
    }
    received_ += in.size();
    if (silent_)
        return;
    if (o_.silentAfter >= 0 && received_ >= o_.silentAfter) {
        note(QStringLiteral("going silent after %1 bytes").arg(o_.silentAfter));
        silent_ = true;
        rx_.clear();
        tx_.clear();
        return;
    }
    // Paced: each byte takes its time on the line before the module sees it.
    // The terminal hands over whatever it buffered, frame boundaries or not,
    // so small pieces arrive one after the other: a frame is complete when
    // its last byte is, not when the end of the buffer it came in is.
    constexpr qsizetype kPiece = 16;
    const double now = nowMs();
    if (byteMs_ == 0) {
        rx_.push_back({now, in});
    } else {
        rxClock_ = std::max(rxClock_, now);
        for (qsizetype at = 0; at < in.size(); at += kPiece) {
            const QByteArray piece = in.mid(at, kPiece);
            rxClock_ += piece.size() * byteMs_;
            rx_.push_back({rxClock_, piece});
        }
    }
    tick();
}

void Lx2Module::tick()
{
    const double now = nowMs();
    while (!rx_.empty() && rx_.front().at <= now) {
        parser_.feed(rx_.front().bytes, rx_.front().at);
        rx_.pop_front();
        proto::Frame f;
        for (;;) {
            const auto ev = parser_.next(&f);
            if (ev == proto::FrameParser::Event::None)
                break;
            if (ev == proto::FrameParser::Event::Dropped) {
                // The host has waited for a reply and sends again: no NAK.
                note(QStringLiteral("partial request ended by a silence, dropped"));
                continue;
            }
            if (ev == proto::FrameParser::Event::Corrupt) {
                note(QStringLiteral("corrupt request, NAK"));
                send(proto::encode(proto::Nak, 0, QByteArray(1, char(proto::BadFrame))), false);
                continue;
            }
            QByteArray raw = proto::encode(f.command, f.sequence, f.payload);
            handle(f, raw);
        }
    }
    while (!tx_.empty() && tx_.front().at <= now) {
        write_(tx_.front().bytes);
        tx_.pop_front();
    }
    schedule();
}

void Lx2Module::schedule()
{
    double next = -1;
    if (!rx_.empty())
        next = rx_.front().at;
    if (!tx_.empty() && (next < 0 || tx_.front().at < next))
        next = tx_.front().at;
    if (next < 0) {
        timer_.stop();
        return;
    }
    timer_.start(std::max(0, int(std::ceil(next - nowMs()))));
}

void Lx2Module::send(const QByteArray &frame, bool isReply)
{
    QByteArray out = frame;
    double extra = 0;
    if (isReply) {
        ++repliesSent_;
        if (o_.dropEvery > 0 && repliesSent_ % o_.dropEvery == 0) {
            note(QStringLiteral("dropping reply %1").arg(repliesSent_));
            return;
        }
        if (o_.corruptEvery > 0 && repliesSent_ % o_.corruptEvery == 0) {
            note(QStringLiteral("corrupting reply %1").arg(repliesSent_));
            out[out.size() - 3] = char(out[out.size() - 3] ^ 0x5A);
        }
        if (o_.delayEvery > 0 && repliesSent_ % o_.delayEvery == 0) {
            note(QStringLiteral("delaying reply %1 by %2 ms").arg(repliesSent_).arg(o_.delayMs));
            extra = o_.delayMs;
        }
    }
    if (o_.damageTx >= sentBytes_ && o_.damageTx < sentBytes_ + out.size()) {
        note(QStringLiteral("damaging sent byte %1").arg(o_.damageTx));
        const qsizetype at = qsizetype(o_.damageTx - sentBytes_);
        out[at] = char(uint8_t(out[at]) ^ o_.damageXor);
    }
    sentBytes_ += out.size();
    const double now = nowMs();
    if (byteMs_ == 0 && extra == 0 && tx_.empty()) {
        write_(out);
        return;
    }
    double at = std::max(txClock_, now) + out.size() * byteMs_;
    txClock_ = at;
    at += extra;
    // Keep the queue ordered by time; a delayed reply lets later ones pass.
    auto it = tx_.end();
    while (it != tx_.begin() && std::prev(it)->at > at)
        --it;
    tx_.insert(it, {at, out});
    schedule();
}

void Lx2Module::handle(const proto::Frame &f, const QByteArray &raw)
{
    ++framesReceived_;
    if (o_.dropRxEvery > 0 && framesReceived_ % o_.dropRxEvery == 0) {
        note(QStringLiteral("losing request %1 (%2)").arg(framesReceived_).arg(proto::commandName(f.command)));
        return;
    }
    if (o_.corruptRxEvery > 0 && framesReceived_ % o_.corruptRxEvery == 0) {
        note(QStringLiteral("request %1 arrives corrupt, NAK").arg(framesReceived_));
        send(proto::encode(proto::Nak, f.sequence, QByteArray(1, char(proto::BadFrame))), false);
        return;
    }
    if (muted_ > 0) {
        --muted_;
        note(QStringLiteral("muted after a commit: ignoring %1").arg(proto::commandName(f.command)));
        return;
    }
    if (f.command != proto::Identify && raw == lastRequest_ && !lastReply_.isEmpty()) {
        note(QStringLiteral("repeat of %1 seq %2, answering again").arg(proto::commandName(f.command)).arg(f.sequence));
        send(lastReply_, true);
        return;
    }
    const QByteArray payload = execute(f);
    const QByteArray reply = proto::encode(uint8_t(f.command | proto::kReplyBit), f.sequence, payload);
    lastRequest_ = raw;
    lastReply_ = reply;
    if (f.command == proto::Commit && o_.muteAfterCommit >= 0) {
        // Like a module that restarts once it has stored: no reply, and deaf for a while.
        note(QStringLiteral("not answering the commit and the next %1 requests").arg(o_.muteAfterCommit));
        muted_ = o_.muteAfterCommit;
        return;
    }
    send(reply, true);
}

namespace {
// A reply payload: the result code, then what the request returns.
QByteArray answer(uint8_t code, const QByteArray &rest = {})
{
    QByteArray r(1, char(code));
    r.append(rest);
    return r;
}
}  // namespace

// One entry a request; a module from before SUMS and READ (--old) does not know
// the entries marked new.
const Lx2Module::Request Lx2Module::kRequests[] = {
    {proto::Identify, &Lx2Module::onIdentify, false}, {proto::Status, &Lx2Module::onStatus, false},
    {proto::Begin, &Lx2Module::onBegin, false},       {proto::Write, &Lx2Module::onWrite, false},
    {proto::Verify, &Lx2Module::onVerify, false},     {proto::Commit, &Lx2Module::onCommit, false},
    {proto::Sums, &Lx2Module::onSums, true},          {proto::Read, &Lx2Module::onRead, true},
    {proto::Abort, &Lx2Module::onAbort, false},       {proto::Disconnect, &Lx2Module::onDisconnect, false},
    {proto::Monitor, &Lx2Module::onMonitor, true},    {proto::Force, &Lx2Module::onForce, true},
};

QByteArray Lx2Module::execute(const proto::Frame &f)
{
    note(
        QStringLiteral("%1 seq %2, %3 bytes").arg(proto::commandName(f.command)).arg(f.sequence).arg(f.payload.size()));
    for (const Request &q : kRequests) {
        if (q.command == f.command && !(q.isNew && o_.old))
            return (this->*q.run)(f);
    }
    return answer(proto::UnknownCommand);
}

QByteArray Lx2Module::onIdentify(const proto::Frame &)
{
    staging_.reset();
    run_->releaseAll("a new connection");
    QByteArray r = answer(proto::Ok);
    proto::Identity id{o_.module, o_.firmware, flags(), o_.capacity, uint32_t(stored_.size()), proto::crc32(stored_)};
    if (!o_.old)
        id.maxWrite = proto::kMaxWriteData;
    proto::putIdentity(r, id);
    return r;
}

QByteArray Lx2Module::onStatus(const proto::Frame &)
{
    if (engineRunning_ && o_.engineStopsAfter >= 0 && engineSeen_ >= o_.engineStopsAfter) {
        engineRunning_ = false;  // stopped while the host was asking
        note(QStringLiteral("the engine has stopped"));
    }
    const QByteArray r = answer(proto::Ok, QByteArray(1, char(flags())));
    if (engineRunning_)
        ++engineSeen_;
    return r;
}

QByteArray Lx2Module::onBegin(const proto::Frame &f)
{
    if (f.payload.size() != 4 && (o_.old || f.payload.size() != 5))
        return answer(proto::BadArgument);
    const uint32_t len = proto::getU32(f.payload, 0);
    const uint8_t base = f.payload.size() == 5 ? uint8_t(f.payload[4]) : uint8_t(proto::BaseEmpty);
    if (base != proto::BaseEmpty && base != proto::BaseStored)
        return answer(proto::BadArgument);
    if (len == 0 || len > o_.capacity)
        return answer(proto::OutOfRange);
    if (base == proto::BaseStored) {
        staging_ = stored_.left(qsizetype(len));
        staging_->append(QByteArray(qsizetype(len) - staging_->size(), char(proto::kFill)));
    } else {
        staging_ = QByteArray(qsizetype(len), char(proto::kFill));
    }
    return answer(proto::Ok, QByteArray(1, char(flags())));
}

QByteArray Lx2Module::onWrite(const proto::Frame &f)
{
    const int most = o_.old ? proto::kBlockSize : proto::kMaxWriteData;
    if (f.payload.size() <= proto::kWriteHeader || f.payload.size() > proto::kWriteHeader + most)
        return answer(proto::BadArgument);
    if (!staging_)
        return answer(proto::NoUpload);
    const uint32_t addr = proto::getU32(f.payload, 0);
    const qsizetype n = f.payload.size() - proto::kWriteHeader;
    if (uint64_t(addr) + uint64_t(n) > uint64_t(staging_->size()))
        return answer(proto::OutOfRange);
    std::copy(f.payload.begin() + proto::kWriteHeader, f.payload.end(), staging_->begin() + addr);
    ++writes_;
    dataBytes_ += n;
    return answer(proto::Ok);
}

QByteArray Lx2Module::onVerify(const proto::Frame &)
{
    if (!staging_)
        return answer(proto::NoUpload);
    QByteArray r = answer(proto::Ok);
    proto::putStaged(r, {uint32_t(staging_->size()), proto::crc32(*staging_)});
    return r;
}

QByteArray Lx2Module::onCommit(const proto::Frame &f)
{
    if (f.payload.size() != 4)
        return answer(proto::BadArgument);
    if (!staging_)
        return answer(proto::NoUpload);
    if (proto::getU32(f.payload, 0) != proto::crc32(*staging_))
        return answer(proto::CrcMismatch);
    QString err;
    if (!store(*staging_, &err)) {
        note(QStringLiteral("storing failed: %1").arg(err));
        printStats(QStringLiteral("storage failed (%1)").arg(err));
        return answer(proto::StorageFailed);
    }
    stored_ = *staging_;
    staging_.reset();
    run_->start(stored_, nowMs());  // the new calibration runs from power-on
    note(QStringLiteral("committed %1 bytes").arg(stored_.size()));
    printStats(QStringLiteral("stored %1 bytes, CRC-32 %2")
                   .arg(stored_.size())
                   .arg(proto::crc32(stored_), 8, 16, QLatin1Char('0')));
    return answer(proto::Ok);
}

QByteArray Lx2Module::onSums(const proto::Frame &f)
{
    const std::optional<proto::SumsRequest> q = proto::readSumsRequest(f.payload);
    if (!q)
        return answer(proto::BadArgument);
    if (uint64_t(q->address) + uint64_t(q->count - 1) * q->blockSize >= uint64_t(stored_.size()))
        return answer(proto::OutOfRange);
    ++sums_;
    QByteArray r = answer(proto::Ok);
    for (uint32_t sum : proto::blockSums(stored_, *q))
        proto::putU32(r, sum);
    return r;
}

QByteArray Lx2Module::onRead(const proto::Frame &f)
{
    if (f.payload.size() != 6)
        return answer(proto::BadArgument);
    const uint32_t addr = proto::getU32(f.payload, 0);
    const uint16_t n = proto::getU16(f.payload, 4);
    if (n == 0 || n > proto::kMaxRead)
        return answer(proto::BadArgument);
    if (uint64_t(addr) + n > uint64_t(stored_.size()))
        return answer(proto::OutOfRange);
    ++reads_;
    return answer(proto::Ok, stored_.mid(addr, n));
}

QByteArray Lx2Module::onAbort(const proto::Frame &)
{
    staging_.reset();
    return answer(proto::Ok);
}

QByteArray Lx2Module::onDisconnect(const proto::Frame &f)
{
    run_->releaseAll("the host disconnected");
    return onAbort(f);
}

QByteArray Lx2Module::onMonitor(const proto::Frame &f)
{
    if (f.payload.size() != 1 || (uint8_t(f.payload[0]) & ~proto::MonitorFull) != 0)
        return answer(proto::BadArgument);
    run_->advance(nowMs());
    return answer(proto::Ok, run_->monitor((uint8_t(f.payload[0]) & proto::MonitorFull) != 0, flags()));
}

QByteArray Lx2Module::onForce(const proto::Frame &f)
{
    const std::optional<proto::ForceRequest> q = proto::readForceRequest(f.payload);
    if (!q)
        return answer(proto::BadArgument);
    const double now = nowMs();
    run_->advance(now);
    int active = 0;
    uint8_t result = proto::EngineRefuses;
    if (engineRunning_)
        run_->releaseAll("the engine is running");  // never a force on a running vehicle
    else
        result = run_->force(*q, now, &active);
    QByteArray rest(1, char(flags()));
    rest.append(char(std::min(active, 255)));
    return answer(result, result == proto::OutOfRange ? QByteArray() : rest);
}

bool Lx2Module::store(const QByteArray &data, QString *error)
{
    // Without a file the calibration lives in memory only.
    return o_.calFile.isEmpty() || kelda::fileio::writeAtomically(o_.calFile, data, error);
}
