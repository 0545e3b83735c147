#include "corla_handles.h"

#include <QFileInfo>

#include <QtGlobal>

namespace corla {

QString fromWide(const char16_t *text)
{
    return text ? QString::fromUtf16(text) : QString();
}

// ---- RuneRef / Rune ----------------------------------------------------

RuneRef::RuneRef() : ref_(CORLA_RuneRef_Create())
{ }

RuneRef::RuneRef(CorlaRune *rune) : RuneRef()
{
    CORLA_RuneRef_Set(ref_, rune);
}

RuneRef::~RuneRef()
{
    CORLA_RuneRef_Destroy(ref_);
}

void RuneRef::set(CorlaRune *rune)
{
    CORLA_RuneRef_Set(ref_, rune);
}

CorlaRune *RuneRef::get() const
{
    return CORLA_RuneRef_Get(ref_);
}

QString RuneRef::name() const
{
    return isNull() ? QString() : fromWide(CORLA_Rune_GetName(get()));
}

QString RuneRef::version() const
{
    return isNull() ? QString() : fromWide(CORLA_Rune_GetVersion(get()));
}

uint32_t RuneRef::calNameAddress() const
{
    return isNull() ? 0 : static_cast<uint32_t>(CORLA_Rune_GetCalNameCC(get()) & 0xFFFFFFFFu);
}

uint16_t RuneRef::calNameSize() const
{
    return isNull() ? 0 : CORLA_Rune_GetCalNameSize(get());
}

Rune::Rune() : Rune(CORLA_Rune_Create())
{ }

Rune::Rune(CorlaRune *rune)
{
    CORLA_RuneRef_Set(ref_, rune);
    if (rune)
        CORLA_Rune_AddRef(rune);
}

Rune::Rune(const Rune &other) : Rune(other.get())
{ }

Rune &Rune::operator=(const Rune &other)
{
    set(other.get());
    return *this;
}

Rune::~Rune()
{
    if (CorlaRune *rune = get()) {
        [[maybe_unused]] const int left = CORLA_Rune_RemRef(rune);
        Q_ASSERT(left >= 0);
    }
}

void Rune::set(CorlaRune *rune)
{
    CorlaRune *old = get();
    if (rune == old)
        return;
    // Take the new reference first: old and new may share an owner.
    if (rune)
        CORLA_Rune_AddRef(rune);
    CORLA_RuneRef_Set(ref_, rune);
    if (old)
        CORLA_Rune_RemRef(old);
}

int Rune::load(const QString &path)
{
    if (isNull())
        return 1;
    return CORLA_Rune_Load(get(), reinterpret_cast<const char16_t *>(path.utf16()));
}

// ---- ICalRef / ICal / Cal / Ecu ----------------------------------------

ICalRef::ICalRef() : ref_(CORLA_ICalRef_Create())
{ }

ICalRef::ICalRef(CorlaICal *ical) : ICalRef()
{
    CORLA_ICalRef_Set(ref_, ical);
}

ICalRef::~ICalRef()
{
    CORLA_ICalRef_Destroy(ref_);
}

void ICalRef::set(CorlaICal *ical)
{
    CORLA_ICalRef_Set(ref_, ical);
}

CorlaICal *ICalRef::get() const
{
    return CORLA_ICalRef_Get(ref_);
}

ICal::ICal(CorlaICal *ical)
{
    CORLA_ICalRef_Set(ref_, ical);
    if (ical)
        CORLA_ICal_AddRef(ical);
}

ICal::ICal(const ICal &other) : ICal(other.get())
{ }

ICal &ICal::operator=(const ICal &other)
{
    set(other.get());
    return *this;
}

ICal::~ICal()
{
    if (CorlaICal *ical = get()) {
        [[maybe_unused]] const int left = CORLA_ICal_RemRef(ical);
        Q_ASSERT(left >= 0);
    }
}

void ICal::set(CorlaICal *ical)
{
    CorlaICal *old = get();
    if (ical == old)
        return;
    if (ical)
        CORLA_ICal_AddRef(ical);
    CORLA_ICalRef_Set(ref_, ical);
    if (old)
        CORLA_ICal_RemRef(old);
}

Rune ICal::rune() const
{
    return Rune(isNull() ? nullptr : CORLA_ICal_GetRune(get()));
}

Cal ICal::toCal() const
{
    return Cal(isNull() ? nullptr : CORLA_ICal_ToCal(get()));
}

int ICal::writeRawData(uint32_t address, const QByteArray &bytes) const
{
    if (isNull())
        return -1;
    uint64_t end = 0;
    return CORLA_ICal_WriteRawDataEx(get(), address, static_cast<uint32_t>(bytes.size()), bytes.constData(), 0, 0,
                                     &end);
}

QByteArray ICal::readRawData(uint32_t address, uint32_t size) const
{
    QByteArray bytes(static_cast<qsizetype>(size), '\0');
    if (isNull() || CORLA_ICal_ReadRawData(get(), address, size, bytes.data()) != 0)
        return QByteArray();
    return bytes;
}

QByteArray ICal::contents() const
{
    return isNull() ? QByteArray() : readRawData(0, CORLA_ICal_GetDataEnd(get()));
}

uint32_t ICal::crc32() const
{
    return isNull() ? 0 : CORLA_ICal_GetCrc32(get());
}

bool Ecu::storedCalibration(uint32_t *length, uint32_t *crc) const
{
    return !isNull() && CORLA_Ecu_GetStoredCalibration(get(), length, crc) != 0;
}

bool Ecu::isConnected() const
{
    return !isNull() && CORLA_Ecu_IsConnected(get()) != 0;
}

ICal Ecu::calibration() const
{
    return ICal(isNull() ? nullptr : CORLA_Ecu_GetCalibration(get()));
}

Cal Ecu::newCalibration() const
{
    return Cal(isNull() ? nullptr : CORLA_Ecu_NewCalibration(get()));
}

bool Ecu::addListener(const EcuListenerTable &table) const
{
    return !isNull() && CORLA_Ecu_AddListener(get(), &table) != 0;
}

bool Ecu::addCalListener(const CalListenerTable &table) const
{
    return !isNull() && CORLA_ICal_AddListener(get(), &table) != 0;
}

// ---- transactions ------------------------------------------------------

EcuTxn::EcuTxn(CorlaEcuTxn *txn)
{
    reset(txn);
}

EcuTxn::EcuTxn(const EcuTxn &other)
{
    reset(other.txn_);
}

EcuTxn &EcuTxn::operator=(const EcuTxn &other)
{
    reset(other.txn_);
    return *this;
}

EcuTxn::~EcuTxn()
{
    if (txn_) {
        [[maybe_unused]] const int left = CORLA_EcuTxn_RemRef(txn_);
        Q_ASSERT(left >= 0);
    }
}

void EcuTxn::reset(CorlaEcuTxn *txn)
{
    if (txn == txn_)
        return;
    if (txn)
        CORLA_EcuTxn_AddRef(txn);
    CorlaEcuTxn *old = txn_;
    txn_ = txn;
    if (old)
        CORLA_EcuTxn_RemRef(old);
}

QString EcuTxn::name() const
{
    return txn_ ? fromWide(CORLA_EcuTxn_GetName(txn_)) : QString();
}

bool EcuTxn::isDisconnectOnFail() const
{
    return txn_ && CORLA_EcuTxn_IsDisconnectOnFail(txn_) != 0;
}

int EcuTxn::status() const
{
    return txn_ ? CORLA_EcuTxn_GetStatus(txn_) : -1;
}

int EcuTxn::moduleHolds() const
{
    return txn_ ? CORLA_EcuTxn_GetModuleHolds(txn_) : -1;
}

void EcuTxn::abort() const
{
    if (txn_)
        CORLA_EcuTxn_Abort(txn_);
}

EcuTxnConnect::EcuTxnConnect() : EcuTxn(CORLA_EcuTxn_Connect_Create())
{ }

EcuTxnUploadCal::EcuTxnUploadCal(const ICal &cal) : EcuTxn(CORLA_EcuTxn_UploadCal_Create(cal.get()))
{ }

EcuTxnReadCal::EcuTxnReadCal(const ICal &cal) : EcuTxn(CORLA_EcuTxn_ReadCal_Create(cal.get()))
{ }

QString moduleHoldsText(int holds)
{
    return fromWide(CORLA_ModuleHoldsText(holds));
}

// ---- ports and strings -------------------------------------------------

PortList::PortList() : list_(CORLA_PortList_Create())
{ }

PortList::~PortList()
{
    CORLA_PortList_Destroy(list_);
}

int PortList::enumerate(uint32_t flags)
{
    return CORLA_EnumPorts(list_, flags);
}

int PortList::size() const
{
    return CORLA_PortList_Size(list_);
}

bool PortList::get(int index, PortInfo &info) const
{
    return CORLA_PortList_Get(list_, index, &info) != 0;
}

PortInfo PortList::defaultInfo()
{
    PortInfo info{};
    info.settings.baudRate = 38400;
    return info;
}

QStringList PortList::names(uint32_t flags)
{
    PortList list;
    list.enumerate(flags);
    QStringList out;
    for (int index = 0; index < list.size(); ++index) {
        PortInfo info = defaultInfo();
        list.get(index, info);
        out << fromWide(info.displayName);
    }
    return out;
}

PortInfo PortList::listed(int index, uint32_t flags)
{
    PortList list;
    list.enumerate(flags);
    PortInfo info = defaultInfo();
    list.get(index, info);  // past the end: no source
    return info;
}

PortInfo PortList::named(const QString &port)
{
    PortList list;
    list.enumerate(0);
    for (int index = 0; index < list.size(); ++index) {
        PortInfo entry = defaultInfo();
        if (list.get(index, entry) && entry.portSource && fromWide(entry.displayName) == port)
            return entry;
    }
    PortInfo info = defaultInfo();
    if (!port.isEmpty() && QFileInfo::exists(port))
        info.portSource = CORLA_PortSource_FromPath(reinterpret_cast<const char16_t *>(port.utf16()));
    return info;
}

String::String() : string_(CORLA_String_Create())
{ }

String::~String()
{
    CORLA_String_Destroy(string_);
}

QString String::text() const
{
    return fromWide(CORLA_String_WCStr(string_));
}

void String::clear()
{
    CORLA_String_Clear(string_);
}

}  // namespace corla
