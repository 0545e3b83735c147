#include "ecumediator.h"

#include <QCoreApplication>
#include <QMessageBox>

#include "uploadform.h"

const char EcuMediator::kEngineRunningTitle[] = "Warning";
const char EcuMediator::kEngineRunningText[] =
    "Cannot perform operation when the engine is running.\nPlease stop the engine before continuing.";
const char EcuMediator::kIntLogTitle[] = "Internal Logging Setup Error";
const char EcuMediator::kIntLogText[] =
    "The internal logging setup does not appear to be valid.\n"
    "Once you have downloaded the log, it may not be able to be processed.\nContinue anyway?";

EcuMediator::EcuMediator(UploadForm *owner) : owner_(owner)
{ }

EcuMediator::~EcuMediator()
{
    abortAll();
    CORLA_Ecu_DisconnectAndWait(ecu_.get());
}

void EcuMediator::txnStarted(const corla::EcuTxn &txn)
{
    owner_->appendLog(txn.name());
}

void EcuMediator::message(const char16_t *text, int kind)
{
    switch (kind) {
    case CORLA_MSG_STATUS:
        owner_->statusMessage(corla::fromWide(text));
        break;
    case CORLA_MSG_TRACE:
        owner_->traceMessage(corla::fromWide(text));
        break;
    case CORLA_MSG_LOG:
        owner_->appendLog(corla::fromWide(text));
        break;
    default:
        break;
    }
}

void EcuMediator::reserved14(uint32_t &, uint32_t *, uint32_t)
{ }

bool EcuMediator::confirmEngineRunning()
{
    return owner_->ask(QMessageBox::Warning, QCoreApplication::translate("EcuMediator", kEngineRunningTitle),
                       QCoreApplication::translate("EcuMediator", kEngineRunningText),
                       QMessageBox::Ok | QMessageBox::Cancel)
        == QMessageBox::Ok;
}

bool EcuMediator::confirmIntLogSetup()
{
    if (isIntLogSetupValid())
        return true;
    return owner_->ask(QMessageBox::Question, QCoreApplication::translate("EcuMediator", kIntLogTitle),
                       QCoreApplication::translate("EcuMediator", kIntLogText), QMessageBox::Yes | QMessageBox::No)
        == QMessageBox::Yes;
}

void EcuMediator::selectDefaultPort()
{
    // Every port, in the order the dialog lists them.
    PortInfo info = corla::PortList::listed(0);
    setPort(info.portSource, &info.settings);
}

void EcuMediator::onEvent(int type, const void *data, int)
{
    if (!data)
        return;
    if (type == CORLA_EVENT_PROGRESS) {
        owner_->setProgress(*static_cast<const double *>(data));
    } else if (type == CORLA_EVENT_MESSAGE) {
        const auto *record = static_cast<const CorlaMessage *>(data);
        message(record->text, record->kind);
    }
}

void EcuMediator::reserved31(uint32_t, uint32_t)
{ }
