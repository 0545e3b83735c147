// The ECU: its connection, its transaction queue and the two transactions.
#include "corlaimpl.h"

#include <QSerialPort>

#include <algorithm>
#include <cmath>

using namespace corla::detail;
namespace proto = corla::proto;

namespace {

constexpr int kMaxAttempts = 4;  // one try plus three retries

std::vector<EcuImpl *> &ecus()
{
    static auto *v = new std::vector<EcuImpl *>;
    return *v;
}

// Started transactions that have not yet asked their mediator for an ECU.
std::vector<CorlaEcuTxn *> &binding()
{
    static auto *v = new std::vector<CorlaEcuTxn *>;
    return *v;
}

EcuImpl *asEcu(CorlaICal *i)
{
    if (!isLive(i, CORLA_KIND_ICAL) || !i->isEcu())
        return nullptr;
    return static_cast<EcuImpl *>(i);
}

void callDelegate(const Delegate &d, int code, const void *data)
{
    if (!d.function)
        return;
    if (code >= 0 && code < 32 && !(uint32_t(d.mask) & (1u << code)))
        return;
    d.function(d.context, code, data, d.extra);
}

void sendMessage(const MediatorTable &table, const Delegate &events, const QString &text, int kind)
{
    if (events.function) {
        const CorlaMessage m{kind, wide(text)};
        callDelegate(events, CORLA_EVENT_MESSAGE, &m);
    } else if (table.message) {
        table.message(table.context, wide(text), kind);
    }
}

// Posts the report of a finished transaction. Aborted ones are reported
// through removeTxn, so that a mediator never disconnects because of them.
void postReport(CorlaEcuTxn *txn)
{
    Item it;
    it.type = ItemType::Report;
    it.ecu = txn->ecu;
    it.txn = txn;
    it.mediator = txn->table.context;
    it.run = [txn](bool asAborted) {
        if (asAborted)
            txn->status = CORLA_STATUS_ABORTED;
        const int status = txn->status;
        const MediatorTable table = txn->table;
        const Delegate delegate = txn->delegate;
        if (status == CORLA_STATUS_ABORTED) {
            if (table.removeTxn)
                table.removeTxn(table.context, txn);
        } else if (table.txnFinished) {
            table.txnFinished(table.context, txn, status);
        }
        callDelegate(delegate, CORLA_TXN_FINISHED, &status);
        if (EcuImpl *e = txn->ecu) {
            txn->ecu = nullptr;
            remRef(e);
        }
    };
    post(std::move(it));
}

void postTxnLog(CorlaEcuTxn *txn, const QString &text, int kind)
{
    Item it;
    it.type = ItemType::TxnEvent;
    it.ecu = txn->ecu;
    it.txn = txn;
    it.mediator = txn->table.context;
    it.run = [txn, text, kind](bool) { sendMessage(txn->table, txn->events, text, kind); };
    post(std::move(it));
}

void bindTxn(CorlaEcuTxn *txn)
{
    std::erase(binding(), txn);
    if (txn->state != CorlaEcuTxn::State::Binding)
        return;  // aborted meanwhile
    const MediatorTable &t = txn->table;
    if (t.eventDelegate) {
        if (Delegate *d = t.eventDelegate(t.context))
            txn->events = *d;
    }
    EcuImpl *e = asEcu(t.ecu ? t.ecu(t.context) : nullptr);
    if (!e) {
        postTxnLog(txn, QStringLiteral("%1 failed: the mediator has no ECU.").arg(txn->name), CORLA_MSG_LOG);
        txn->state = CorlaEcuTxn::State::Finished;
        txn->status = CORLA_STATUS_NO_PORT;
        postReport(txn);
        return;
    }
    e->enqueue(txn);
}

} // namespace

CorlaEcuTxn::CorlaEcuTxn(Type t, CalImpl *c) : Object(CORLA_KIND_TXN), type(t), cal(c)
{
    name = t == Type::Connect ? QStringLiteral("Connect") : QStringLiteral("Upload Calibration");
    if (cal)
        addRef(cal);
    events = Delegate{nullptr, nullptr, -1, 0};
}

CorlaEcuTxn::~CorlaEcuTxn()
{
    std::erase(binding(), this);  // its start step may have been dropped with a withdrawn mediator
    if (cal)
        remRef(cal);
    if (ecu)
        remRef(ecu);
}

namespace corla::detail {

void forgetMediatorEverywhere(void *context)
{
    if (!context)
        return;
    for (EcuImpl *e : ecus())
        e->forgetMediator(context);
    drop([context](const Item &i) { return i.mediator == context; });
}

EcuImpl::EcuImpl()
{
    ecus().push_back(this);
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &ctx_, [this] {
        if (pipelining_)
            windowTimeout();
        else
            retry(QStringLiteral("no reply within %1 ms").arg(req_.timeoutMs));
    });
}

EcuImpl::~EcuImpl()
{
    closePort(connected);
    drop([this](const Item &i) { return i.ecu == this; });
    if (rune)
        remRef(rune);
    if (cal)
        remRef(cal);
    std::erase(ecus(), this);
}

void EcuImpl::log(CorlaEcuTxn *txn, const QString &text, int kind)
{
    if (txn)
        postTxnLog(txn, text, kind);
    else
        postEcuMessage(text, kind);
}

void EcuImpl::progress(CorlaEcuTxn *txn, double fraction)
{
    Item it;
    it.type = ItemType::TxnEvent;
    it.ecu = this;
    it.txn = txn;
    it.mediator = txn->table.context;
    it.run = [txn, fraction](bool) { callDelegate(txn->events, CORLA_EVENT_PROGRESS, &fraction); };
    post(std::move(it));
}

void EcuImpl::postEcuMessage(const QString &text, int kind)
{
    if (!haveMediator_)
        return;
    Item it;
    it.type = ItemType::EcuMessage;
    it.ecu = this;
    it.mediator = mediator_.context;
    const MediatorTable table = mediator_;
    const Delegate events = mediatorEvents_;
    it.run = [table, events, text, kind](bool) { sendMessage(table, events, text, kind); };
    post(std::move(it));
}

void EcuImpl::notifyConnection(bool isConnected)
{
    for (const EcuListenerTable &l : ecuListeners) {
        if (!l.connectionChanged)
            continue;
        Item it;
        it.type = ItemType::Listener;
        it.ecu = this;
        it.run = [l, isConnected](bool) { l.connectionChanged(l.context, isConnected ? 1 : 0); };
        post(std::move(it));
    }
}

void EcuImpl::setRune(CorlaRune *r)
{
    if (r == rune)
        return;
    if (r)
        addRef(r);
    if (rune)
        remRef(rune);
    rune = r;
    for (const EcuListenerTable &l : ecuListeners) {
        if (!l.runeChanged)
            continue;
        Item it;
        it.type = ItemType::Listener;
        it.ecu = this;
        it.run = [l](bool) { l.runeChanged(l.context, 0); };
        post(std::move(it));
    }
}

void EcuImpl::enqueue(CorlaEcuTxn *txn)
{
    txn->ecu = this;
    addRef(this);
    txn->state = CorlaEcuTxn::State::Queued;
    addRef(txn);
    queue_.push_back(txn);
    pump();
}

void EcuImpl::pump()
{
    if (current_ || queue_.empty())
        return;
    CorlaEcuTxn *t = queue_.front();
    queue_.pop_front();
    current_ = t;
    t->state = CorlaEcuTxn::State::Running;
    haveMediator_ = true;
    mediator_ = t->table;
    mediatorEvents_ = t->events;

    Item started;
    started.type = ItemType::TxnEvent;
    started.ecu = this;
    started.txn = t;
    started.mediator = t->table.context;
    started.run = [t](bool) {
        if (t->table.txnStarted)
            t->table.txnStarted(t->table.context, t);
        callDelegate(t->delegate, CORLA_TXN_STARTED, nullptr);
    };
    post(std::move(started));

    Item step;
    step.type = ItemType::Internal;
    step.ecu = this;
    step.txn = t;
    step.run = [this, t](bool) {
        if (current_ != t || t->state != CorlaEcuTxn::State::Running)
            return;
        if (t->type == CorlaEcuTxn::Type::Connect)
            runConnect();
        else
            runUpload();
    };
    post(std::move(step));
}

void EcuImpl::finish(CorlaEcuTxn *txn, int status)
{
    if (txn != current_)
        return;
    timer_.stop();
    req_.active = false;
    req_.onReply = nullptr;
    pipelining_ = false;
    window_.clear();
    begun_ = false;
    txn->state = CorlaEcuTxn::State::Finished;
    txn->status = status;
    postReport(txn);
    current_ = nullptr;
    remRef(txn);
    pump();
}

void EcuImpl::abort(CorlaEcuTxn *txn)
{
    if (txn->state == CorlaEcuTxn::State::Queued) {
        auto it = std::find(queue_.begin(), queue_.end(), txn);
        if (it == queue_.end())
            return;
        queue_.erase(it);
        txn->state = CorlaEcuTxn::State::Finished;
        txn->status = CORLA_STATUS_ABORTED;
        postTxnLog(txn, QStringLiteral("%1 aborted.").arg(txn->name), CORLA_MSG_LOG);
        postReport(txn);
        remRef(txn);
        return;
    }
    if (txn != current_)
        return;
    if (txn->type == CorlaEcuTxn::Type::Upload) {
        if (begun_)
            sendOneWay(proto::Abort, {});
    } else if (!connected) {
        closePort(false);
    }
    log(txn, QStringLiteral("%1 aborted.").arg(txn->name));
    finish(txn, CORLA_STATUS_ABORTED);
}

void EcuImpl::disconnectAndWait()
{
    // Transactions started for this ECU but not yet under way are aborted too.
    const std::vector<CorlaEcuTxn *> waiting = binding();
    for (CorlaEcuTxn *t : waiting) {
        if (t->state == CorlaEcuTxn::State::Binding && t->table.ecu && t->table.ecu(t->table.context) == this)
            CORLA_EcuTxn_Abort(t);
    }
    while (!queue_.empty())
        abort(queue_.front());
    if (current_)
        abort(current_);
    const bool wasConnected = connected;
    connected = false;
    closePort(true);
    // Every report still waiting is delivered now: the caller is tearing the
    // connection down and must find its transaction list empty on return.
    drop([this](const Item &i) { return i.ecu == this && i.type == ItemType::TxnEvent; });
    deliverNow(
        [this](const Item &i) {
            return i.type == ItemType::Report
                   && (i.ecu == this || (i.txn && !i.txn->ecu && i.txn->status == CORLA_STATUS_ABORTED));
        },
        true);
    if (!disconnectedPending_) {
        disconnectedPending_ = true;
        if (haveMediator_) {
            Item it;
            it.type = ItemType::EcuMessage;
            it.ecu = this;
            it.mediator = mediator_.context;
            const MediatorTable table = mediator_;
            const Delegate events = mediatorEvents_;
            it.run = [this, table, events](bool) {
                disconnectedPending_ = false;
                sendMessage(table, events, QStringLiteral("Disconnected"), CORLA_MSG_STATUS);
            };
            post(std::move(it));
        } else {
            disconnectedPending_ = false;
        }
    }
    if (wasConnected)
        notifyConnection(false);
}

void EcuImpl::removeListeners()
{
    ecuListeners.clear();
    calListeners.clear();
    haveMediator_ = false;
    disconnectedPending_ = false;
    drop([this](const Item &i) {
        return i.ecu == this && (i.type == ItemType::Listener || i.type == ItemType::EcuMessage);
    });
}

void EcuImpl::forgetMediator(void *context)
{
    if (haveMediator_ && mediator_.context == context) {
        haveMediator_ = false;
        disconnectedPending_ = false;
        drop([this](const Item &i) { return i.ecu == this && i.type == ItemType::EcuMessage; });
    }
}

// ---- the line ----

int EcuImpl::timeoutFor(qsizetype bytes) const
{
    static const int base = [] {
        bool ok = false;
        const int v = qEnvironmentVariableIntValue("CORLA_REPLY_TIMEOUT_MS", &ok);
        return ok && v > 0 ? v : 400;
    }();
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
    auto *p = new QSerialPort;
    p->setPortName(f->path);
    if (!p->open(QIODevice::ReadWrite)) {
        *error = p->errorString();
        delete p;
        return false;
    }
    settings_ = f->settings;
    p->setBaudRate(qint32(settings_.baudRate ? settings_.baudRate : proto::kDefaultBaud));
    p->setDataBits(settings_.dataBits == 7 ? QSerialPort::Data7 : QSerialPort::Data8);
    p->setParity(settings_.parity == 1 ? QSerialPort::EvenParity
                 : settings_.parity == 2 ? QSerialPort::OddParity
                                         : QSerialPort::NoParity);
    p->setStopBits(settings_.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    p->setFlowControl(settings_.flowControl == 1 ? QSerialPort::HardwareControl
                      : settings_.flowControl == 2 ? QSerialPort::SoftwareControl
                                                   : QSerialPort::NoFlowControl);
    p->clear();
    port_ = p;
    portPath_ = f->path;
    portName_ = f->name;
    parser_.clear();
    const int gen = ++portGen_;
    QObject::connect(p, &QSerialPort::readyRead, &ctx_, [this, gen] {
        if (gen == portGen_)
            onReadyRead();
    });
    QObject::connect(p, &QSerialPort::errorOccurred, &ctx_, [this, gen](QSerialPort::SerialPortError e) {
        if (gen == portGen_ && e != QSerialPort::NoError && e != QSerialPort::TimeoutError)
            onPortError();
    }, Qt::QueuedConnection);
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
                       .arg(portName_, cmd).arg(kMaxAttempts).arg(why));
        return;
    }
    ++req_.attempts;
    log(current_, QStringLiteral("%1: %2; retrying (attempt %3 of %4).").arg(cmd, why).arg(req_.attempts).arg(kMaxAttempts));
    transmit();
}

void EcuImpl::linkFailed(int status, const QString &text)
{
    CorlaEcuTxn *t = current_;
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
    if (!port_)
        return;
    ++handlerDepth_;
    parser_.feed(port_->readAll());
    proto::Frame fr;
    for (;;) {
        if (!port_)
            break;
        const auto ev = parser_.next(&fr);
        if (ev == proto::FrameParser::Event::None)
            break;
        if (ev == proto::FrameParser::Event::Corrupt) {
            // With blocks in flight the reply's owner is unknown: the oldest
            // block's timeout recovers it.
            if (req_.active && !pipelining_) {
                parser_.clear();
                retry(QStringLiteral("corrupt reply"));
            }
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
    if (begun_)
        sendOneWay(proto::Abort, {});
    log(t, QStringLiteral("The module refused %1: %2.")
               .arg(QString::fromLatin1(proto::commandName(command)), QString::fromLatin1(proto::resultText(result))));
    finish(t, CORLA_STATUS_REFUSED);
}

// ---- connect ----

void EcuImpl::runConnect()
{
    CorlaEcuTxn *t = current_;
    CorlaPortFactory *f = t->table.portFactory ? t->table.portFactory(t->table.context) : nullptr;
    if (current_ != t)
        return;
    if (!isLive(f, CORLA_KIND_FACTORY)) {
        log(t, QStringLiteral("Connect failed: no port is selected. Choose the port the module is connected to."));
        finish(t, CORLA_STATUS_NO_PORT);
        return;
    }
    QString err;
    if (!openPort(f, &err)) {
        log(t, QStringLiteral("Cannot open port %1: %2.").arg(f->name, err));
        finish(t, CORLA_STATUS_PORT_OPEN);
        return;
    }
    log(t, QStringLiteral("Connecting on %1 at %2 baud...").arg(portName_).arg(settings_.baudRate));
    request(proto::Identify, {}, [this, t](const proto::Frame &fr) {
        const std::optional<proto::Identity> id = proto::readIdentity(fr.payload);
        if (!id) {
            closePort(false);
            refused(proto::Identify, proto::replyResult(fr.payload));
            return;
        }
        identity_ = *id;
        log(t, QStringLiteral("The module answered: %1.").arg(describeModule(identity_.module, identity_.firmware)));
        bool haveHook = false;
        QString info;
        CorlaRune *r = callOpenHook(t->table.context, identity_.module, identity_.firmware, &haveHook);
        if (!haveHook)
            r = locateAndLoad(identity_.module, identity_.firmware, &info);
        if (current_ != t) {  // aborted from inside the hook
            if (r)
                remRef(r);
            return;
        }
        if (!r) {
            if (haveHook) {
                CorlaString where;
                CORLA_Setup_LocateRune(nullptr, identity_.module, identity_.firmware, &where);
                info = where.text;
            }
            log(t, QStringLiteral("No RUNE file is installed for this ECU (%1): %2.").arg(describeModule(identity_.module, identity_.firmware), info));
            closePort(true);
            finish(t, CORLA_STATUS_NO_RUNE);
            return;
        }
        setRune(r);
        remRef(r);  // the hook's reference was ours to drop
        connected = true;
        log(t, QStringLiteral("Connected to %1 %2 on %3.").arg(rune->name, rune->version, portName_));
        log(t, QStringLiteral("Connected"), CORLA_MSG_STATUS);
        notifyConnection(true);
        finish(t, CORLA_STATUS_OK);
    });
}

// ---- upload ----

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

extern "C" {

CorlaEcu *CORLA_Ecu_Create(void) { return new EcuImpl; }

int CORLA_Ecu_AddListener(CorlaEcu *ecu, const EcuListenerTable *table)
{
    EcuImpl *e = asEcu(ecu);
    if (!e || !table)
        return 0;
    e->ecuListeners.push_back(*table);
    return 1;
}

void CORLA_Ecu_RemoveAllDataListenersNonGlobal(CorlaEcu *ecu)
{
    if (EcuImpl *e = asEcu(ecu))
        e->removeListeners();
}

int CORLA_Ecu_IsConnected(CorlaEcu *ecu)
{
    EcuImpl *e = asEcu(ecu);
    return e && e->connected ? 1 : 0;
}

void CORLA_Ecu_DisconnectAndWait(CorlaEcu *ecu)
{
    if (EcuImpl *e = asEcu(ecu))
        e->disconnectAndWait();
}

CorlaCal *CORLA_Ecu_NewCalibration(CorlaEcu *ecu)
{
    EcuImpl *e = asEcu(ecu);
    if (!e)
        return nullptr;
    auto *c = new CalImpl(e->rune);
    addRef(c);
    if (e->cal)
        remRef(e->cal);
    e->cal = c;
    for (const CalListenerTable &l : e->calListeners) {
        if (!l.changed)
            continue;
        Item it;
        it.type = ItemType::Listener;
        it.ecu = e;
        it.run = [l](bool) { l.changed(l.context, 0); };
        post(std::move(it));
    }
    return c;
}

CorlaICal *CORLA_Ecu_GetCalibration(CorlaEcu *ecu)
{
    EcuImpl *e = asEcu(ecu);
    return e ? e->cal : nullptr;
}

void CORLA_Ecu_SetRune(CorlaEcu *ecu, CorlaRune *rune)
{
    EcuImpl *e = asEcu(ecu);
    if (!e || (rune && !isLive(rune, CORLA_KIND_RUNE)))
        return;
    e->setRune(rune);
}

CorlaEcuTxn *CORLA_EcuTxn_Connect_Create(void)
{
    return new CorlaEcuTxn(CorlaEcuTxn::Type::Connect, nullptr);
}

CorlaEcuTxn *CORLA_EcuTxn_UploadCal_Create(CorlaICal *ical)
{
    CalImpl *c = static_cast<CalImpl *>(CORLA_ICal_ToCal(ical));
    if (!c)
        return nullptr;
    return new CorlaEcuTxn(CorlaEcuTxn::Type::Upload, c);
}

int CORLA_EcuTxn_Start(CorlaEcuTxn *txn, const MediatorTable *table, const Delegate *delegate)
{
    if (!isLive(txn, CORLA_KIND_TXN) || !table || txn->state != CorlaEcuTxn::State::Created)
        return 0;
    txn->table = *table;
    txn->delegate = delegate ? *delegate : Delegate{nullptr, nullptr, -1, 0};
    txn->state = CorlaEcuTxn::State::Binding;
    binding().push_back(txn);
    Item it;
    it.type = ItemType::Internal;
    it.txn = txn;
    it.mediator = table->context;
    it.run = [txn](bool) { bindTxn(txn); };
    post(std::move(it));
    return 1;
}

void CORLA_EcuTxn_Abort(CorlaEcuTxn *txn)
{
    if (!isLive(txn, CORLA_KIND_TXN))
        return;
    switch (txn->state) {
    case CorlaEcuTxn::State::Binding:
        std::erase(binding(), txn);
        txn->state = CorlaEcuTxn::State::Finished;
        txn->status = CORLA_STATUS_ABORTED;
        postReport(txn);
        break;
    case CorlaEcuTxn::State::Queued:
    case CorlaEcuTxn::State::Running:
        if (txn->ecu)
            txn->ecu->abort(txn);
        break;
    default:
        break;
    }
}

const char16_t *CORLA_EcuTxn_GetName(const CorlaEcuTxn *txn)
{
    return isLive(txn, CORLA_KIND_TXN) ? wide(txn->name) : u"";
}

int CORLA_EcuTxn_IsDisconnectOnFail(const CorlaEcuTxn *txn)
{
    return isLive(txn, CORLA_KIND_TXN) ? 1 : 0;
}

int CORLA_EcuTxn_GetStatus(const CorlaEcuTxn *txn)
{
    return isLive(txn, CORLA_KIND_TXN) ? txn->status : -1;
}

} // extern "C"
