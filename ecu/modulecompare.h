// ModuleCompare: does the connected module hold the setup? Decided by
// content: the module's calibration against the one an upload of the setup
// would store, the name field left out, so that a renamed or never saved copy
// of the same setup still holds. The library compares block sums first and
// reads only the blocks that differ, so a module that holds the setup costs
// one SUMS round trip. The upload dialog, kelda-cli and the live view share it.
//
// What this assumes of the module's firmware (also in docs/uploading.md):
//
//   assumption                                          | relied on for
//   ----------------------------------------------------+------------------------------------
//   the firmware does not act on the name field         | a renamed or never-saved copy holds
//   the stored calibration is 0xFF, the name field and  | the image is everything behind the
//   the image at the RUNE's addresses, nothing behind   | name field
//   blocks with the same CRC-32 hold the same bytes     | only differing blocks are read
//   (the whole is checked against the stored CRC-32)    |
//   while KELDA holds the port, the stored calibration  | the upload after the comparison, on
//   changes only by a COMMIT; IDENTIFY reports its      | the same connection, starts from what
//   length and CRC-32 as they are at that moment        | the comparison put together
//   a module answering SUMS starts BEGIN from its       | that upload writes only the bytes
//   stored calibration, takes WRITEs anywhere           | that differ
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

#include "corla_basicecumediator.h"
#include "corla_handles.h"

namespace kelda::upload {

struct ModuleContents {
    enum class Result {
        Holds,  // the same image; the name field may differ
        Differs,  // another image (or none: see empty)
        Failed,  // not compared: see failure
    };
    Result result = Result::Failed;
    QString failure;  // Failed: why, for the user
    bool empty = false;  // Differs: the module holds no calibration
    QByteArray name;  // the module's name field, trailing spaces and fill dropped
    QByteArray image;  // the module's bytes behind the name field
    int bytesRead = -1;  // READ bytes the compare needed (0 when every block agreed)
    qint64 elapsedMs = -1;  // from start to result
};

// The judgement on whole calibrations: equal, but for the name field.
bool sameButName(const QByteArray &module, const QByteArray &ours, uint32_t nameAddress, uint16_t nameSize);

// "holds utility-truck.kelda", "differs", or why it is not known.
QString holdsLine(const ModuleContents &contents, const QString &setupName);

class ModuleCompare
{
public:
    using Done = std::function<void(const ModuleContents &)>;

    ModuleCompare() = default;
    ModuleCompare(const ModuleCompare &) = delete;
    ModuleCompare &operator=(const ModuleCompare &) = delete;
    ~ModuleCompare();

    // Starts on the mediator's connected module with the setup's name and
    // compiled image; done is called once, from the event loop, also when
    // nothing could be started. The mediator must outlive the compare.
    void start(corla::BasicEcuMediator &mediator, const QByteArray &calName, const QByteArray &image, Done done);
    bool running() const { return running_; }
    // Stops a comparison under way; done is not called any more.
    void cancel();
    const ModuleContents &contents() const { return contents_; }

private:
    static void txnDone(void *context, int code, const void *data, int extra);
    void onDone(int code, const int *status);
    void conclude();
    void later();  // conclude from the event loop, unless destroyed first

    corla::Cal cal_;
    std::unique_ptr<corla::EcuTxn> txn_;
    QByteArray ours_;
    uint32_t nameAddress_ = 0;
    uint16_t nameSize_ = 0;
    Done done_;
    bool running_ = false;
    QElapsedTimer clock_;
    ModuleContents contents_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kelda::upload
