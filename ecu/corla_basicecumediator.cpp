#include "corla_basicecumediator.h"

#include <QtGlobal>

#include <cstring>

namespace corla {

namespace {

IEcuMediator *mediatorOf(void *context)
{
    return static_cast<IEcuMediator *>(context);
}

// MediatorTable words: each forwards to the mediator slot of the same number.
CorlaICal *tEcu(void *c)
{
    return mediatorOf(c)->ecu();
}
CorlaPortFactory *tPortFactory(void *c)
{
    return mediatorOf(c)->portFactory();
}
Delegate *tEventDelegate(void *c)
{
    return mediatorOf(c)->eventDelegate();
}
void *tReserved4(void *c)
{
    return mediatorOf(c)->reserved4();
}
int tIsSetupInstalled(void *c, uint32_t a, uint32_t b)
{
    return mediatorOf(c)->isSetupInstalled(a, b) ? 1 : 0;
}

int tStartTxn(void *c, CorlaEcuTxn *txn, int32_t extra)
{
    const EcuTxn wrapped(txn);
    const Delegate delegate{nullptr, nullptr, -1, extra};
    return mediatorOf(c)->startTxn(wrapped, delegate) ? 1 : 0;
}

void tTxnStarted(void *c, CorlaEcuTxn *txn)
{
    const EcuTxn wrapped(txn);
    mediatorOf(c)->txnStarted(wrapped);
}

void tTxnFinished(void *c, CorlaEcuTxn *txn, int result)
{
    const EcuTxn wrapped(txn);
    mediatorOf(c)->txnFinished(wrapped, result);
}

void tRemoveTxn(void *c, CorlaEcuTxn *txn)
{
    const EcuTxn wrapped(txn);
    mediatorOf(c)->removeTxn(wrapped);
}

void tMessage(void *c, const char16_t *text, int kind)
{
    mediatorOf(c)->message(text, kind);
}
int tReserved11(void *c)
{
    return mediatorOf(c)->reserved11() ? 1 : 0;
}
void tDisconnect(void *c)
{
    mediatorOf(c)->disconnect();
}

void tClearText(void *c, CorlaString *text)
{
    CorlaString *local = text;
    mediatorOf(c)->clearText(local);
}

void tReserved14(void *c, uint32_t value, uint32_t *inout, uint32_t word)
{
    uint32_t localValue = value;
    uint32_t localWord = inout ? *inout : 0;
    mediatorOf(c)->reserved14(localValue, inout ? &localWord : nullptr, word);
    if (inout)
        *inout = localWord;
}

int tResetRune(void *c)
{
    return mediatorOf(c)->resetRune() ? 1 : 0;
}
void tReserved16(void *c, uint32_t x, uint32_t y, uint32_t z)
{
    mediatorOf(c)->reserved16(x, y, z);
}
int tConfirmEngineRunning(void *c)
{
    return mediatorOf(c)->confirmEngineRunning() ? 1 : 0;
}
void tReserved18(void *c, uint32_t x)
{
    mediatorOf(c)->reserved18(x);
}
int tReserved19(void *c, uint32_t x)
{
    return mediatorOf(c)->reserved19(x);
}
int tReserved20(void *c, uint32_t x, uint32_t y)
{
    return mediatorOf(c)->reserved20(x, y);
}
int tConfirmIntLogSetup(void *c)
{
    return mediatorOf(c)->confirmIntLogSetup() ? 1 : 0;
}
void tSetRune(void *c, CorlaRune *rune)
{
    mediatorOf(c)->setRune(rune);
}
void tReserved23(void *c, uint32_t x)
{
    mediatorOf(c)->reserved23(x);
}
void *tReserved24(void *c)
{
    return mediatorOf(c)->reserved24();
}

// Listener tables.
IEcuListener *ecuListenerOf(void *c)
{
    return static_cast<IEcuListener *>(c);
}
void eConnectionChanged(void *c, uint32_t x)
{
    ecuListenerOf(c)->connectionChanged(x);
}
void eRuneChanged(void *c, uint32_t x)
{
    ecuListenerOf(c)->runeChanged(x);
}
void eEngineStateChanged(void *c, uint32_t x)
{
    ecuListenerOf(c)->engineStateChanged(x);
}
void eCalibrationChanged(void *c, uint32_t x)
{
    ecuListenerOf(c)->calibrationChanged(x);
}
void eLinkError(void *c, uint32_t x)
{
    ecuListenerOf(c)->linkError(x);
}
void eDataReceived(void *c, uint32_t x, uint32_t y)
{
    ecuListenerOf(c)->dataReceived(x, y);
}

ICalListener *calListenerOf(void *c)
{
    return static_cast<ICalListener *>(c);
}
void cChanged(void *c, uint32_t x)
{
    calListenerOf(c)->calChanged(x);
}

void cBeforeWrite(void *c, uint32_t address, uint32_t *size)
{
    uint32_t local = size ? *size : 0;
    calListenerOf(c)->beforeWrite(address, local);
    if (size)
        *size = local;
}

void cAfterWrite(void *c, uint32_t address, uint32_t *size)
{
    uint32_t local = size ? *size : 0;
    calListenerOf(c)->afterWrite(address, local);
    if (size)
        *size = local;
}

void cRangeChanged(void *c, uint32_t w, uint32_t x, uint32_t y, uint32_t z)
{
    calListenerOf(c)->rangeChanged(w, x, y, z);
}

void eventThunk(void *context, int code, const void *data, int extra)
{
    static_cast<BasicEcuMediator *>(context)->onEvent(code, data, extra);
}

}  // namespace

BoundEcuMediator::BoundEcuMediator()
{
    table_.context = static_cast<IEcuMediator *>(this);
    table_.ecu = &tEcu;
    table_.portFactory = &tPortFactory;
    table_.eventDelegate = &tEventDelegate;
    table_.reserved4 = &tReserved4;
    table_.isSetupInstalled = &tIsSetupInstalled;
    table_.startTxn = &tStartTxn;
    table_.txnStarted = &tTxnStarted;
    table_.txnFinished = &tTxnFinished;
    table_.removeTxn = &tRemoveTxn;
    table_.message = &tMessage;
    table_.reserved11 = &tReserved11;
    table_.disconnect = &tDisconnect;
    table_.clearText = &tClearText;
    table_.reserved14 = &tReserved14;
    table_.resetRune = &tResetRune;
    table_.reserved16 = &tReserved16;
    table_.confirmEngineRunning = &tConfirmEngineRunning;
    table_.reserved18 = &tReserved18;
    table_.reserved19 = &tReserved19;
    table_.reserved20 = &tReserved20;
    table_.confirmIntLogSetup = &tConfirmIntLogSetup;
    table_.setRune = &tSetRune;
    table_.reserved23 = &tReserved23;
    table_.reserved24 = &tReserved24;
}

BasicEcuMediator::BasicEcuMediator() : ecu_(CORLA_Ecu_Create())
{
    std::memset(&eventDelegate_, 0, sizeof eventDelegate_);
    eventDelegate_ = Delegate{&eventThunk, this, -1, 0};

    // Keyed by the table's context, so a connect through this mediator asks this hook.
    CORLA_Rune_SetOpenDelegate(&BasicEcuMediator::openRune, static_cast<IEcuMediator *>(this));

    const CalListenerTable calTable{static_cast<ICalListener *>(this), &cChanged, &cBeforeWrite, &cAfterWrite,
                                    &cRangeChanged};
    ecu_.addCalListener(calTable);
    const EcuListenerTable ecuTable{static_cast<IEcuListener *>(this),
                                    &eConnectionChanged,
                                    &eRuneChanged,
                                    &eEngineStateChanged,
                                    &eCalibrationChanged,
                                    &eLinkError,
                                    &eDataReceived};
    ecu_.addListener(ecuTable);
}

BasicEcuMediator::~BasicEcuMediator()
{
    // The owner must have ended everything: each aborted transaction reported
    // and the disconnection finished.
    Q_ASSERT(txns_.empty());
    Q_ASSERT(!ecu_.isConnected());

    // The library must never call a dead mediator.
    CORLA_Rune_SetOpenDelegate(nullptr, static_cast<IEcuMediator *>(this));
    abortAll();
    if (!ecu_.isNull()) {
        CORLA_Ecu_RemoveAllDataListenersNonGlobal(ecu_.get());
        CORLA_Ecu_DisconnectAndWait(ecu_.get());
    }
    txns_.clear();
    if (portFactory_) {
        CORLA_PortFactory_Destroy(portFactory_);
        portFactory_ = nullptr;
    }
}

CorlaEcu *BasicEcuMediator::ecu()
{
    return ecu_.get();
}

CorlaPortFactory *BasicEcuMediator::portFactory()
{
    if (!portFactory_)
        selectDefaultPort();
    return portFactory_;
}

Delegate *BasicEcuMediator::eventDelegate()
{
    return &eventDelegate_;
}

void *BasicEcuMediator::reserved4()
{
    return nullptr;
}

bool BasicEcuMediator::isSetupInstalled(uint32_t a, uint32_t b)
{
    return CORLA_Setup_IsInstalled(a, b, 0) != 0;
}

bool BasicEcuMediator::startTxn(const EcuTxn &txn, const Delegate &delegate)
{
    if (CORLA_EcuTxn_Start(txn.get(), table(), &delegate) == 0)
        return false;
    txns_.push_back(txn);
    return true;
}

void BasicEcuMediator::txnStarted(const EcuTxn &)
{ }

void BasicEcuMediator::txnFinished(const EcuTxn &txn, int result)
{
    const bool disconnectNow = result != 0 && txn.isDisconnectOnFail();
    removeTxn(txn);
    if (disconnectNow)
        disconnect();
}

void BasicEcuMediator::removeTxn(const EcuTxn &txn)
{
    txns_.remove(txn);
}

void BasicEcuMediator::message(const char16_t *, int)
{ }

bool BasicEcuMediator::reserved11()
{
    return true;
}

void BasicEcuMediator::disconnect()
{
    abortAll();
    CORLA_Ecu_DisconnectAndWait(ecu_.get());
}

void BasicEcuMediator::clearText(CorlaString *&text)
{
    if (text)
        CORLA_String_Clear(text);
}

bool BasicEcuMediator::resetRune()
{
    if (!ecu_.isNull() && CORLA_ICal_GetRune(ecu_.get())) {
        const Rune empty;
        CORLA_Ecu_SetRune(ecu_.get(), empty.get());
    }
    return true;
}

void BasicEcuMediator::reserved16(uint32_t, uint32_t, uint32_t)
{ }

void BasicEcuMediator::reserved18(uint32_t)
{ }

int BasicEcuMediator::reserved19(uint32_t)
{
    return 16;
}

int BasicEcuMediator::reserved20(uint32_t, uint32_t)
{
    return 16;
}

bool BasicEcuMediator::confirmIntLogSetup()
{
    return isIntLogSetupValid();
}

void BasicEcuMediator::setRune(CorlaRune *rune)
{
    if (ecu_.isNull())
        return;
    const Rune held(rune);
    CORLA_Ecu_SetRune(ecu_.get(), held.get());
}

void BasicEcuMediator::reserved23(uint32_t)
{ }

void *BasicEcuMediator::reserved24()
{
    return nullptr;
}

void BasicEcuMediator::shutdown()
{
    abortAll();
    if (!ecu_.isNull()) {
        CORLA_Ecu_RemoveAllDataListenersNonGlobal(ecu_.get());
        CORLA_Ecu_DisconnectAndWait(ecu_.get());
    }
    txns_.clear();
}

int BasicEcuMediator::loadRune(Rune &out, uint32_t a, uint32_t b)
{
    String path;
    String info;
    out.set(CORLA_Rune_Create());
    int result = 1;
    if (CORLA_Setup_LocateRune(path.get(), a, b, info.get()) != 0)
        result = CORLA_Rune_Load(out.get(), CORLA_String_WCStr(path.get()));
    return result;
}

void BasicEcuMediator::selectDefaultPort()
{
    PortList list;
    list.enumerate(CORLA_ENUM_SORTED | CORLA_ENUM_CONFIGURED_FIRST | CORLA_ENUM_PRESENT_ONLY);  // 0x16
    PortInfo info = PortList::defaultInfo();
    if (list.get(0, info))
        setPort(info.portSource, &info.settings);
    else
        setPort(nullptr, &info.settings);
}

void BasicEcuMediator::setPort(CorlaPortSource *source, const PortSettings *settings)
{
    if (portFactory_) {
        CORLA_PortFactory_Destroy(portFactory_);
        portFactory_ = nullptr;
    }
    if (source)
        portFactory_ = CORLA_PortFactory_Create(source, settings);
}

bool BasicEcuMediator::isIntLogSetupValid()
{
    CorlaIntLogSetup *setup = CORLA_IntLogSetup_Create();
    String error;
    bool valid = false;
    if (CORLA_IntLogSetup_Parse(setup, ecu_.get(), error.get()) == 0 && CORLA_IntLogSetup_GetChannelCount(setup) != 0) {
        // Only the first channel matters to the module.
        if (CorlaIntLogChannel *channel = CORLA_IntLogSetup_GetChannel(setup, 0))
            valid = CORLA_IntLogChannel_IsLogListValid(channel, CORLA_ICal_GetRune(ecu_.get()), 0) != 0;
    }
    CORLA_IntLogSetup_Destroy(setup);
    return valid;
}

void BasicEcuMediator::onEvent(int, const void *, int)
{ }

void BasicEcuMediator::abortAll()
{
    const std::list<EcuTxn> running = txns_;
    for (const EcuTxn &txn : running)
        txn.abort();
}

CorlaRune *BasicEcuMediator::openRune(void *context, uint32_t a, uint32_t b, int *flag)
{
    auto *self = static_cast<BasicEcuMediator *>(static_cast<IEcuMediator *>(context));
    self->identified_ = true;
    self->identifiedModule_ = a;
    self->identifiedFirmware_ = b;
    Rune rune;
    if (self->loadRune(rune, a, b) != 0)
        return nullptr;
    // One reference passes to the library; ours goes when rune goes out of scope.
    CORLA_Rune_AddRef(rune.get());
    if (flag)
        *flag = 1;
    return rune.get();
}

}  // namespace corla
