// Simulator: a top-level window that runs a compiled setup every 10 ms. The
// user ticks keys, switches and CAN inputs; the window shows states, timers,
// LX1 outputs, the LX1 channel grid and the LX2 LEDs. It owns its engine, its
// own copy of the setup's store session and the temporary image file, and is
// destroyed when closed.
#pragma once

#include <QString>
#include <QTemporaryFile>
#include <QWidget>

#include <array>
#include <memory>
#include <vector>

#include "schema.h"
#include "simengine.h"
#include "storecursor.h"

class QTableWidget;
class QTableWidgetItem;
class QTimer;

namespace Ui {
class SimulatorClass;
}

class Simulator : public QWidget
{
    Q_OBJECT

public:
    explicit Simulator(QWidget *parent = nullptr);
    ~Simulator() override;

    // Copies the model's session, fills the tables, loads the timers, reads
    // the image from imageFileName() and starts ticking.
    void start(StoreSession modelSession);

    // Where the image is compiled to; exists from construction on.
    QString imageFileName() const { return m_imageFile.fileName(); }

    Ui::SimulatorClass *form() const { return ui; }
    const kelda::SimEngine &engine() const { return *m_engine; }
    StoreSession session() const { return m_session.get(); }
    QTimer *tickTimer() const { return m_timer; }

    // "Why is this on": which event set or cleared state row r and when; the
    // states that drive LX1 output row r or LED row r now.
    QString stateWhy(int row) const;
    QString outputWhy(int row) const;
    QString ledWhy(int row) const;

public slots:
    void switchChanged(QTableWidgetItem *item);
    void Update();

private:
    void fillTables();
    void fillTable(QTableWidget *table, const QStringList &names, int checkColumns, int textColumns);
    void readInputs();
    void clearPresses();
    void showState();
    void showRows();

    // Shown text and colour of one drawn cell; redrawn only when it changes.
    struct Shown {
        int value = -1;  // -1 = not drawn yet
    };
    void draw(QTableWidget *table, int row, int column, Shown &shown, int value, const QString &text, bool green,
              bool coloured);

    Ui::SimulatorClass *ui = nullptr;
    QTemporaryFile m_imageFile;
    std::unique_ptr<kelda::SimEngine> m_engine;
    kelda::SimInputs m_boxes;
    kelda::UniqueSession m_session;
    QTimer *m_timer = nullptr;

    std::vector<Shown> m_shownStates, m_shownTimers, m_shownOutputs, m_shownLeds, m_shownGrid;
    kelda::SimNames m_names;
};
