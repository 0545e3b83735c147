// The compare transaction: IDENTIFY for the stored length and CRC-32, SUMS of
// every block of the stored calibration, READ of only the blocks whose CRC-32
// differs from ours, then the whole checked against IDENTIFY's CRC-32. A
// module that holds our calibration costs one SUMS round trip. What it put
// together is kept for an upload on the same connection (corlaupload.cpp).
#include "corlacompare.h"
#include "corlaimpl.h"

#include <algorithm>

namespace proto = corla::proto;

namespace corla::detail {

namespace {

// The upload's block size rule: the CRCs and a changed block or two should
// cost about the same on the line.
uint32_t compareBlockFor(uint32_t length)
{
    uint32_t size = proto::kMinSumBlock;
    while (size < uint32_t(proto::kMaxSumBlock) && uint64_t(size) * size < 2ull * length)
        size *= 2;
    return size;
}

QString crcText(uint32_t crc)
{
    return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0'));
}

}  // namespace

struct EcuImpl::CompareRun {
    CorlaEcuTxn *txn = nullptr;
    QByteArray ours;  // what the calibration held when the compare began
    QByteArray module;  // the stored calibration: ours where blocks agree, read where not
    uint32_t block = 0;
    uint32_t blocks = 0;
    std::vector<uint32_t> sums;
    std::vector<CalImpl::Range> reads;  // at most kMaxRead bytes each
    uint32_t toRead = 0, read = 0;
    int differing = 0;
};

void EcuImpl::runCompare()
{
    CorlaEcuTxn *t = current_;
    if (!connected || !port_) {
        log(t, QStringLiteral("Comparing failed: not connected to a module. Connect first."));
        finish(t, CORLA_STATUS_NOT_CONNECTED);
        return;
    }
    knownStored_ = KnownStored();  // learnt again below, or not at all
    auto run = std::make_shared<CompareRun>();
    run->txn = t;
    run->ours = t->cal->data;
    progress(t, 0.0);
    request(proto::Identify, {}, [this, run](const proto::Frame &fr) {
        CorlaEcuTxn *t = run->txn;
        const std::optional<proto::Identity> id = proto::readIdentity(fr.payload);
        if (!id) {
            refused(proto::Identify, proto::replyResult(fr.payload));
            return;
        }
        identity = *id;
        if (!storedCalibrationFits(t, QStringLiteral("Comparing")))
            return;
        run->block = compareBlockFor(identity.storedLength);
        run->blocks = (identity.storedLength + run->block - 1) / run->block;
        // Bytes we do not have read as never written, until READ says otherwise.
        run->module = run->ours.left(qsizetype(identity.storedLength));
        run->module.append(QByteArray(qsizetype(identity.storedLength) - run->module.size(), char(proto::kFill)));
        compareSums(run, 0);
    });
}

void EcuImpl::compareSums(const std::shared_ptr<CompareRun> &run, uint32_t firstBlock)
{
    const proto::SumsRequest q{firstBlock * run->block, uint16_t(run->block),
                               uint16_t(std::min<uint32_t>(proto::kMaxSums, run->blocks - firstBlock))};
    request(proto::Sums, proto::sumsRequest(q), [this, run, q](const proto::Frame &fr) {
        const std::optional<QList<uint32_t>> sums = proto::readSums(fr.payload, q.count);
        if (!sums) {
            // A module from before SUMS: every block is read.
            log(run->txn,
                QStringLiteral("The module cannot compare its stored calibration (SUMS: %1); reading all of it.")
                    .arg(QString::fromLatin1(proto::resultText(proto::replyResult(fr.payload)))));
            run->sums.clear();
            compareDone(run);
            return;
        }
        run->sums.insert(run->sums.end(), sums->begin(), sums->end());
        const uint32_t next = q.address / run->block + q.count;
        if (next < run->blocks)
            compareSums(run, next);
        else
            compareDone(run);
    });
}

// Plans the READs: every block whose CRC-32 differs from ours (all of them
// without sums), neighbours joined, cut into READ-sized pieces.
void EcuImpl::compareDone(const std::shared_ptr<CompareRun> &run)
{
    const uint32_t length = uint32_t(run->module.size());
    for (uint32_t i = 0; i < run->blocks; ++i) {
        const uint32_t start = i * run->block;
        const uint32_t end = std::min(start + run->block, length);
        const bool haveOurs = uint32_t(run->ours.size()) >= end;
        const bool same = i < run->sums.size() && haveOurs
            && proto::crc32(run->ours.constData() + start, end - start) == run->sums[i];
        if (same)
            continue;
        ++run->differing;
        if (!run->reads.empty() && run->reads.back().end == start)
            run->reads.back().end = end;
        else
            run->reads.push_back({start, end});
    }
    std::vector<CalImpl::Range> pieces;
    for (const CalImpl::Range &r : run->reads)
        for (uint32_t at = r.start; at < r.end; at += proto::kMaxRead)
            pieces.push_back({at, std::min<uint32_t>(at + proto::kMaxRead, r.end)});
    run->reads = std::move(pieces);
    for (const CalImpl::Range &r : run->reads)
        run->toRead += r.end - r.start;
    if (!run->sums.empty())
        log(run->txn,
            QStringLiteral("%1 of %2 blocks of %3 bytes differ from this calibration.")
                .arg(run->differing)
                .arg(run->blocks)
                .arg(run->block));
    compareRead(run, 0);
}

void EcuImpl::compareRead(const std::shared_ptr<CompareRun> &run, size_t range)
{
    CorlaEcuTxn *t = run->txn;
    if (range == run->reads.size()) {
        const uint32_t crc = proto::crc32(run->module);
        if (crc != identity.storedCrc) {
            // Blocks with our CRC-32 but other bytes, or a calibration changed meanwhile.
            log(t,
                QStringLiteral("Comparing failed: the calibration put together has CRC-32 %1, the module reports %2.")
                    .arg(crcText(crc), crcText(identity.storedCrc)));
            finish(t, CORLA_STATUS_VERIFY_FAILED);
            return;
        }
        t->cal->replace(run->module);
        t->bytesRead = int32_t(run->read);
        // Kept for an upload that follows on this connection. Only from a
        // module that answers SUMS: that one also stages from its stored
        // calibration (BEGIN), which an upload of the changed bytes needs.
        if (!run->sums.empty())
            knownStored_ = KnownStored{portGen_, crc, run->module};
        log(t,
            QStringLiteral("Read %1 of the module's %2 bytes, CRC-32 %3.")
                .arg(run->read)
                .arg(run->module.size())
                .arg(crcText(crc)));
        progress(t, 1.0);
        finish(t, CORLA_STATUS_OK);
        return;
    }
    const CalImpl::Range r = run->reads[range];
    const uint16_t n = uint16_t(r.end - r.start);
    request(proto::Read, proto::readRequest(r.start, n), [this, run, range, r, n](const proto::Frame &fr) {
        CorlaEcuTxn *t = run->txn;
        if (!readReplyFits(t, fr, n))
            return;
        run->module.replace(qsizetype(r.start), n, fr.payload.mid(1));
        run->read += n;
        if (run->toRead)
            progress(t, double(run->read) / run->toRead);
        compareRead(run, range + 1);
    });
}

}  // namespace corla::detail

using corla::detail::CalImpl;

extern "C" {

CorlaEcuTxn *CORLA_EcuTxn_CompareCal_Create(CorlaICal *ical)
{
    CalImpl *c = static_cast<CalImpl *>(CORLA_ICal_ToCal(ical));
    if (!c)
        return nullptr;
    auto *txn = new CorlaEcuTxn(CorlaEcuTxn::Type::Compare, c);
    txn->name = QStringLiteral("Compare Calibration");
    return txn;
}

int32_t CORLA_EcuTxn_GetBytesRead(const CorlaEcuTxn *txn)
{
    if (!corla::detail::isLive(txn, CORLA_KIND_TXN) || txn->type != CorlaEcuTxn::Type::Compare || txn->status != 0)
        return -1;
    return txn->bytesRead;
}

}  // extern "C"
