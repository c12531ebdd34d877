#pragma once

// Helpers for the Qt view tests. The program runs on Qt's offscreen platform (qt_main.cpp), so
// no display is needed and no window appears.

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "dravik_view.h"
#include "fake_meter.h"
#include "fake_serial.h"

// Readable failure messages for Qt types.
inline void PrintTo(const QRect& r, std::ostream* os) {
    *os << "QRect(" << r.x() << ", " << r.y() << ", " << r.width() << " x " << r.height() << ")";
}
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QSize& s, std::ostream* os) {
    *os << "QSize(" << s.width() << " x " << s.height() << ")";
}

// Limit for anything a test waits for from the event loop: generous, since only a fault
// should ever reach it.
inline constexpr int kEventWaitLimitMs = 10'000;

// What a modal window looked like when it came up.
struct ModalSeen {
    QString type;  // class name
    QString title;
    QString text;  // a message box's text
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QStringList labels;  // texts of a dialog's labels, in creation order
    bool onGuiThread = false;
    bool waitCursor = false;  // the wait cursor was still up
};

// Watches for modal windows (message boxes, the About box) while a test runs code that opens
// them inside a nested event loop, records each and closes it: OK for a message box, the
// default button for a dialog, unless `respond` says otherwise.
class ModalCatcher {
  public:
    using Respond = std::function<void(QWidget*)>;
    explicit ModalCatcher(Respond respond = {});
    ~ModalCatcher();
    ModalCatcher(const ModalCatcher&) = delete;
    ModalCatcher& operator=(const ModalCatcher&) = delete;

    const std::vector<ModalSeen>& Seen() const { return m_seen; }
    // Runs the event loop until `count` modal windows were seen; false after the limit.
    bool WaitFor(std::size_t count);

    static void CloseNormally(QWidget* modal);

  private:
    void Poll();

    Respond m_respond;
    QTimer m_timer;
    QPointer<QWidget> m_current;
    std::vector<ModalSeen> m_seen;
};

// The view's controls, by the names the view gives them.
QPushButton* ExitButton(QWidget& view);
QPushButton* SetButton(QWidget& view, int channel);
QLineEdit* Edit(QWidget& view, int channel);
QLabel* ChannelLabel(QWidget& view, int channel);
QLabel* StatusLabel(QWidget& view);

// The view shown and exposed; fails the test if it does not come up.
void ShowAndWait(QWidget& view);

// The bytes of a set-correction frame as the meter must receive them: AA 04 channel 00 00,
// the factor's four bytes, then zeros.
FakeSerialLayer::Bytes SetFrame(std::uint8_t channel, std::vector<std::uint8_t> factor);
