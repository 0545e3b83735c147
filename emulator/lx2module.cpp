#include "lx2module.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace proto = corla::proto;

Lx2Module::Lx2Module(const ModuleOptions &o, std::function<void(const QByteArray &)> writer)
    : o_(o), write_(std::move(writer))
{
    clock_.start();
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
}

void Lx2Module::note(const QString &text) const
{
    if (o_.verbose)
        std::fprintf(stderr, "lx2-emulator: %s\n", qPrintable(text));
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
    received_ += bytes.size();
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
    const double now = nowMs();
    rxClock_ = std::max(rxClock_, now) + bytes.size() * byteMs_;
    rx_.push_back({rxClock_, bytes});
    tick();
}

void Lx2Module::tick()
{
    const double now = nowMs();
    while (!rx_.empty() && rx_.front().at <= now) {
        parser_.feed(rx_.front().bytes);
        rx_.pop_front();
        proto::Frame f;
        for (;;) {
            const auto ev = parser_.next(&f);
            if (ev == proto::FrameParser::Event::None)
                break;
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
    if (f.command != proto::Identify && raw == lastRequest_ && !lastReply_.isEmpty()) {
        note(QStringLiteral("repeat of %1 seq %2, answering again").arg(proto::commandName(f.command)).arg(f.sequence));
        send(lastReply_, true);
        return;
    }
    const QByteArray payload = execute(f);
    const QByteArray reply = proto::encode(uint8_t(f.command | proto::kReplyBit), f.sequence, payload);
    lastRequest_ = raw;
    lastReply_ = reply;
    send(reply, true);
}

QByteArray Lx2Module::execute(const proto::Frame &f)
{
    QByteArray r;
    auto result = [&r](uint8_t code) {
        r.append(char(code));
        return r;
    };
    const uint8_t flags = o_.engineRunning ? proto::EngineRunning : 0;
    note(QStringLiteral("%1 seq %2, %3 bytes").arg(proto::commandName(f.command)).arg(f.sequence).arg(f.payload.size()));
    switch (f.command) {
    case proto::Identify:
        staging_.reset();
        result(proto::Ok);
        proto::putIdentity(r, {o_.module, o_.firmware, flags, o_.capacity, uint32_t(stored_.size()), proto::crc32(stored_)});
        return r;
    case proto::Status:
        result(proto::Ok);
        r.append(char(flags));
        return r;
    case proto::Begin: {
        if (f.payload.size() != 4)
            return result(proto::BadArgument);
        const uint32_t len = proto::getU32(f.payload, 0);
        if (len == 0 || len > o_.capacity)
            return result(proto::OutOfRange);
        staging_ = QByteArray(qsizetype(len), char(proto::kFill));
        result(proto::Ok);
        r.append(char(flags));
        return r;
    }
    case proto::Write: {
        if (f.payload.size() <= proto::kWriteHeader)
            return result(proto::BadArgument);
        if (!staging_)
            return result(proto::NoUpload);
        const uint32_t addr = proto::getU32(f.payload, 0);
        const qsizetype n = f.payload.size() - proto::kWriteHeader;
        if (uint64_t(addr) + uint64_t(n) > uint64_t(staging_->size()))
            return result(proto::OutOfRange);
        std::copy(f.payload.begin() + proto::kWriteHeader, f.payload.end(), staging_->begin() + addr);
        return result(proto::Ok);
    }
    case proto::Verify:
        if (!staging_)
            return result(proto::NoUpload);
        result(proto::Ok);
        proto::putStaged(r, {uint32_t(staging_->size()), proto::crc32(*staging_)});
        return r;
    case proto::Commit: {
        if (f.payload.size() != 4)
            return result(proto::BadArgument);
        if (!staging_)
            return result(proto::NoUpload);
        if (proto::getU32(f.payload, 0) != proto::crc32(*staging_))
            return result(proto::CrcMismatch);
        QString err;
        if (!store(*staging_, &err)) {
            note(QStringLiteral("storing failed: %1").arg(err));
            return result(proto::StorageFailed);
        }
        stored_ = *staging_;
        staging_.reset();
        note(QStringLiteral("committed %1 bytes").arg(stored_.size()));
        return result(proto::Ok);
    }
    case proto::Abort:
    case proto::Disconnect:
        staging_.reset();
        return result(proto::Ok);
    default:
        return result(proto::UnknownCommand);
    }
}

bool Lx2Module::store(const QByteArray &data, QString *error)
{
    if (o_.calFile.isEmpty())
        return true;
    QSaveFile f(o_.calFile);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size() || !f.commit()) {
        *error = f.errorString();
        return false;
    }
    // The rename is durable only once the folder is synced too.
    const QString dir = QFileInfo(o_.calFile).absolutePath();
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return true;
}
