// The Qt application every view test runs in, and the shared helpers.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <QThread>
#include <algorithm>

#include "qtview_support.h"

namespace {

// One QApplication for the whole run, on the offscreen platform unless the caller chose
// another (QT_QPA_PLATFORM=xcb under Xvfb to watch the tests).
class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        m_app = std::make_unique<QApplication>(m_argc, m_argv.data());
    }
    void TearDown() override { m_app.reset(); }

  private:
    int m_argc = 1;
    std::string m_name = "qtview_test";
    std::array<char*, 2> m_argv{m_name.data(), nullptr};
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] ::testing::Environment* const g_qt =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

ModalCatcher::ModalCatcher(Respond respond)
    : m_respond(respond ? std::move(respond) : Respond(&ModalCatcher::CloseNormally)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
    m_timer.start(5);
}

ModalCatcher::~ModalCatcher() {
    m_timer.stop();
}

bool ModalCatcher::WaitFor(std::size_t count) {
    return QTest::qWaitFor([&] { return m_seen.size() >= count; }, kEventWaitLimitMs);
}

void ModalCatcher::CloseNormally(QWidget* modal) {
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
            ok->click();
        } else {
            box->reject();
        }
        return;
    }
    for (QPushButton* button : modal->findChildren<QPushButton*>()) {
        if (button->isDefault()) {
            button->click();
            return;
        }
    }
    if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
}

void ModalCatcher::Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible() || modal == m_current) return;
    m_current = modal;
    ModalSeen seen;
    seen.type = QString::fromLatin1(modal->metaObject()->className());
    seen.title = modal->windowTitle();
    seen.onGuiThread = modal->thread() == QApplication::instance()->thread();
    const QCursor* cursor = QApplication::overrideCursor();
    seen.waitCursor = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        seen.text = box->text();
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
    } else {
        for (QLabel* label : modal->findChildren<QLabel*>())
            seen.labels << label->text();
    }
    m_seen.push_back(seen);
    m_respond(modal);
}

namespace {

template <typename T>
T* Named(QWidget& view, const QString& name) {
    T* child = view.findChild<T*>(name);
    EXPECT_NE(child, nullptr) << "no control named " << name.toStdString();
    return child;
}

}  // namespace

QPushButton* ExitButton(QWidget& view) {
    return Named<QPushButton>(view, QStringLiteral("exit"));
}
QPushButton* SetButton(QWidget& view, int channel) {
    return Named<QPushButton>(view, QStringLiteral("set%1").arg(channel));
}
QLineEdit* Edit(QWidget& view, int channel) {
    return Named<QLineEdit>(view, QStringLiteral("edit%1").arg(channel));
}
QLabel* ChannelLabel(QWidget& view, int channel) {
    return Named<QLabel>(view, QStringLiteral("label%1").arg(channel));
}
QLabel* StatusLabel(QWidget& view) {
    return Named<QLabel>(view, QStringLiteral("status"));
}

void ShowAndWait(QWidget& view) {
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view, kEventWaitLimitMs));
}

FakeSerialLayer::Bytes SetFrame(std::uint8_t channel, std::vector<std::uint8_t> factor) {
    FakeSerialLayer::Bytes frame(40, 0);
    frame[0] = 0xAA;
    frame[1] = 0x04;
    frame[2] = channel;
    std::copy(factor.begin(), factor.end(), frame.begin() + 5);
    return frame;
}
