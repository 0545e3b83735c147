// SimPanel: the module as the driver sees it. The keypad keys as keys in a
// grid of five columns, the switches as toggles, the LX2 LEDs and the
// channels of each LX1 module as lamps, the CAN outputs as chips. Keys are
// held with the mouse or Space on the focused key; switches toggle with a
// click or Space. Every key, switch, lamp and chip has its item's name as its
// accessible name. The panel knows nothing of the engine: its owner feeds it
// names and outputs and listens to its keys and switches, so a window that
// shows a real module can use it as the simulator does.
#pragma once

#include <QAbstractButton>
#include <QStringList>
#include <QWidget>

#include <array>
#include <cstdint>
#include <vector>

class QGridLayout;
class QMenu;
class QPushButton;

// A round lamp (or, as a chip, a rounded box) with its name beside or in it.
class SimLamp : public QWidget
{
    Q_OBJECT

public:
    enum class Shape { Lamp, Chip };
    SimLamp(const QString &name, Shape shape, QWidget *parent = nullptr);

    bool isOn() const { return m_on; }
    void setOn(bool on);
    QString name() const { return m_name; }
    // A lamp in a labelled grid shows no name of its own.
    void setNameShown(bool shown);
    // A ring around the lamp (none when invalid): the live view's marks.
    void setRing(const QColor &colour);
    QColor ring() const { return m_ring; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_name;
    Shape m_shape;
    bool m_on = false;
    bool m_nameShown = true;
    QColor m_ring;
};

class SimPanel : public QWidget
{
    Q_OBJECT

public:
    explicit SimPanel(QWidget *parent = nullptr);

    // The parts a window showing a live module marks and forces; a channel's
    // row is module * 8 + channel.
    enum class Part { Key, Switch, Led, Channel, CanOutput };
    enum class ForceAction { On, Off, Release };

    // Builds one key per name, one switch per name, a lamp for each of the
    // first 32 LEDs and for the 8 channels of each LX1 module, a chip per
    // CAN output. Everything released and off.
    void setItems(const QStringList &keys, const QStringList &switches, const QStringList &leds,
                  const QStringList &canOutputs);

    // What the panel shows, without signalling: a key held or a switch on
    // from elsewhere (the window's tick boxes), the outputs now.
    void showKeyHeld(int row, bool held);
    void showSwitch(int row, bool on);
    void showLeds(uint32_t mask);
    void showLx1Module(int module, uint8_t channels);
    void showCanOutput(int row, bool on);

    int keyCount() const { return static_cast<int>(m_keys.size()); }
    QAbstractButton *key(int row) const { return m_keys.at(size_t(row)); }
    QAbstractButton *switchButton(int row) const { return m_switches.at(size_t(row)); }
    SimLamp *led(int row) const { return m_leds.at(size_t(row)); }
    SimLamp *channel(int module, int channel) const { return m_channels.at(size_t(module * 8 + channel)); }
    SimLamp *canOutput(int row) const { return m_canOutputs.at(size_t(row)); }

    // Additions for a window that shows a module rather than drives one.
    // Off by default: a right-click offers "Force On", "Force Off" and
    // "Release" (forceRequested) on the parts made forceable.
    void setForceable(Part part, bool forceable);
    // The menu a right-click on the item shows; the caller owns it.
    QMenu *forceMenu(Part part, int row, QWidget *parent);
    // Without clicks, keys and switches ignore the mouse's buttons and Space:
    // they only show (the right-click menu still opens).
    void setClickable(bool clickable);
    // Marks an item: forced (an orange ring, kept), changed and back since
    // the last look (a blue ring), or neither.
    enum class Mark { None, Forced, Latched };
    void setMark(Part part, int row, Mark mark);
    Mark mark(Part part, int row) const;
    // The item's widget; nullptr outside the panel.
    QWidget *partWidget(Part part, int row) const;

signals:
    void keyChanged(int row, bool held);
    void switchChanged(int row, bool on);
    void forceRequested(SimPanel::Part part, int row, SimPanel::ForceAction action);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void clear();
    void offerMenu(QWidget *widget, Part part, int row);

    QGridLayout *m_keyGrid, *m_switchGrid, *m_ledGrid, *m_chipGrid;
    std::vector<QAbstractButton *> m_keys, m_switches;
    std::vector<SimLamp *> m_leds, m_channels, m_canOutputs;
    uint32_t m_ledMask = 0;
    std::array<uint8_t, 8> m_lx1{};
    unsigned m_forceable = 0;  // bit per Part
    bool m_clickable = true;
};
