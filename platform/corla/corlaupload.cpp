// The upload transaction: BEGIN, the questions, WRITE blocks two in flight,
// VERIFY and COMMIT.
#include "corlaimpl.h"

#include <QSerialPort>

#include <algorithm>

namespace proto = corla::proto;

namespace corla::detail {

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
    const uint32_t room = identity_.capacity ? std::min(identity_.capacity, rune->calSize) : rune->calSize;
    if (end_ > room) {
        log(t, QStringLiteral("Upload failed: the calibration needs %1 bytes but the module holds only %2.")
                   .arg(end_).arg(room));
        finish(t, CORLA_STATUS_BAD_CALIBRATION);
        return;
    }
    blocks_.clear();
    for (const auto &r : c->ranges()) {
        for (uint32_t s = r.start; s < r.end; s += proto::kBlockSize)
            blocks_.push_back({s, std::min(r.end, s + uint32_t(proto::kBlockSize))});
    }
    nextBlock_ = 0;
    sent_ = 0;
    total_ = c->writtenBytes();
    crc_ = proto::crc32(c->data);
    begun_ = false;
    engineRunning_ = false;
    log(t, QStringLiteral("Uploading %1 calibration bytes in %2 blocks...").arg(total_).arg(blocks_.size()));
    progress(t, 0.0);
    QByteArray p;
    proto::putU32(p, end_);
    request(proto::Begin, p, [this, t](const proto::Frame &fr) {
        const std::optional<uint8_t> flags = proto::readFlags(fr.payload);
        if (!flags) {
            refused(proto::Begin, proto::replyResult(fr.payload));
            return;
        }
        begun_ = true;
        engineRunning_ = *flags & proto::EngineRunning;
        // Questions may open dialogs; ask from a clean event-loop turn.
        Item step;
        step.type = ItemType::Internal;
        step.ecu = this;
        step.txn = t;
        step.run = [this, t](bool) {
            if (current_ == t)
                uploadAsk();
        };
        post(std::move(step));
    });
}

void EcuImpl::uploadAsk()
{
    CorlaEcuTxn *t = current_;
    const MediatorTable table = t->table;
    if (engineRunning_) {
        log(t, QStringLiteral("The module reports that the engine is running."));
        const bool go = table.confirmEngineRunning && table.confirmEngineRunning(table.context);
        if (current_ != t)
            return;
        if (!go) {
            sendOneWay(proto::Abort, {});
            log(t, QStringLiteral("Upload cancelled: the engine is running. The module keeps its previous calibration."));
            finish(t, CORLA_STATUS_CANCELLED);
            return;
        }
    }
    const bool go = !table.confirmIntLogSetup || table.confirmIntLogSetup(table.context);
    if (current_ != t)
        return;
    if (!go) {
        sendOneWay(proto::Abort, {});
        log(t, QStringLiteral("Upload cancelled: the internal logging setup is not valid. The module keeps its previous calibration."));
        finish(t, CORLA_STATUS_CANCELLED);
        return;
    }
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
    auto it = std::find_if(window_.begin(), window_.end(), [&](const InFlight &f) { return f.sequence == fr.sequence; });
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
    progress(t, total_ ? double(sent_) / total_ : 1.0);
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
                       .arg(portName_).arg(kMaxAttempts).arg(why));
        return;
    }
    ++f.attempts;
    log(current_, QStringLiteral("WRITE: %1; retrying (attempt %2 of %3).").arg(why).arg(f.attempts).arg(kMaxAttempts));
    port_->write(f.frame);
    armWindowTimer();
}

void EcuImpl::uploadVerify()
{
    CorlaEcuTxn *t = current_;
    request(proto::Verify, {}, [this, t](const proto::Frame &fr) {
        const std::optional<proto::Staged> staged = proto::readStaged(fr.payload);
        if (!staged) {
            refused(proto::Verify, proto::replyResult(fr.payload));
            return;
        }
        const auto [len, crc] = *staged;
        if (len != end_ || crc != crc_) {
            sendOneWay(proto::Abort, {});
            log(t, QStringLiteral("Verification failed: the module holds %1 bytes with CRC-32 %2, expected %3 bytes "
                                  "with CRC-32 %4. The module keeps its previous calibration.")
                       .arg(len)
                       .arg(QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0')))
                       .arg(end_)
                       .arg(QStringLiteral("%1").arg(crc_, 8, 16, QLatin1Char('0'))));
            finish(t, CORLA_STATUS_VERIFY_FAILED);
            return;
        }
        log(t, QStringLiteral("Verified %1 bytes, CRC-32 %2.").arg(len).arg(crc, 8, 16, QLatin1Char('0')));
        uploadCommit(crc);
    });
}

void EcuImpl::uploadCommit(uint32_t crc)
{
    CorlaEcuTxn *t = current_;
    QByteArray p;
    proto::putU32(p, crc);
    request(proto::Commit, p, [this, t](const proto::Frame &fr) {
        const uint8_t res = proto::replyResult(fr.payload);
        if (res == proto::StorageFailed) {
            log(t, QStringLiteral("The module could not store the calibration; it keeps its previous one."));
            finish(t, CORLA_STATUS_STORAGE_FAILED);
            return;
        }
        if (res == proto::CrcMismatch) {
            log(t, QStringLiteral("The module rejected the commit: its CRC-32 differs. It keeps its previous calibration."));
            finish(t, CORLA_STATUS_VERIFY_FAILED);
            return;
        }
        if (res != proto::Ok) {
            refused(proto::Commit, res);
            return;
        }
        begun_ = false;
        progress(t, 1.0);
        log(t, QStringLiteral("Calibration committed: %1 bytes stored by the module.").arg(end_));
        finish(t, CORLA_STATUS_OK);
    }, 5000);
}

} // namespace corla::detail
