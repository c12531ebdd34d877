// The keys of a Windows dialog: Enter closes it (OK) unless a push button has the focus, which
// Enter then presses; Esc, EXIT and the close box close it (Cancel); a SET click never does.

#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include "qtview_support.h"

namespace {

class Keys : public ::testing::Test {
  protected:
    Keys() : view(layer, [this](std::vector<PortInfo>&) { ++listings; }) {}

    void SetUp() override {
        ShowAndWait(view);
        view.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view, kEventWaitLimitMs));
    }

    FakeSerialLayer layer;
    int listings = 0;
    CDravikView view;
};

TEST_F(Keys, EnterInAnyEditBoxClosesWithOk) {
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
        for (int k = 0; k < kChannelCount; ++k) {
            SCOPED_TRACE(testing::Message() << "edit " << k << " key " << key);
            ShowAndWait(view);
            view.setResult(-1);
            Edit(view, k)->setFocus();
            QTest::keyClicks(Edit(view, k), QStringLiteral("1.5"));
            QTest::keyClick(Edit(view, k), key);
            EXPECT_FALSE(view.isVisible());
            EXPECT_EQ(view.result(), QDialog::Accepted);
            EXPECT_EQ(listings, 0) << "Enter must not press a SET button";
        }
    }
}

TEST_F(Keys, EnterOnAFocusedButtonPressesItInstead) {
    ModalCatcher catcher;  // the no-meter message a SET press ends in
    for (int k = 0; k < kChannelCount; ++k) {
        SCOPED_TRACE(k);
        QSignalSpy clicked(SetButton(view, k), &QPushButton::clicked);
        SetButton(view, k)->setFocus();
        QTest::keyClick(SetButton(view, k), Qt::Key_Return);
        EXPECT_EQ(clicked.count(), 1);
        EXPECT_EQ(listings, k + 1) << "the press ran the SET handler";
        EXPECT_TRUE(view.isVisible()) << "Enter on SET closed the dialog";
    }
    EXPECT_EQ(catcher.Seen().size(), 4u);

    view.setResult(-1);
    ExitButton(view)->setFocus();
    QTest::keyClick(ExitButton(view), Qt::Key_Return);
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(view.result(), QDialog::Rejected) << "Enter on EXIT presses EXIT: Cancel";
}

TEST_F(Keys, EscExitAndCloseBoxCloseWithCancel) {
    const std::vector<std::pair<const char*, std::function<void()>>> ways = {
        {"Esc in an edit box", [&] { QTest::keyClick(Edit(view, 2), Qt::Key_Escape); }},
        {"Esc on EXIT", [&] { QTest::keyClick(ExitButton(view), Qt::Key_Escape); }},
        {"EXIT clicked", [&] { QTest::mouseClick(ExitButton(view), Qt::LeftButton); }},
        {"close box", [&] { view.close(); }},
    };
    for (const auto& [way, close] : ways) {
        SCOPED_TRACE(way);
        ShowAndWait(view);
        view.setResult(-1);
        close();
        EXPECT_FALSE(view.isVisible());
        EXPECT_EQ(view.result(), QDialog::Rejected);
    }
}

TEST_F(Keys, SetClickLeavesTheDialogOpen) {
    ModalCatcher catcher;
    view.setResult(-1);
    QTest::mouseClick(SetButton(view, 0), Qt::LeftButton);
    ASSERT_EQ(catcher.Seen().size(), 1u);
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(view.result(), -1);
}

TEST_F(Keys, ModalRunEndsWithTheKeyThatClosedIt) {
    // As the application runs it: exec() returns once the dialog closes.
    const std::vector<std::pair<Qt::Key, int>> cases = {{Qt::Key_Return, QDialog::Accepted},
                                                        {Qt::Key_Escape, QDialog::Rejected}};
    for (const auto& [key, expected] : cases) {
        SCOPED_TRACE(key);
        QTimer::singleShot(0, &view, [&, k = key] {
            Edit(view, 0)->setFocus();
            QTest::keyClick(Edit(view, 0), k);
        });
        // Only reached when the key failed to close the dialog.
        QTimer::singleShot(kEventWaitLimitMs, &view, [&] { view.done(-2); });
        EXPECT_EQ(view.exec(), expected);
    }
}

}  // namespace
