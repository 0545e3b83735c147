// The mediator: the system's side of every transaction. The library reaches it
// through a MediatorTable (slots 1 to 24), the RUNE open hook and the event
// Delegate; the owner calls ecu, startTxn, disconnect, setPort and shutdown.
#pragma once

#include <cstdint>
#include <list>

#include "corla.h"
#include "corla_handles.h"

namespace corla {

class IEcuListener
{
public:
    virtual ~IEcuListener() = default;
    virtual void connectionChanged(uint32_t connected) = 0;  // 1
    virtual void runeChanged(uint32_t reserved) = 0;  // 2
    virtual void engineStateChanged(uint32_t running) = 0;  // 3
    virtual void calibrationChanged(uint32_t reserved) = 0;  // 4
    virtual void linkError(uint32_t status) = 0;  // 5
    virtual void dataReceived(uint32_t channel, uint32_t value) = 0;  // 6
};

class ICalListener
{
public:
    virtual ~ICalListener() = default;
    virtual void calChanged(uint32_t reserved) = 0;  // 1
    virtual void beforeWrite(uint32_t address, uint32_t &size) = 0;  // 2
    virtual void afterWrite(uint32_t address, uint32_t &size) = 0;  // 3
    virtual void rangeChanged(uint32_t, uint32_t, uint32_t, uint32_t) = 0;  // 4
};

class IEcuMediator
{
public:
    virtual ~IEcuMediator() = default;
    virtual CorlaEcu *ecu() = 0;  // 1
    virtual CorlaPortFactory *portFactory() = 0;  // 2
    virtual Delegate *eventDelegate() = 0;  // 3
    virtual void *reserved4() = 0;  // 4
    virtual bool isSetupInstalled(uint32_t a, uint32_t b) = 0;  // 5
    virtual bool startTxn(const EcuTxn &txn, const Delegate &delegate) = 0;  // 6
    virtual void txnStarted(const EcuTxn &txn) = 0;  // 7
    virtual void txnFinished(const EcuTxn &txn, int result) = 0;  // 8
    virtual void removeTxn(const EcuTxn &txn) = 0;  // 9
    virtual void message(const char16_t *text, int kind) = 0;  // 10
    virtual bool reserved11() = 0;  // 11
    virtual void disconnect() = 0;  // 12
    virtual void clearText(CorlaString *&text) = 0;  // 13
    virtual void reserved14(uint32_t &value, uint32_t *inout, uint32_t word) = 0;  // 14
    virtual bool resetRune() = 0;  // 15
    virtual void reserved16(uint32_t, uint32_t, uint32_t) = 0;  // 16
    virtual bool confirmEngineRunning() = 0;  // 17
    virtual void reserved18(uint32_t) = 0;  // 18
    virtual int reserved19(uint32_t) = 0;  // 19
    virtual int reserved20(uint32_t, uint32_t) = 0;  // 20
    virtual bool confirmIntLogSetup() = 0;  // 21
    virtual void setRune(CorlaRune *rune) = 0;  // 22
    virtual void reserved23(uint32_t) = 0;  // 23
    virtual void *reserved24() = 0;  // 24
};

// Owns the MediatorTable whose context is this mediator.
class BoundEcuMediator : public IEcuMediator
{
public:
    BoundEcuMediator();
    BoundEcuMediator(const BoundEcuMediator &) = delete;
    BoundEcuMediator &operator=(const BoundEcuMediator &) = delete;

    const MediatorTable *table() const { return &table_; }

private:
    MediatorTable table_;
};

class BasicEcuMediator : public BoundEcuMediator, public ICalListener, public IEcuListener
{
public:
    BasicEcuMediator();
    ~BasicEcuMediator() override;

    CorlaEcu *ecu() override;
    CorlaPortFactory *portFactory() override;
    Delegate *eventDelegate() override;
    void *reserved4() override;
    bool isSetupInstalled(uint32_t a, uint32_t b) override;
    bool startTxn(const EcuTxn &txn, const Delegate &delegate) override;
    void txnStarted(const EcuTxn &txn) override;
    void txnFinished(const EcuTxn &txn, int result) override;
    void removeTxn(const EcuTxn &txn) override;
    void message(const char16_t *text, int kind) override;
    bool reserved11() override;
    void disconnect() override;
    void clearText(CorlaString *&text) override;
    bool resetRune() override;
    void reserved16(uint32_t, uint32_t, uint32_t) override;
    void reserved18(uint32_t) override;
    int reserved19(uint32_t) override;
    int reserved20(uint32_t, uint32_t) override;
    bool confirmIntLogSetup() override;
    void setRune(CorlaRune *rune) override;
    void reserved23(uint32_t) override;
    void *reserved24() override;

    virtual void shutdown();  // 25
    virtual int loadRune(Rune &out, uint32_t a, uint32_t b);  // 26
    virtual void selectDefaultPort();  // 27
    virtual void setPort(CorlaPortSource *source, const PortSettings *settings);  // 28
    virtual bool isIntLogSetupValid();  // 29
    virtual void onEvent(int type, const void *data, int extra);  // 30

    // ICalListener, IEcuListener: the library's notifications need nothing here.
    void calChanged(uint32_t) override { }
    void beforeWrite(uint32_t, uint32_t &) override { }
    void afterWrite(uint32_t, uint32_t &) override { }
    void rangeChanged(uint32_t, uint32_t, uint32_t, uint32_t) override { }
    void connectionChanged(uint32_t) override { }
    void runeChanged(uint32_t) override { }
    void engineStateChanged(uint32_t) override { }
    void calibrationChanged(uint32_t) override { }
    void linkError(uint32_t) override { }
    void dataReceived(uint32_t, uint32_t) override { }

    // For inspection: the running transactions and the factory as it stands
    // (portFactory() would pick a default port first).
    const std::list<EcuTxn> &txns() const { return txns_; }
    // The identity words of the module's last IDENTIFY through this
    // mediator (a: module, b: firmware); false before any.
    bool identity(uint32_t *module, uint32_t *firmware) const
    {
        *module = identifiedModule_;
        *firmware = identifiedFirmware_;
        return identified_;
    }
    CorlaPortFactory *currentPortFactory() const { return portFactory_; }

protected:
    // Aborts every listed transaction; the library may shorten txns_ meanwhile.
    void abortAll();

    Ecu ecu_;
    Delegate eventDelegate_;
    CorlaPortFactory *portFactory_ = nullptr;
    std::list<EcuTxn> txns_;

private:
    bool identified_ = false;
    uint32_t identifiedModule_ = 0;
    uint32_t identifiedFirmware_ = 0;

    static CorlaRune *openRune(void *context, uint32_t a, uint32_t b, int *flag);
};

}  // namespace corla
