#include "modulecompare.h"

#include <QTimer>

#include "corlacompare.h"
#include "uploadcalibration.h"

namespace kelda::upload {

bool sameButName(const QByteArray &module, const QByteArray &ours, uint32_t nameAddress, uint16_t nameSize)
{
    if (module.size() != ours.size())
        return false;
    const qsizetype from = std::min<qsizetype>(nameAddress, module.size());
    const qsizetype to = std::min<qsizetype>(qsizetype(nameAddress) + nameSize, module.size());
    return QByteArrayView(module).first(from) == QByteArrayView(ours).first(from)
        && QByteArrayView(module).sliced(to) == QByteArrayView(ours).sliced(to);
}

QString holdsLine(const ModuleContents &contents, const QString &setupName)
{
    switch (contents.result) {
    case ModuleContents::Result::Holds:
        return QStringLiteral("holds ") + setupName;
    case ModuleContents::Result::Differs:
        return QStringLiteral("differs");
    case ModuleContents::Result::Failed:
        break;
    }
    return QStringLiteral("not known: ") + contents.failure;
}

ModuleCompare::~ModuleCompare()
{
    *alive_ = false;
    cancel();
}

void ModuleCompare::cancel()
{
    done_ = nullptr;
    const bool wasRunning = running_;
    running_ = false;
    if (txn_ && wasRunning)
        CORLA_EcuTxn_Abort(txn_->get());
}

void ModuleCompare::start(corla::BasicEcuMediator &mediator, const QByteArray &calName, const QByteArray &image,
                          Done done)
{
    done_ = std::move(done);
    contents_ = ModuleContents();
    running_ = true;
    clock_.start();
    const corla::Ecu ecu(mediator.ecu());
    PreparedUpload prepared = prepareCalibration(ecu, calName, image);
    if (prepared.result != PreparedUpload::Result::Ready) {
        contents_.failure = prepared.result == PreparedUpload::Result::NoRune ? QString::fromLatin1(kNoRuneTitle)
            : prepared.result == PreparedUpload::Result::Incompatible         ? QString::fromLatin1(kIncompatibleTitle)
                                                                              : prepared.detail;
        // Reported from the event loop, as the library's answers are.
        later();
        return;
    }
    const corla::Rune rune = ecu.rune();
    nameAddress_ = rune.calNameAddress();
    nameSize_ = rune.calNameSize();
    cal_ = prepared.cal;
    ours_ = cal_.contents();
    txn_ = std::make_unique<corla::EcuTxn>(CORLA_EcuTxn_CompareCal_Create(cal_.get()));
    if (!mediator.startTxn(*txn_, Delegate{&ModuleCompare::txnDone, this, -1, 0})) {
        contents_.failure = QStringLiteral("the comparison could not be started");
        later();
    }
}

void ModuleCompare::later()
{
    QTimer::singleShot(0, [this, alive = std::weak_ptr<bool>(alive_)] {
        if (const auto a = alive.lock(); a && *a)
            conclude();
    });
}

void ModuleCompare::txnDone(void *context, int code, const void *data, int)
{
    static_cast<ModuleCompare *>(context)->onDone(code, static_cast<const int *>(data));
}

void ModuleCompare::onDone(int code, const int *status)
{
    if (code != kCodeFinished || !status || !running_)
        return;
    if (*status != kStatusOk) {
        contents_.failure = corla::fromWide(CORLA_StatusText(*status));
        conclude();
        return;
    }
    const QByteArray module = cal_.contents();
    contents_.bytesRead = CORLA_EcuTxn_GetBytesRead(txn_->get());
    contents_.empty = module.isEmpty();
    contents_.result = sameButName(module, ours_, nameAddress_, nameSize_) ? ModuleContents::Result::Holds
                                                                           : ModuleContents::Result::Differs;
    const uint32_t imageAt = imageAddress(nameAddress_, nameSize_);
    QByteArray name = module.mid(nameAddress_, nameSize_);
    while (name.endsWith(' ') || name.endsWith('\xFF'))
        name.chop(1);
    contents_.name = name;
    contents_.image = module.size() > qsizetype(imageAt) ? module.mid(imageAt) : QByteArray();
    conclude();
}

void ModuleCompare::conclude()
{
    if (!running_)
        return;
    running_ = false;
    contents_.elapsedMs = clock_.elapsed();
    if (done_)
        done_(contents_);
}

}  // namespace kelda::upload
