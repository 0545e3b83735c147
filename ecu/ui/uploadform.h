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
#include <memory>

#include "corla_handles.h"

namespace Ui {
class UploadFormClass;
}

class EcuMediator;
class QComboBox;
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
    QMessageBox::StandardButton ask(QMessageBox::Icon icon, const QString &title, const QString &text,
                                    QMessageBox::StandardButtons buttons);

    // How the upload ended so far.
    enum class Outcome { Running, Complete, NoRune, Incompatible, Failed, Cancelled };
    Outcome outcome() const { return outcome_; }

    EcuMediator *mediator() const { return mediator_.get(); }
    QComboBox *portCombo() const;
    QPlainTextEdit *log() const;
    QProgressBar *progressBar() const;

public slots:
    void cancel();
    void portChanged(int index);

private:
    void fillPorts();
    void selectPort(const QString &port);
    void connectEcu();
    void onConnectDone(int code, const int *status);
    void uploadCalibration();
    void onUploadDone(int code, const int *status);

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
    QString missingPort_;  // remembered, not present, and no other picked yet

    Asker asker_;
    Outcome outcome_ = Outcome::Running;
};
