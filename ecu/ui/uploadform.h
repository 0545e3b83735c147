// UploadForm: connects to the module on the chosen port, checks that it is a
// compatible LX2, writes the setup's name and image into a new calibration and
// uploads it.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QMessageBox>
#include <QString>
#include <QTemporaryFile>

#include <functional>
#include <optional>
#include <memory>

#include "corla_handles.h"
#include "history.h"
#include "modulecompare.h"

namespace Ui {
class UploadFormClass;
}

class EcuMediator;
class QComboBox;
class QLabel;
class QPushButton;
class QGroupBox;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;

class UploadForm : public QDialog
{
    Q_OBJECT

public:
    UploadForm(QWidget *parent, const QString &port, const QByteArray &calName);
    ~UploadForm() override;

    QString imageFileName() const;
    // The combo's text; while the remembered port is missing and none has
    // been picked, the remembered one, so that it is not forgotten.
    QString portName() const;
    // The setup being uploaded, for the history (its path and the SHA-256 of
    // its bytes as they are now).
    void setSetupFile(const QString &path);
    QLineEdit *vehicleEdit() const;  // the history's vehicle tag, remembered

    // Called by the mediator.
    void appendLog(const QString &text);
    void statusMessage(const QString &text);
    void traceMessage(const QString &text);  // frame-level detail: not shown
    void setProgress(double fraction);

    // Every message box and question of the dialog goes through here, so that
    // the main window (and tests) can answer without a modal loop.
    using Asker =
        std::function<QMessageBox::StandardButton(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                                  const QString &text, QMessageBox::StandardButtons buttons)>;
    void setAsker(Asker asker) { asker_ = std::move(asker); }
    // Asks where to save the log (caption, suggested path); empty when the
    // user declines. The default is the platform's file dialog.
    using SaveChooser = std::function<QString(QWidget *parent, const QString &caption, const QString &suggested)>;
    void setSaveChooser(SaveChooser chooser) { saveChooser_ = std::move(chooser); }
    QMessageBox::StandardButton ask(QMessageBox::Icon icon, const QString &title, const QString &text,
                                    QMessageBox::StandardButtons buttons);

    // Before the first byte is written the dialog shows what the upload
    // does and waits for Upload or Cancel: the setup file (and its unsaved
    // changes, with Save), the module and its port, and what will change on
    // the module, item by item. Without it the upload starts on connecting.
    struct Summary {
        QString setupPath;  // empty for a setup never saved
        QString setupName;  // as the "holds …" line names it
        std::function<bool()> modified;
        // Saves the setup; returns its path afterwards (empty when not saved).
        std::function<QString()> save;
        // The differing items' lines for the module's contents.
        std::function<QStringList(const kelda::upload::ModuleContents &)> differences;
    };
    void askFirst(Summary summary);
    // Shown while the dialog waits for Upload: the module's contents compared.
    bool waitingForUpload() const { return waiting_; }
    QGroupBox *summaryBox() const { return summaryBox_; }
    const kelda::upload::ModuleContents &compared() const { return compare_.contents(); }

    // How the upload ended so far.
    enum class Outcome { Running, Complete, NoRune, Incompatible, Failed, Cancelled };
    Outcome outcome() const { return outcome_; }

    EcuMediator *mediator() const { return mediator_.get(); }
    QComboBox *portCombo() const;
    QPlainTextEdit *log() const;
    QProgressBar *progressBar() const;

    // Writes the log as plain text through the project's file writer; a
    // failure is told in a box and leaves any file at path untouched.
    bool saveLog(const QString &path);

public slots:
    void cancel();  // "Cancel" while the upload runs, "Close" once it has ended
    void portChanged(int index);
    void retry();  // after a failure: connect again and upload the same image
    void chooseAndSaveLog();
    void startUpload();  // "Upload" in the summary
    void showDifferences();
    void saveSetup();

protected:
    void done(int result) override;

private:
    void fillPorts();
    void selectPort(const QString &port);
    void connectEcu();
    void onConnectDone(int code, const int *status);
    void uploadCalibration();
    void buildSummary();
    void compareModule();
    void showSummary(const kelda::upload::ModuleContents &contents);
    void updateSetupLine();
    void onUploadDone(int code, const int *status);
    // The upload has ended: the log stays, the buttons say what is left to do.
    void finish(Outcome outcome);
    void updateButtons();
    // Adds this attempt's line to the history, once; Cancelled also for a
    // dialog closed while the upload ran.
    void recordAttempt(Outcome outcome);

    static void connectDone(void *context, int code, const void *data, int extra);
    static void uploadDone(void *context, int code, const void *data, int extra);

    Ui::UploadFormClass *ui;
    QTemporaryFile imageFile_;
    std::unique_ptr<EcuMediator> mediator_;
    std::unique_ptr<corla::EcuTxnConnect> connectTxn_;
    std::unique_ptr<corla::EcuTxnUploadCal> uploadTxn_;
    bool ready_ = false;
    bool reconnect_ = false;
    QByteArray calName_;
    QLineEdit *vehicleEdit_ = nullptr;
    QString missingPort_;  // remembered, not present, and no other picked yet

    Asker asker_;
    SaveChooser saveChooser_;
    bool connectFailed_ = false;  // the last connect failed: Retry is offered while waiting
    Outcome outcome_ = Outcome::Running;
    kelda::history::Entry history_;  // the attempt under way
    bool recorded_ = false;
    QString lastFailure_;  // the attempt's failure as the log said it

    std::optional<Summary> summary_;
    kelda::upload::ModuleCompare compare_;
    bool waiting_ = false;
    bool reconnectFirst_ = false;  // the comparison failed and closed the connection
    bool skipCompare_ = false;  // Upload pressed: the next connect uploads at once
    QGroupBox *summaryBox_ = nullptr;
    QLabel *setupLine_ = nullptr;
    QPushButton *saveSetupButton_ = nullptr;
    QLabel *moduleLine_ = nullptr;
    QLabel *holdsLine_ = nullptr;
    QPushButton *differencesButton_ = nullptr;
    QPlainTextEdit *changes_ = nullptr;
    QPushButton *uploadButton_ = nullptr;
};
