// UploadDriver: the upload dialog's work without a dialog, for kelda-cli. The
// same port choice, mediator, transactions, checks and calibration contents;
// log lines and progress go to callbacks, questions get fixed answers.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "corla_basicecumediator.h"

class QEventLoop;

namespace kelda::upload {

class UploadDriver
{
public:
    struct Options {
        QString port;             // display name as listed, or a device path
        QByteArray calName;       // the setup's file name in Latin-1
        QString imagePath;        // the compiled raw image
        bool engineRunningOk = false;  // answer to "engine is running": go on?
        bool intLogSetupOk = false;    // answer to "internal logging setup not valid": go on?
        int timeoutSeconds = 0;   // 0: no limit beyond the library's own
    };

    explicit UploadDriver(Options options);
    ~UploadDriver();

    std::function<void(const QString &)> onLog;     // one line per library message
    std::function<void(double)> onProgress;         // fraction 0..1

    // Runs until the upload has ended; true only after "Upload Complete".
    bool run();
    QString failure() const { return failure_; }    // why run() returned false

    // Display names of the ports the dialog would list, in its order.
    static QStringList portNames();

private:
    class Mediator;
    friend class Mediator;

    void log(const QString &text);
    void finish(bool ok, const QString &why);
    void onConnectDone(int code, const int *status);
    void onUploadDone(int code, const int *status);
    static void connectDone(void *context, int code, const void *data, int extra);
    static void uploadDone(void *context, int code, const void *data, int extra);

    Options options_;
    std::unique_ptr<Mediator> mediator_;
    std::unique_ptr<corla::EcuTxnConnect> connectTxn_;
    std::unique_ptr<corla::EcuTxnUploadCal> uploadTxn_;
    QEventLoop *loop_ = nullptr;
    bool done_ = false;
    bool ok_ = false;
    QString failure_;
};

} // namespace kelda::upload
