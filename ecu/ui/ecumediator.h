// EcuMediator: routes the library's messages, progress and questions of a
// transaction to the upload dialog that owns it.
#pragma once

#include "corla_basicecumediator.h"

class UploadForm;

class EcuMediator : public corla::BasicEcuMediator
{
public:
    explicit EcuMediator(UploadForm *owner);
    ~EcuMediator() override;

    void txnStarted(const corla::EcuTxn &txn) override;  // 7
    void message(const char16_t *text, int kind) override;  // 10
    void reserved14(uint32_t &value, uint32_t *inout, uint32_t word) override;  // 14
    bool confirmEngineRunning() override;  // 17
    bool confirmIntLogSetup() override;  // 21
    void selectDefaultPort() override;  // 27
    void onEvent(int type, const void *data, int extra) override;  // 30
    virtual void reserved31(uint32_t, uint32_t);  // 31

    static const char kEngineRunningTitle[];
    static const char kEngineRunningText[];
    static const char kIntLogTitle[];
    static const char kIntLogText[];

private:
    UploadForm *owner_;
};
