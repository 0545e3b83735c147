// The upload transaction: SUMS (which blocks the module already holds; after
// a compare on the same connection, one IDENTIFY instead), BEGIN, the
// questions, WRITE blocks two in flight, VERIFY and COMMIT; after a failure
// once COMMIT was sent, asking the module what it holds.
#include "corlaimpl.h"

#include <QElapsedTimer>
#include <QSerialPort>

#include <algorithm>
#include <utility>

namespace proto = corla::proto;

namespace corla::detail {

namespace {

// Progress: the WRITEs fill this much of the bar, VERIFY a little more, and
// only the module's commit fills it.
constexpr double kWrittenShare = 0.9;
constexpr double kVerifiedShare = 0.95;

QString crcText(uint32_t crc)
{
    return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0'));
}

// "1 block", "3 blocks".
QString counted(qsizetype n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

// Block size for comparing the stored calibration with the new one: the CRCs
// (4 bytes a block) and a changed block or two should cost about the same.
uint32_t sumBlockFor(uint32_t length)
{
    uint32_t size = proto::kMinSumBlock;
    while (size < uint32_t(proto::kMaxSumBlock) && uint64_t(size) * size < 2ull * length)
        size *= 2;
    return size;
}

int commitGraceMs()
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue("CORLA_COMMIT_TIMEOUT_MS", &ok);
    return ok && v >= 0 ? v : 5000;
}

}  // namespace

void EcuImpl::runUpload()
{
    CorlaEcuTxn *t = current_;
    if (!connected || !port_) {
        log(t, QStringLiteral("Upload failed: not connected to a module. Connect first."));
        finish(t, CORLA_STATUS_NOT_CONNECTED);
        return;
    }
    CalImpl *c = t->cal;
    if (!c || c->writtenBytes() == 0) {
        log(t, QStringLiteral("Upload failed: the calibration is empty."));
        finish(t, CORLA_STATUS_BAD_CALIBRATION);
        return;
    }
    if (!rune) {
        log(t, QStringLiteral("Upload failed: no RUNE is loaded for the module."));
        finish(t, CORLA_STATUS_BAD_CALIBRATION);
        return;
    }
    end_ = uint32_t(c->data.size());
    const uint32_t room = identity.capacity ? std::min(identity.capacity, rune->calSize) : rune->calSize;
    if (end_ > room) {
        log(t,
            QStringLiteral("Upload failed: the calibration needs %1 bytes but the module holds only %2.")
                .arg(end_)
                .arg(room));
        finish(t, CORLA_STATUS_BAD_CALIBRATION);
        return;
    }
    crc_ = proto::crc32(c->data);
    begun_ = false;
    engineRunning_ = false;
    engineAsked_ = false;
    asked_ = false;
    changedOnly_ = false;
    commitSent_ = false;
    probing_ = false;
    progress(t, 0.0);
    // This upload writes: what a compare found is not to be trusted after it.
    KnownStored known = std::exchange(knownStored_, KnownStored());
    if (known.portGen == portGen_ && connected) {
        uploadFromKnown(std::move(known.bytes), known.crc);
        return;
    }
    compareStored();
}

void EcuImpl::compareStored()
{
    previousLength_ = identity.storedLength;
    previousCrc_ = identity.storedCrc;
    // Same length and CRC-32 is not yet the same calibration: where the
    // module answers SUMS, every block must agree as well (uploadSums).
    sameCrc_ = previousLength_ == end_ && previousCrc_ == crc_;
    if (previousLength_ == 0) {
        planFullUpload();
        uploadBegin();
        return;
    }
    sumBlock_ = sumBlockFor(std::min(previousLength_, end_));
    moduleSums_.clear();
    uploadSums(0);
}

// A compare on this connection put the stored calibration together, and
// nothing has been written since. One IDENTIFY (a few bytes each way) stands
// for the block sums: while the module reports the same length and CRC-32,
// it stores those bytes, and only the bytes that differ from ours are sent.
void EcuImpl::uploadFromKnown(QByteArray stored, uint32_t crc)
{
    CorlaEcuTxn *t = current_;
    request(proto::Identify, {}, [this, t, stored = std::move(stored), crc](const proto::Frame &fr) {
        const std::optional<proto::Identity> id = proto::readIdentity(fr.payload);
        if (!id) {
            refused(proto::Identify, proto::replyResult(fr.payload));
            return;
        }
        identity = *id;
        if (id->storedLength != uint32_t(stored.size()) || id->storedCrc != crc) {
            log(t,
                QStringLiteral("The module's stored calibration is no longer the one compared (%1 bytes, CRC-32 %2); "
                               "comparing it again.")
                    .arg(stored.size())
                    .arg(crcText(crc)));
            compareStored();
            return;
        }
        previousLength_ = id->storedLength;
        previousCrc_ = id->storedCrc;
        sameCrc_ = previousLength_ == end_ && previousCrc_ == crc_;
        log(t,
            QStringLiteral("The module still stores the calibration compared before (%1 bytes, CRC-32 %2): "
                           "no block sums needed.")
                .arg(stored.size())
                .arg(crcText(crc)));
        planChangedBytes(stored);
        uploadPlanned();
    });
}

void EcuImpl::alreadyHeld()
{
    CorlaEcuTxn *t = current_;
    log(t, QStringLiteral("The module already holds this calibration."));
    log(t, QStringLiteral("Sent 0 calibration bytes."));
    progress(t, 1.0);
    t->holds = CORLA_HOLDS_NEW;
    finish(t, CORLA_STATUS_OK);
}

void EcuImpl::planFullUpload()
{
    // Only the bytes written into the calibration; BEGIN fills the rest.
    CalImpl *c = current_->cal;
    changedOnly_ = false;
    blocks_.clear();
    const uint32_t most = identity.maxWrite;
    for (const auto &r : c->ranges()) {
        for (uint32_t s = r.start; s < r.end; s += most)
            blocks_.push_back({s, std::min(r.end, s + most)});
    }
    total_ = c->writtenBytes();
}

void EcuImpl::planChangedBlocks()
{
    // Whole blocks that differ (fill bytes included, as the staging area
    // starts from the stored calibration); neighbours go in one WRITE.
    changedOnly_ = true;
    blocks_.clear();
    total_ = 0;
    const QByteArray &data = current_->cal->data;
    const uint32_t most = identity.maxWrite;
    const uint32_t count = (end_ + sumBlock_ - 1) / sumBlock_;
    uint32_t runStart = 0;
    bool inRun = false;
    for (uint32_t i = 0; i <= count; ++i) {
        bool changed = false;
        if (i < count) {
            const uint32_t start = i * sumBlock_;
            const uint32_t ours = std::min(end_, start + sumBlock_) - start;
            const uint32_t theirs = start < previousLength_ ? std::min(previousLength_, start + sumBlock_) - start : 0;
            changed = i >= moduleSums_.size() || ours != theirs
                || proto::crc32(data.constData() + start, ours) != moduleSums_[i];
        }
        if (changed && !inRun) {
            runStart = i * sumBlock_;
            inRun = true;
        } else if (!changed && inRun) {
            const uint32_t runEnd = std::min(end_, i * sumBlock_);
            for (uint32_t s = runStart; s < runEnd; s += most)
                blocks_.push_back({s, std::min(runEnd, s + most)});
            total_ += runEnd - runStart;
            inRun = false;
        }
    }
}

void EcuImpl::planChangedBytes(const QByteArray &stored)
{
    // The staging area starts as the stored calibration cut or filled to our
    // length; only the bytes that differ from it go. Equal bytes between two
    // changes go along while they cost less than another WRITE and its reply.
    constexpr uint32_t kJoinedGap = proto::kOverhead + proto::kWriteHeader + proto::kOverhead + 1;
    changedOnly_ = true;
    blocks_.clear();
    total_ = 0;
    const QByteArray &data = current_->cal->data;
    const uint32_t held = uint32_t(stored.size());
    std::vector<CalImpl::Range> runs;
    for (uint32_t i = 0; i < end_; ++i) {
        const char base = i < held ? stored[qsizetype(i)] : char(proto::kFill);
        if (data[qsizetype(i)] == base)
            continue;
        if (!runs.empty() && i - runs.back().end < kJoinedGap)
            runs.back().end = i + 1;
        else
            runs.push_back({i, i + 1});
    }
    const uint32_t most = identity.maxWrite;
    for (const CalImpl::Range &r : runs) {
        for (uint32_t s = r.start; s < r.end; s += most)
            blocks_.push_back({s, std::min(r.end, s + most)});
        total_ += r.end - r.start;
    }
}

// After the plan of what differs: nothing to send, only what differs, or all.
void EcuImpl::uploadPlanned()
{
    CorlaEcuTxn *t = current_;
    if (total_ == 0 && sameCrc_) {
        alreadyHeld();
        return;
    }
    if (sameCrc_)
        log(t,
            QStringLiteral("The module holds a calibration of the same length and CRC-32 whose blocks differ "
                           "from this one."));
    if (total_ >= end_)
        planFullUpload();  // nothing in common: no need to start from the stored one
    uploadBegin();
}

void EcuImpl::uploadSums(uint32_t firstBlock)
{
    CorlaEcuTxn *t = current_;
    const uint32_t comparable = std::min(previousLength_, end_);
    const uint32_t blocks = (comparable + sumBlock_ - 1) / sumBlock_;
    const proto::SumsRequest q{firstBlock * sumBlock_, uint16_t(sumBlock_),
                               uint16_t(std::min<uint32_t>(proto::kMaxSums, blocks - firstBlock))};
    request(proto::Sums, proto::sumsRequest(q), [this, t, q, blocks](const proto::Frame &fr) {
        const std::optional<QList<uint32_t>> sums = proto::readSums(fr.payload, q.count);
        if (!sums) {
            if (sameCrc_) {
                // A module from before SUMS: length and CRC-32 are all it can tell.
                alreadyHeld();
                return;
            }
            // A module from before SUMS (or one that cannot say): everything goes.
            log(t,
                QStringLiteral("The module cannot compare its stored calibration (SUMS: %1); "
                               "sending the whole calibration.")
                    .arg(QString::fromLatin1(proto::resultText(proto::replyResult(fr.payload)))));
            planFullUpload();
            uploadBegin();
            return;
        }
        moduleSums_.insert(moduleSums_.end(), sums->begin(), sums->end());
        const uint32_t next = q.address / sumBlock_ + q.count;
        if (next < blocks) {
            uploadSums(next);
            return;
        }
        planChangedBlocks();
        uploadPlanned();
    });
}

void EcuImpl::uploadBegin()
{
    CorlaEcuTxn *t = current_;
    nextBlock_ = 0;
    sent_ = 0;
    if (changedOnly_)
        log(t,
            QStringLiteral("Uploading %1 of %2 calibration bytes in %3: the module keeps the rest "
                           "from its stored calibration...")
                .arg(total_)
                .arg(end_)
                .arg(counted(blocks_.size(), "block", "blocks")));
    else
        log(t,
            QStringLiteral("Uploading %1 calibration bytes in %2...")
                .arg(total_)
                .arg(counted(blocks_.size(), "block", "blocks")));
    QByteArray p;
    proto::putU32(p, end_);
    if (changedOnly_)
        p.append(char(proto::BaseStored));  // a four-byte BEGIN stays what every module knows
    request(proto::Begin, p, [this, t](const proto::Frame &fr) {
        const std::optional<uint8_t> flags = proto::readFlags(fr.payload);
        if (!flags) {
            refused(proto::Begin, proto::replyResult(fr.payload));
            return;
        }
        begun_ = true;
        engineRunning_ = *flags & proto::EngineRunning;
        if (asked_) {
            uploadNextBlock();
            return;
        }
        // Questions may open dialogs; ask from a clean event-loop turn.
        postStep(t, [this] { uploadAsk(); });
    });
}

void EcuImpl::uploadAsk()
{
    CorlaEcuTxn *t = current_;
    const MediatorTable table = t->table;
    if (engineRunning_) {
        log(t,
            engineAsked_ ? QStringLiteral("The module reports that the engine is still running.")
                         : QStringLiteral("The module reports that the engine is running."));
        engineAsked_ = true;
        const bool go = table.confirmEngineRunning && table.confirmEngineRunning(table.context);
        if (current_ != t)
            return;
        if (!go) {
            sendOneWay(proto::Abort, {});
            log(t,
                QStringLiteral("Upload cancelled: the engine is running. The module keeps its previous calibration."));
            finish(t, CORLA_STATUS_CANCELLED);
            return;
        }
        // "Ok" means the engine has been stopped: the module is asked again,
        // and while it still runs, so is the user.
        request(proto::Status, {}, [this, t](const proto::Frame &fr) {
            const std::optional<uint8_t> flags = proto::readFlags(fr.payload);
            if (!flags) {
                refused(proto::Status, proto::replyResult(fr.payload));
                return;
            }
            engineRunning_ = *flags & proto::EngineRunning;
            postStep(t, [this] { uploadAsk(); });
        });
        return;
    }
    if (engineAsked_)
        log(t, QStringLiteral("The module reports that the engine has stopped."));
    const bool go = !table.confirmIntLogSetup || table.confirmIntLogSetup(table.context);
    if (current_ != t)
        return;
    if (!go) {
        sendOneWay(proto::Abort, {});
        log(t,
            QStringLiteral("Upload cancelled: the internal logging setup is not valid. The module keeps its previous "
                           "calibration."));
        finish(t, CORLA_STATUS_CANCELLED);
        return;
    }
    asked_ = true;
    uploadNextBlock();
}

void EcuImpl::uploadNextBlock()
{
    window_.clear();
    pipelining_ = true;
    fillWindow();
    if (window_.empty()) {
        pipelining_ = false;
        uploadVerify();
    }
}

void EcuImpl::fillWindow()
{
    constexpr size_t kWindow = 2;
    CorlaEcuTxn *t = current_;
    while (port_ && window_.size() < kWindow && nextBlock_ < blocks_.size()) {
        const CalImpl::Range b = blocks_[nextBlock_++];
        QByteArray p;
        proto::putU32(p, b.start);
        p.append(t->cal->data.mid(b.start, b.end - b.start));
        InFlight f{++seq_, b, {}, 1, false};
        f.frame = proto::encode(proto::Write, f.sequence, p);
        port_->write(f.frame);
        window_.push_back(std::move(f));
        if (window_.size() == 1)
            armWindowTimer();
    }
}

void EcuImpl::armWindowTimer()
{
    if (window_.empty()) {
        timer_.stop();
        return;
    }
    req_.timeoutMs = timeoutFor(window_.front().frame.size());
    timer_.start(req_.timeoutMs);
}

void EcuImpl::windowReply(const proto::Frame &fr)
{
    if (fr.command != (proto::Write | proto::kReplyBit))
        return;  // NAKs and stale replies: the timeout of the oldest block recovers
    auto it =
        std::find_if(window_.begin(), window_.end(), [&](const InFlight &f) { return f.sequence == fr.sequence; });
    if (it == window_.end())
        return;
    const uint8_t res = proto::replyResult(fr.payload);
    if (res != proto::Ok) {
        pipelining_ = false;
        window_.clear();
        refused(proto::Write, res);
        return;
    }
    it->acked = true;
    CorlaEcuTxn *t = current_;
    bool moved = false;
    while (!window_.empty() && window_.front().acked) {
        sent_ += window_.front().range.end - window_.front().range.start;
        window_.pop_front();
        moved = true;
    }
    if (!moved)
        return;
    progress(t, kWrittenShare * (total_ ? double(sent_) / total_ : 1.0));
    armWindowTimer();
    fillWindow();
    if (window_.empty() && nextBlock_ >= blocks_.size()) {
        pipelining_ = false;
        timer_.stop();
        uploadVerify();
    }
}

void EcuImpl::windowTimeout()
{
    if (window_.empty() || !current_ || !port_)
        return;
    InFlight &f = window_.front();
    const QString why = QStringLiteral("no reply within %1 ms").arg(req_.timeoutMs);
    if (f.attempts >= kMaxAttempts) {
        pipelining_ = false;
        window_.clear();
        linkFailed(CORLA_STATUS_TIMEOUT,
                   QStringLiteral("No valid reply from the module on %1 to WRITE after %2 attempts (%3). "
                                  "Check the cable, the port and that the module is powered.")
                       .arg(portName_, QString::number(kMaxAttempts), why));
        return;
    }
    ++f.attempts;
    log(current_,
        QStringLiteral("WRITE: %1; retrying (attempt %2 of %3).")
            .arg(why, QString::number(f.attempts), QString::number(kMaxAttempts)));
    parser_.clear();
    port_->write(f.frame);
    armWindowTimer();
}

void EcuImpl::uploadVerify()
{
    CorlaEcuTxn *t = current_;
    if (changedOnly_)
        log(t,
            QStringLiteral("Sent %1 of %2 calibration bytes in %3; the module kept the other %4 "
                           "from its stored calibration.")
                .arg(sent_)
                .arg(end_)
                .arg(counted(blocks_.size(), "WRITE request", "WRITE requests"))
                .arg(end_ - sent_));
    else
        log(t,
            QStringLiteral("Sent %1 calibration bytes in %2.")
                .arg(sent_)
                .arg(counted(blocks_.size(), "WRITE request", "WRITE requests")));
    request(proto::Verify, {}, [this, t](const proto::Frame &fr) {
        const std::optional<proto::Staged> staged = proto::readStaged(fr.payload);
        if (!staged) {
            refused(proto::Verify, proto::replyResult(fr.payload));
            return;
        }
        const auto [len, crc] = *staged;
        if (len != end_ || crc != crc_) {
            if (changedOnly_) {
                // The stored calibration was not what its block CRCs said
                // (changed meanwhile, or a CRC that matched by chance).
                log(t,
                    QStringLiteral("The module holds %1 bytes with CRC-32 %2 after the changed blocks, expected "
                                   "%3 bytes with CRC-32 %4; sending the whole calibration.")
                        .arg(len)
                        .arg(crcText(crc))
                        .arg(end_)
                        .arg(crcText(crc_)));
                planFullUpload();
                uploadBegin();
                return;
            }
            sendOneWay(proto::Abort, {});
            log(t,
                QStringLiteral("Verification failed: the module holds %1 bytes with CRC-32 %2, expected %3 bytes "
                               "with CRC-32 %4. The module keeps its previous calibration.")
                    .arg(len)
                    .arg(crcText(crc))
                    .arg(end_)
                    .arg(crcText(crc_)));
            finish(t, CORLA_STATUS_VERIFY_FAILED);
            return;
        }
        log(t, QStringLiteral("Verified %1 bytes, CRC-32 %2.").arg(len).arg(crcText(crc)));
        progress(t, kVerifiedShare);
        uploadCommit(crc);
    });
}

void EcuImpl::uploadCommit(uint32_t crc)
{
    CorlaEcuTxn *t = current_;
    QByteArray p;
    proto::putU32(p, crc);
    // From here on the module may hold the new calibration whatever happens.
    commitSent_ = true;
    request(
        proto::Commit, p,
        [this, t](const proto::Frame &fr) {
            const uint8_t res = proto::replyResult(fr.payload);
            if (res != proto::Ok) {
                if (res == proto::StorageFailed)
                    log(t, QStringLiteral("The module could not store the calibration."));
                else if (res == proto::CrcMismatch)
                    log(t, QStringLiteral("The module rejected the commit: its CRC-32 differs."));
                else
                    log(t,
                        QStringLiteral("The module refused COMMIT: %1.")
                            .arg(QString::fromLatin1(proto::resultText(res))));
                probeAfterCommit(res == proto::StorageFailed     ? CORLA_STATUS_STORAGE_FAILED
                                     : res == proto::CrcMismatch ? CORLA_STATUS_VERIFY_FAILED
                                                                 : CORLA_STATUS_REFUSED);
                return;
            }
            commitSent_ = false;
            begun_ = false;
            identity.storedLength = end_;
            identity.storedCrc = crc_;
            progress(t, 1.0);
            log(t, QStringLiteral("Calibration committed: %1 bytes stored by the module.").arg(end_));
            t->holds = CORLA_HOLDS_NEW;
            finish(t, CORLA_STATUS_OK);
        },
        commitGraceMs());
    commitSeq_ = req_.sequence;
}

int EcuImpl::holdsFrom(const proto::Identity &id) const
{
    if (id.storedLength == end_ && id.storedCrc == crc_)
        return CORLA_HOLDS_NEW;
    if (id.storedLength == previousLength_ && id.storedCrc == previousCrc_)
        return CORLA_HOLDS_PREVIOUS_CHECKED;
    return CORLA_HOLDS_UNKNOWN;
}

void EcuImpl::probeAfterCommit(int status)
{
    CorlaEcuTxn *t = current_;
    commitSent_ = false;
    begun_ = false;
    probing_ = true;
    probeStatus_ = status;
    timer_.stop();
    req_.active = false;
    req_.onReply = nullptr;
    log(t, QStringLiteral("Reconnecting on %1 to ask the module which calibration it holds...").arg(portName_));
    const QString path = portPath_, name = portName_;
    const PortSettings settings = settings_;
    closePort(false);
    QString err;
    if (!openPath(path, name, settings, &err)) {
        log(t, QStringLiteral("Cannot open port %1 again: %2.").arg(name, err));
        if (connected) {
            connected = false;
            notifyConnection(false);
        }
        concludeProbe(CORLA_HOLDS_UNKNOWN);
        return;
    }
    request(proto::Identify, {}, [this](const proto::Frame &fr) {
        const std::optional<proto::Identity> id = proto::readIdentity(fr.payload);
        if (!id) {
            concludeProbe(CORLA_HOLDS_UNKNOWN);
            return;
        }
        identity = *id;
        concludeProbe(holdsFrom(*id));
    });
}

void EcuImpl::concludeProbe(int holds)
{
    CorlaEcuTxn *t = current_;
    probing_ = false;
    if (!t)
        return;
    t->holds = holds;
    log(t, fromWide(CORLA_ModuleHoldsText(holds)));
    finish(t, probeStatus_);
}

int EcuImpl::probeNow()
{
    // Called from an abort, which must return with the answer: the replies are
    // read here, with a short wait, instead of through the event loop.
    timer_.stop();
    req_.active = false;
    req_.onReply = nullptr;
    pipelining_ = false;
    window_.clear();
    if (!port_ || !port_->isOpen()) {
        const QString path = portPath_, name = portName_;
        const PortSettings settings = settings_;
        QString err;
        if (!openPath(path, name, settings, &err))
            return CORLA_HOLDS_UNKNOWN;
    }
    probeNow_ = true;
    int holds = CORLA_HOLDS_UNKNOWN;
    bool answered = false;
    for (int attempt = 0; attempt < 2 && !answered && port_; ++attempt) {
        const uint8_t seq = ++seq_;
        const QByteArray frame = proto::encode(proto::Identify, seq);
        port_->write(frame);
        const int limit = timeoutFor(frame.size());
        QElapsedTimer clock;
        clock.start();
        while (!answered && port_ && clock.elapsed() < limit) {
            if (!port_->waitForReadyRead(int(limit - clock.elapsed())))
                break;
            parser_.feed(port_->readAll());
            proto::Frame fr;
            for (;;) {
                const auto ev = parser_.next(&fr);
                if (ev == proto::FrameParser::Event::None)
                    break;
                if (ev != proto::FrameParser::Event::Frame)
                    continue;
                if (fr.command == (proto::Commit | proto::kReplyBit) && fr.sequence == commitSeq_
                    && proto::replyResult(fr.payload) == proto::Ok) {
                    holds = CORLA_HOLDS_NEW;  // the module's own word, late
                    answered = true;
                    break;
                }
                if (fr.command == (proto::Identify | proto::kReplyBit) && fr.sequence == seq) {
                    if (const std::optional<proto::Identity> id = proto::readIdentity(fr.payload)) {
                        identity = *id;
                        holds = holdsFrom(*id);
                    }
                    answered = true;
                    break;
                }
            }
        }
    }
    probeNow_ = false;
    parser_.clear();
    return holds;
}

}  // namespace corla::detail
