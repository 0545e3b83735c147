// UploadDriver: the upload dialog's work without a dialog, for kelda-cli. The
// same port choice, mediator, transactions, checks and calibration contents;
// log lines and progress go to callbacks, questions get fixed answers. It also
// reads the module's calibration back, writes such a calibration again and
// compares the module's with a setup's.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

#include "corla_basicecumediator.h"
#include "history.h"
#include "modulecompare.h"

class QEventLoop;

namespace kelda::upload {

class UploadDriver
{
public:
    enum class Task {
        Upload,  // the setup's name and image, as the dialog uploads them
        Restore,  // a calibration read back earlier, written whole
        Read,  // the module's calibration into outputPath
        Verify,  // does the module hold exactly the setup's calibration?
    };

    struct Options {
        Task task = Task::Upload;
        QString port;  // display name as listed, or a device path
        QByteArray calName;  // Upload, Verify: the setup's file name in Latin-1
        QString imagePath;  // Upload, Verify: the compiled raw image's file, or empty for `image`
        QByteArray calibration;  // Restore: what to write from address 0
        // Restore of an exported file: its setup name and image, written as an
        // upload writes them (calibration is then unused).
        bool restoreAsUpload = false;
        QByteArray image;  // also Upload, Verify without imagePath: the compiled raw image
        // Read: the file to write. Upload, Restore: when set, the module's
        // calibration is read into it before anything is written.
        QString outputPath;
        bool intLogSetupOk = false;  // answer to "internal logging setup not valid": go on?
        int timeoutSeconds = 0;  // 0: no limit beyond the library's own; at most kMaxTimeoutSeconds
        // The history (Upload, Restore, Read and the backup; never Verify):
        // the file it names for an upload or restore (the setup, the
        // calibration file), the vehicle tag, and who ran it.
        QString historyFile;
        QString vehicle;
        QString via = QStringLiteral("kelda-cli");
        // Upload, Verify: first compare the module's calibration with the
        // setup's by content (name field left out) and report it through
        // onCompared before anything is written. Verify then succeeds when
        // the module holds the setup, whatever its name field says.
        bool compareFirst = false;
    };
    // The longest run time a timer can measure (its milliseconds are an int).
    static constexpr int kMaxTimeoutSeconds = 2147483;

    explicit UploadDriver(Options options);
    ~UploadDriver();

    std::function<void(const QString &)> onLog;  // one line per library message
    std::function<void(double)> onProgress;  // fraction 0..1
    std::function<void(const ModuleContents &)> onCompared;  // compareFirst: the result

    // The connected module as the user knows it: "LX2 30v00 (module 0x4C32,
    // firmware 0x3005)"; empty before it answered.
    QString moduleIdentity() const;

    // Runs until the task has ended; true on success ("Upload Complete", the
    // file written, or the module holding the setup's calibration).
    bool run();
    QString failure() const { return failure_; }  // why run() returned false
    // Verify: the module answered and holds something else (not a failure to ask).
    bool differs() const { return differs_; }

    // Display names of the ports the dialog would list, in its order.
    static QStringList portNames();

private:
    class Mediator;
    friend class Mediator;

    bool runTask();
    bool writesModule() const;  // Upload, Restore
    void record(kelda::history::Entry entry);  // appends; a failure is only logged
    void log(const QString &text);
    void finish(bool ok, const QString &why);
    void onConnectDone(int code, const int *status);
    void onReadDone(int code, const int *status);
    void onUploadDone(int code, const int *status);
    void startRead();
    void compareRead(int status);  // Verify: the module's bytes against expected_
    void startWrite();
    void verify();
    void compareFirst();
    void afterCompare(const ModuleContents &contents);
    void continueTask();
    QString uploadFailure(int status, int holds) const;
    static void connectDone(void *context, int code, const void *data, int extra);
    static void readDone(void *context, int code, const void *data, int extra);
    static void uploadDone(void *context, int code, const void *data, int extra);

    Options options_;
    std::unique_ptr<Mediator> mediator_;
    std::unique_ptr<corla::EcuTxnConnect> connectTxn_;
    std::unique_ptr<corla::EcuTxnReadCal> readTxn_;
    std::unique_ptr<corla::EcuTxnUploadCal> uploadTxn_;
    corla::Cal readCal_;
    QByteArray expected_;  // Verify: the calibration an upload of the setup stores
    uint32_t expectedCrc_ = 0;
    QEventLoop *loop_ = nullptr;
    bool done_ = false;
    bool ok_ = false;
    bool differs_ = false;
    bool engineRunning_ = false;
    QString failure_;
    kelda::history::Entry history_;  // this run's entry, filled in as it goes
    std::unique_ptr<ModuleCompare> compare_;
    bool compared_ = false;  // compareFirst has run: a reconnection goes straight on
};

}  // namespace kelda::upload
