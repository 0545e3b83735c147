// COMPortForm: chooses the COM port used for strategy upload.
#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class COMPortFormClass;
}

class QComboBox;

class COMPortForm : public QDialog
{
    Q_OBJECT

public:
    COMPortForm(QWidget *parent, QString port);
    ~COMPortForm() override;

    QString port() const;
    QComboBox *portCombo() const;

public slots:
    void cancel();

private:
    void fillPorts();
    void selectPort(const QString &name);

    Ui::COMPortFormClass *ui;
};
