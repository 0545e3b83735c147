// QuietMediator: the upload's mediator without questions, for connections
// that never write a calibration (the live view, kelda-cli monitor and
// force). It keeps the library's last log line for the owner's messages and
// answers the engine question with no.
#pragma once

#include <QString>

#include "corla_basicecumediator.h"
#include "corla_handles.h"

namespace kelda::live {

class QuietMediator : public corla::BasicEcuMediator
{
public:
    // lastLog receives every log line; it must outlive the mediator.
    explicit QuietMediator(QString *lastLog) : lastLog_(lastLog) { }
    ~QuietMediator() override
    {
        abortAll();
        CORLA_Ecu_DisconnectAndWait(ecu_.get());
    }
    void message(const char16_t *text, int kind) override
    {
        if (kind == CORLA_MSG_LOG)
            *lastLog_ = corla::fromWide(text);
    }
    void reserved14(uint32_t &, uint32_t *, uint32_t) override { }
    bool confirmEngineRunning() override { return false; }
    bool confirmIntLogSetup() override { return true; }
    void onEvent(int type, const void *data, int) override
    {
        if (type == CORLA_EVENT_MESSAGE && data) {
            const auto *m = static_cast<const CorlaMessage *>(data);
            message(m->text, m->kind);
        }
    }

private:
    QString *lastLog_;
};

}  // namespace kelda::live
