// The read transaction: IDENTIFY for the stored length and CRC-32, then READ
// requests until the whole stored calibration is here, checked against it.
#include "corlaimpl.h"

#include <algorithm>

namespace proto = corla::proto;

namespace corla::detail {

bool EcuImpl::storedCalibrationFits(CorlaEcuTxn *t, const QString &what)
{
    if (identity.storedLength == 0) {
        t->cal->replace({});
        t->bytesRead = 0;
        log(t, QStringLiteral("The module holds no calibration."));
        progress(t, 1.0);
        finish(t, CORLA_STATUS_OK);
        return false;
    }
    if (identity.storedLength > t->cal->capacity()) {
        log(t,
            QStringLiteral("%1 failed: the module holds %2 bytes, more than the %3 of a calibration for its RUNE.")
                .arg(what)
                .arg(identity.storedLength)
                .arg(t->cal->capacity()));
        finish(t, CORLA_STATUS_BAD_CALIBRATION);
        return false;
    }
    return true;
}

bool EcuImpl::readReplyFits(CorlaEcuTxn *t, const proto::Frame &fr, uint16_t n)
{
    const uint8_t res = proto::replyResult(fr.payload);
    if (res == proto::UnknownCommand) {
        log(t, QStringLiteral("The module cannot send its calibration back: it does not know READ."));
        finish(t, CORLA_STATUS_UNSUPPORTED);
        return false;
    }
    if (res != proto::Ok || fr.payload.size() != 1 + n) {
        refused(proto::Read, res == proto::Ok ? uint8_t(proto::BadArgument) : res);
        return false;
    }
    return true;
}

void EcuImpl::runRead()
{
    CorlaEcuTxn *t = current_;
    if (!connected || !port_) {
        log(t, QStringLiteral("Reading failed: not connected to a module. Connect first."));
        finish(t, CORLA_STATUS_NOT_CONNECTED);
        return;
    }
    readBuf_.clear();
    progress(t, 0.0);
    request(proto::Identify, {}, [this, t](const proto::Frame &fr) {
        const std::optional<proto::Identity> id = proto::readIdentity(fr.payload);
        if (!id) {
            refused(proto::Identify, proto::replyResult(fr.payload));
            return;
        }
        identity = *id;
        if (!storedCalibrationFits(t, QStringLiteral("Reading")))
            return;
        log(t, QStringLiteral("Reading %1 calibration bytes...").arg(identity.storedLength));
        readNext();
    });
}

void EcuImpl::readNext()
{
    CorlaEcuTxn *t = current_;
    const uint32_t at = uint32_t(readBuf_.size());
    const uint16_t n = uint16_t(std::min<uint32_t>(proto::kMaxRead, identity.storedLength - at));
    request(proto::Read, proto::readRequest(at, n), [this, t, n](const proto::Frame &fr) {
        if (!readReplyFits(t, fr, n))
            return;
        readBuf_.append(fr.payload.mid(1));
        progress(t, double(readBuf_.size()) / identity.storedLength);
        if (uint32_t(readBuf_.size()) < identity.storedLength) {
            readNext();
            return;
        }
        const uint32_t crc = proto::crc32(readBuf_);
        if (crc != identity.storedCrc) {
            log(t,
                QStringLiteral("Reading failed: the bytes read have CRC-32 %1, the module reports %2.")
                    .arg(crc, 8, 16, QLatin1Char('0'))
                    .arg(identity.storedCrc, 8, 16, QLatin1Char('0')));
            finish(t, CORLA_STATUS_VERIFY_FAILED);
            return;
        }
        t->cal->replace(readBuf_);
        log(t, QStringLiteral("Read %1 bytes, CRC-32 %2.").arg(readBuf_.size()).arg(crc, 8, 16, QLatin1Char('0')));
        finish(t, CORLA_STATUS_OK);
    });
}

}  // namespace corla::detail
