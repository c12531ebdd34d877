// The About box, from the dialog's context menu and from F1: it opens over the main dialog and
// closing it returns to the dialog as it was.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>

#include "qtview_support.h"

namespace {

class About : public ::testing::Test {
  protected:
    About() : view(layer, [](std::vector<PortInfo>&) {}) {}

    void SetUp() override {
        ShowAndWait(view);
        view.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&view, kEventWaitLimitMs));
        for (int k = 0; k < kChannelCount; ++k)
            Edit(view, k)->setText(QString::number(k + 0.5));
    }

    void ExpectAboutBoxShownAndMainDialogUnchanged(const ModalCatcher& catcher) {
        ASSERT_EQ(catcher.Seen().size(), 1u);
        const ModalSeen& about = catcher.Seen()[0];
        EXPECT_EQ(about.type, QStringLiteral("CAboutDlg"));
        EXPECT_EQ(about.title, QStringLiteral("About Z9M4-SET"));
        EXPECT_TRUE(about.labels.contains(QStringLiteral("Z9M4-SET Version 1.0")));
        EXPECT_TRUE(view.isVisible());
        EXPECT_EQ(view.result(), -1) << "closing About closed the main dialog";
        for (int k = 0; k < kChannelCount; ++k) {
            EXPECT_EQ(Edit(view, k)->text(), QString::number(k + 0.5));
        }
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "About is still open";
    }

    FakeSerialLayer layer;
    CDravikView view;
};

TEST_F(About, ContextMenuOffersAboutAndOpensIt) {
    view.setResult(-1);
    QStringList offered;
    QTimer menuWatch;
    QObject::connect(&menuWatch, &QTimer::timeout, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr || !menu->isVisible()) return;
        menuWatch.stop();
        for (QAction* action : menu->actions()) {
            offered << action->text();
            if (action->text() == QStringLiteral("&About Z9M4-SET..."))
                menu->setActiveAction(action);
        }
        QTest::keyClick(menu, Qt::Key_Return);
    });
    menuWatch.start(5);
    ModalCatcher catcher;

    // Right-click on the dialog's own background, clear of every control.
    // Through the window, as the platform delivers it: that is where Qt makes the context menu
    // event out of the button press.
    QTest::mouseClick(view.windowHandle(), Qt::RightButton, {}, QPoint(4, 4));
    ASSERT_TRUE(catcher.WaitFor(1))
        << "no About box; menu offered: " << offered.join(QStringLiteral(", ")).toStdString();
    EXPECT_EQ(offered, QStringList{QStringLiteral("&About Z9M4-SET...")});
    ExpectAboutBoxShownAndMainDialogUnchanged(catcher);
}

TEST_F(About, F1OpensIt) {
    view.setResult(-1);
    ModalCatcher catcher;
    Edit(view, 1)->setFocus();
    QTest::keyClick(Edit(view, 1), Qt::Key_F1);
    ASSERT_TRUE(catcher.WaitFor(1));
    ExpectAboutBoxShownAndMainDialogUnchanged(catcher);
}

TEST_F(About, EscAndOkBothCloseIt) {
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
        SCOPED_TRACE(key);
        CAboutDlg about(&view);
        QTimer::singleShot(0, &about, [&about, k = key] { QTest::keyClick(&about, k); });
        QTimer::singleShot(kEventWaitLimitMs, &about, [&about] { about.done(-2); });
        EXPECT_EQ(about.exec(), key == Qt::Key_Escape ? QDialog::Rejected : QDialog::Accepted);
    }
}

}  // namespace
