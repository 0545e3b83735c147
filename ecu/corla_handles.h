// Handle classes over the corla C interface. Every library object is held by
// exactly one owner that keeps exactly one reference: construction from a
// pointer adds it, destruction removes it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

#include "corla.h"

namespace corla {

// A library text (zero-terminated UTF-16) as a QString; null reads as empty.
QString fromWide(const char16_t *text);

// Holds a RUNE pointer in a library holder without counting it.
class RuneRef
{
public:
    RuneRef();
    explicit RuneRef(CorlaRune *rune);
    RuneRef(const RuneRef &) = delete;
    RuneRef &operator=(const RuneRef &) = delete;
    virtual ~RuneRef();

    virtual void set(CorlaRune *rune);
    CorlaRune *get() const;
    bool isNull() const { return get() == nullptr; }

    QString name() const;
    QString version() const;
    uint32_t calNameAddress() const;  // low 32 bits of the library's 64-bit address
    uint16_t calNameSize() const;

protected:
    CorlaRuneRef *ref_;
};

// One counted RUNE.
class Rune : public RuneRef
{
public:
    Rune();  // a new, empty RUNE
    explicit Rune(CorlaRune *rune);
    Rune(const Rune &other);
    Rune &operator=(const Rune &other);
    ~Rune() override;

    void set(CorlaRune *rune) override;
    // 0 on success, as CORLA_Rune_Load.
    int load(const QString &path);
};

class Cal;

// Holds a calibration (or ECU) pointer in a library holder without counting it.
class ICalRef
{
public:
    ICalRef();
    explicit ICalRef(CorlaICal *ical);
    ICalRef(const ICalRef &) = delete;
    ICalRef &operator=(const ICalRef &) = delete;
    virtual ~ICalRef();

    virtual void set(CorlaICal *ical);
    CorlaICal *get() const;
    bool isNull() const { return get() == nullptr; }

protected:
    CorlaICalRef *ref_;
};

// One counted calibration object (an ECU or a calibration).
class ICal : public ICalRef
{
public:
    ICal() = default;
    explicit ICal(CorlaICal *ical);
    ICal(const ICal &other);
    ICal &operator=(const ICal &other);
    ~ICal() override;

    void set(CorlaICal *ical) override;

    Rune rune() const;  // null RUNE when it has none
    Cal toCal() const;
    // 0 on success, as CORLA_ICal_WriteRawDataEx.
    int writeRawData(uint32_t address, const QByteArray &bytes) const;
    QByteArray readRawData(uint32_t address, uint32_t size) const;
    // Everything an upload would send: bytes 0 up to the highest one written.
    QByteArray contents() const;
    uint32_t crc32() const;
};

class Cal : public ICal
{
public:
    Cal() = default;
    explicit Cal(CorlaCal *cal) : ICal(cal) { }
};

class Ecu : public ICal
{
public:
    Ecu() = default;
    explicit Ecu(CorlaEcu *ecu) : ICal(ecu) { }

    bool isConnected() const;
    ICal calibration() const;
    // Replaces the ECU's calibration with an empty one for its RUNE.
    Cal newCalibration() const;
    // What the module has stored, as it last said (IDENTIFY) or our last
    // commit made it; false when not connected.
    bool storedCalibration(uint32_t *length, uint32_t *crc) const;
    bool addListener(const EcuListenerTable &table) const;
    bool addCalListener(const CalListenerTable &table) const;
};

// One counted transaction; copies share the transaction, each with its own reference.
class EcuTxn
{
public:
    explicit EcuTxn(CorlaEcuTxn *txn = nullptr);
    EcuTxn(const EcuTxn &other);
    EcuTxn &operator=(const EcuTxn &other);
    virtual ~EcuTxn();

    CorlaEcuTxn *get() const { return txn_; }
    bool isNull() const { return txn_ == nullptr; }
    QString name() const;
    bool isDisconnectOnFail() const;
    int status() const;  // -1 until finished
    // An upload's CORLA_HOLDS_… once finished, -1 before and for other kinds.
    int moduleHolds() const;
    void abort() const;

    bool operator==(const EcuTxn &other) const { return txn_ == other.txn_; }

protected:
    void reset(CorlaEcuTxn *txn);

    CorlaEcuTxn *txn_ = nullptr;
};

class EcuTxnConnect : public EcuTxn
{
public:
    EcuTxnConnect();
};

class EcuTxnUploadCal : public EcuTxn
{
public:
    explicit EcuTxnUploadCal(const ICal &cal);
};

// Reads the module's stored calibration into cal.
class EcuTxnReadCal : public EcuTxn
{
public:
    explicit EcuTxnReadCal(const ICal &cal);
};

// The sentence that tells the user what the module holds (CORLA_HOLDS_…).
QString moduleHoldsText(int holds);

// A port list, created on construction and destroyed with the object.
class PortList
{
public:
    PortList();
    PortList(const PortList &) = delete;
    PortList &operator=(const PortList &) = delete;
    ~PortList();

    int enumerate(uint32_t flags);
    int size() const;
    // Fills info (whose settings the caller has preset); false past the end.
    bool get(int index, PortInfo &info) const;
    CorlaPortList *handle() const { return list_; }

    // A record with the default settings: 38400 bit/s, everything else 0.
    static PortInfo defaultInfo();
    // The ports as every dialog lists them: their names, and the index-th one
    // (default settings; no source past the end).
    static QStringList names(uint32_t flags = 0);
    static PortInfo listed(int index, uint32_t flags = 0);
    // The port a user named: the listed one with that name, else an existing
    // path opened directly (a bare name is never taken for one under /dev);
    // no source when neither.
    static PortInfo named(const QString &port);

private:
    CorlaPortList *list_;
};

// A library string, created on construction.
class String
{
public:
    String();
    String(const String &) = delete;
    String &operator=(const String &) = delete;
    ~String();

    CorlaString *get() const { return string_; }
    QString text() const;
    void clear();

private:
    CorlaString *string_;
};

}  // namespace corla
