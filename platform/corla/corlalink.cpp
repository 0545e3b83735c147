// The ECU's serial line: opening and closing the port, one request at a
// time with its timeout and retries, reading and dispatching replies.
#include "corlaimpl.h"

#include <QFile>
#include <QSerialPort>

#include <unistd.h>

#include <cmath>

namespace proto = corla::proto;

namespace corla::detail {

int EcuImpl::timeoutFor(qsizetype bytes) const
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue("CORLA_REPLY_TIMEOUT_MS", &ok);
    const int base = ok && v > 0 ? v : 400;
    const double baud = settings_.baudRate ? settings_.baudRate : proto::kDefaultBaud;
    // Request and reply both cross the line; allow a quarter more for gaps.
    return base + int(std::ceil((bytes + 48) * (proto::kLineBitsPerByte * 1000.0) / baud * 1.25));
}

bool EcuImpl::openPort(CorlaPortFactory *f, QString *error)
{
    if (port_ && port_->isOpen() && portPath_ == f->path && settings_.baudRate == f->settings.baudRate
        && settings_.dataBits == f->settings.dataBits && settings_.parity == f->settings.parity
        && settings_.stopBits == f->settings.stopBits && settings_.flowControl == f->settings.flowControl)
        return true;
    closePort(connected);
    connected = false;
    return openPath(f->path, f->name, f->settings, error);
}

namespace {

// Qt says "permission error" both when another program holds the port's lock
// and when the device may not be opened; each has its own remedy.
QString openError(const QSerialPort &p, const QString &path)
{
    if (p.error() != QSerialPort::PermissionError)
        return p.errorString();
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) == 0)
        return QStringLiteral("it is in use by another program (another KELDA window, a kelda-cli command or a "
                              "terminal program); close that and try again");
    return QStringLiteral("this user may not use it: on Debian, add the user to the group dialout (sudo adduser "
                          "$USER dialout) and log in again");
}

}  // namespace

bool EcuImpl::openPath(const QString &path, const QString &name, const PortSettings &settings, QString *error)
{
    auto *p = new QSerialPort;
    p->setPortName(path);
    if (!p->open(QIODevice::ReadWrite)) {
        *error = openError(*p, path);
        delete p;
        return false;
    }
    settings_ = settings;
    p->setBaudRate(qint32(settings_.baudRate ? settings_.baudRate : proto::kDefaultBaud));
    p->setDataBits(settings_.dataBits == 7 ? QSerialPort::Data7 : QSerialPort::Data8);
    p->setParity(settings_.parity == 1       ? QSerialPort::EvenParity
                     : settings_.parity == 2 ? QSerialPort::OddParity
                                             : QSerialPort::NoParity);
    p->setStopBits(settings_.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    p->setFlowControl(settings_.flowControl == 1       ? QSerialPort::HardwareControl
                          : settings_.flowControl == 2 ? QSerialPort::SoftwareControl
                                                       : QSerialPort::NoFlowControl);
    p->clear();
    port_ = p;
    portPath_ = path;
    portName_ = name;
    parser_.clear();
    parser_.setLineRate(int(settings_.baudRate));
    lineClock_.start();
    const int gen = ++portGen_;
    QObject::connect(p, &QSerialPort::readyRead, &ctx_, [this, gen] {
        if (gen == portGen_)
            onReadyRead();
    });
    QObject::connect(
        p, &QSerialPort::errorOccurred, &ctx_,
        [this, gen](QSerialPort::SerialPortError e) {
            if (gen == portGen_ && e != QSerialPort::NoError && e != QSerialPort::TimeoutError)
                onPortError();
        },
        Qt::QueuedConnection);
    return true;
}

void EcuImpl::closePort(bool sayGoodbye)
{
    timer_.stop();
    req_.active = false;
    req_.onReply = nullptr;
    pipelining_ = false;
    window_.clear();
    if (!port_)
        return;
    QSerialPort *p = port_;
    port_ = nullptr;
    ++portGen_;
    if (sayGoodbye && p->isOpen()) {
        p->write(proto::encode(proto::Disconnect, ++seq_));
        p->waitForBytesWritten(100);
    }
    p->disconnect(&ctx_);
    p->close();
    if (handlerDepth_ > 0)
        p->deleteLater();
    else
        delete p;
    parser_.clear();
}

void EcuImpl::sendOneWay(uint8_t command, const QByteArray &payload)
{
    if (port_)
        port_->write(proto::encode(command, ++seq_, payload));
}

void EcuImpl::request(uint8_t command, const QByteArray &payload, ReplyFn onReply, int extraMs)
{
    req_.active = true;
    req_.command = command;
    req_.sequence = ++seq_;
    req_.frame = proto::encode(command, req_.sequence, payload);
    req_.attempts = 1;
    req_.timeoutMs = timeoutFor(req_.frame.size()) + extraMs;
    req_.onReply = std::move(onReply);
    transmit();
}

void EcuImpl::transmit()
{
    if (!port_)
        return;
    // A partial reply to an earlier attempt would swallow the bytes of the next one.
    if (req_.attempts > 1)
        parser_.clear();
    port_->write(req_.frame);
    timer_.start(req_.timeoutMs);
}

void EcuImpl::retry(const QString &why)
{
    if (!req_.active || !current_)
        return;
    const QString cmd = QString::fromLatin1(proto::commandName(req_.command));
    if (req_.attempts >= kMaxAttempts) {
        req_.active = false;
        timer_.stop();
        linkFailed(CORLA_STATUS_TIMEOUT,
                   QStringLiteral("No valid reply from the module on %1 to %2 after %3 attempts (%4). "
                                  "Check the cable, the port and that the module is powered.")
                       .arg(portName_, cmd, QString::number(kMaxAttempts), why));
        return;
    }
    ++req_.attempts;
    log(current_,
        QStringLiteral("%1: %2; retrying (attempt %3 of %4).")
            .arg(cmd, why, QString::number(req_.attempts), QString::number(kMaxAttempts)));
    transmit();
}

void EcuImpl::linkFailed(int status, const QString &text)
{
    CorlaEcuTxn *t = current_;
    if (t && probing_) {
        // The module could not be asked what it holds.
        closePort(false);
        if (connected) {
            connected = false;
            notifyConnection(false);
        }
        log(t, text);
        concludeProbe(CORLA_HOLDS_UNKNOWN);
        return;
    }
    if (t && commitSent_) {
        if (status == CORLA_STATUS_LINK_LOST && connected) {
            connected = false;
            notifyConnection(false);
        }
        log(t, text);
        probeAfterCommit(status);
        return;
    }
    if (status == CORLA_STATUS_LINK_LOST) {
        const bool wasConnected = connected;
        closePort(false);
        connected = false;
        if (wasConnected)
            notifyConnection(false);
    } else if (t && t->type == CorlaEcuTxn::Type::Connect) {
        closePort(false);
    }
    if (t) {
        log(t, text);
        finish(t, status);
    } else {
        postEcuMessage(text, CORLA_MSG_LOG);
    }
}

void EcuImpl::onPortError()
{
    if (!port_)
        return;
    linkFailed(CORLA_STATUS_LINK_LOST,
               QStringLiteral("The connection on %1 failed: %2.").arg(portName_, port_->errorString()));
}

void EcuImpl::onReadyRead()
{
    if (!port_ || probeNow_)
        return;
    ++handlerDepth_;
    parser_.feed(port_->readAll(), double(lineClock_.nsecsElapsed()) / 1e6);
    proto::Frame fr;
    for (;;) {
        if (!port_)
            break;
        const auto ev = parser_.next(&fr);
        if (ev == proto::FrameParser::Event::None)
            break;
        if (ev == proto::FrameParser::Event::Dropped)
            continue;  // the request's timeout has retried or will retry
        if (ev == proto::FrameParser::Event::Corrupt) {
            // With blocks in flight the reply's owner is unknown: the oldest
            // block's timeout recovers it.
            if (req_.active && !pipelining_)
                retry(QStringLiteral("corrupt reply"));
            continue;
        }
        if (pipelining_) {
            windowReply(fr);
            continue;
        }
        if (!req_.active)
            continue;  // late reply to a request we have given up on
        if (fr.command == proto::Nak) {
            retry(QStringLiteral("the module received a corrupt request"));
            continue;
        }
        if (fr.sequence != req_.sequence || fr.command != (req_.command | proto::kReplyBit))
            continue;  // stale duplicate
        timer_.stop();
        req_.active = false;
        ReplyFn fn = std::move(req_.onReply);
        req_.onReply = nullptr;
        if (fn)
            fn(fr);
    }
    --handlerDepth_;
}

void EcuImpl::refused(uint8_t command, uint8_t result)
{
    CorlaEcuTxn *t = current_;
    if (!t)
        return;
    if (probing_) {
        concludeProbe(CORLA_HOLDS_UNKNOWN);
        return;
    }
    if (begun_)
        sendOneWay(proto::Abort, {});
    log(t,
        QStringLiteral("The module refused %1: %2.")
            .arg(QString::fromLatin1(proto::commandName(command)), QString::fromLatin1(proto::resultText(result))));
    finish(t, CORLA_STATUS_REFUSED);
}

}  // namespace corla::detail
