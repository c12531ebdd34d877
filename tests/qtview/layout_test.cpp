// Templates 102 and 100 as the Qt windows reproduce them: every control at its dialog-unit
// rectangle through the font's base units, the texts, the fixed size, the tab order, the
// initial focus, no default button in the main dialog, and texts that fit their controls.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QTest>
#include <QTextLayout>
#include <string_view>
#include <vector>

#include "dialog_templates.h"
#include "dialog_units.h"
#include "qtview_support.h"

namespace {

QString TextOf(QWidget* control) {
    if (auto* button = qobject_cast<QPushButton*>(control)) return button->text();
    if (auto* edit = qobject_cast<QLineEdit*>(control)) return edit->text();
    if (auto* label = qobject_cast<QLabel*>(control)) return label->text();
    return QStringLiteral("<unknown kind>");
}

const char* QtClassOf(ControlClass windowClass) {
    switch (windowClass) {
        case ControlClass::Button:
            return "QPushButton";
        case ControlClass::Edit:
            return "QLineEdit";
        case ControlClass::Static:
            break;
    }
    return "QLabel";
}

// The dialog has the template's caption, font and fixed size, and the template's controls and
// no others, created in template order: each of its class, with its text, at its rectangle
// through the font's base units.
void ExpectLaidOutAs(QDialog& dialog, const DialogTemplate& dialogTemplate) {
    EXPECT_EQ(dialog.windowTitle(), QString::fromWCharArray(dialogTemplate.caption));
    EXPECT_EQ(dialog.font().pointSize(), dialogTemplate.pointSize);
    EXPECT_EQ(dialog.font().family(), QApplication::font().family());
    const DialogBaseUnits base = MeasureBaseUnits(dialog.fontMetrics());
    EXPECT_EQ(base.y, dialog.fontMetrics().height());
    EXPECT_GT(base.x, 0);

    const QSize size = DialogRectToPixels(dialogTemplate.rect, base).size();
    EXPECT_EQ(dialog.size(), size);
    EXPECT_EQ(dialog.minimumSize(), size) << "the dialog is not resizable";
    EXPECT_EQ(dialog.maximumSize(), size) << "the dialog is not resizable";

    std::vector<QString> created;
    for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        created.push_back(child->objectName());
    }
    ASSERT_EQ(created.size(), dialogTemplate.controls.size());
    std::size_t next = 0;
    for (const ControlTemplate& item : dialogTemplate.controls) {
        SCOPED_TRACE(item.name);
        EXPECT_EQ(created[next++], QString::fromLatin1(item.name))
            << "created out of template order";
        auto* control = dialog.findChild<QWidget*>(QString::fromLatin1(item.name));
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(control->inherits(QtClassOf(item.windowClass)))
            << control->metaObject()->className();
        const QRect rect = DialogRectToPixels(item.rect, base);
        if ((item.style & kSsTypeMask) == kSsIcon && item.windowClass == ControlClass::Static) {
            // The icon control takes the icon's own size at its template position.
            EXPECT_FALSE(qobject_cast<QLabel*>(control)->pixmap().isNull());
            EXPECT_EQ(control->geometry(), QRect(rect.topLeft(), QSize(32, 32)));
        } else {
            EXPECT_EQ(TextOf(control), QString::fromWCharArray(item.text));
            EXPECT_EQ(control->geometry(), rect);
        }
    }
}

class Layout : public ::testing::Test {
  protected:
    Layout() : view(layer, [](std::vector<PortInfo>&) {}) {}

    DialogBaseUnits Base() const { return MeasureBaseUnits(view.fontMetrics()); }

    FakeSerialLayer layer;
    CDravikView view;
};

TEST_F(Layout, MainDialogIsTemplate102AtTheFontsBaseUnits) {
    ShowAndWait(view);
    ExpectLaidOutAs(view, MainDialogTemplate());
}

TEST_F(Layout, StatusLineSitsInsideTheClientAreaClearOfTheControls) {
    ShowAndWait(view);
    const QRect status = StatusLabel(view)->geometry();
    EXPECT_TRUE(view.rect().contains(status)) << "status line outside the 310 x 166 client area";
    for (const ControlTemplate& item : MainDialogTemplate().controls) {
        if (std::string_view(item.name) == "status") continue;
        EXPECT_FALSE(status.intersects(DialogRectToPixels(item.rect, Base())))
            << "status line overlaps " << item.name;
    }
    EXPECT_EQ(StatusLabel(view)->focusPolicy(), Qt::NoFocus);
}

TEST_F(Layout, EveryTextFitsItsControl) {
    // The desktop font stands in for MS Shell Dlg; its base units scale the rectangles, but a
    // font whose letters are proportioned differently could still clip a label.
    for (int k = 0; k < kChannelCount; ++k) {
        QLabel* label = ChannelLabel(view, k);
        const QFontMetrics metrics(label->font());
        EXPECT_LE(metrics.horizontalAdvance(label->text()), label->width())
            << label->text().toStdString();
        EXPECT_LE(metrics.height(), label->height()) << label->text().toStdString();
    }
    // The longest usual status line, laid out with the CJK fallback font the label really uses.
    const QString longest =
        QString::fromStdWString(FormatOutcome(ReadCorrection(L"-12.25", 1), false));
    QTextLayout layout(longest, StatusLabel(view)->font());
    layout.beginLayout();
    const QTextLine line = layout.createLine();
    layout.endLayout();
    EXPECT_LE(line.naturalTextWidth(), StatusLabel(view)->width()) << longest.toStdString();
    EXPECT_LE(line.height(), StatusLabel(view)->height()) << longest.toStdString();
}

TEST_F(Layout, TabOrderIsTemplateOrderStartingAtExit) {
    ShowAndWait(view);
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view, kEventWaitLimitMs));
    ASSERT_EQ(QApplication::focusWidget(), ExitButton(view)) << "EXIT has the focus at start";

    std::vector<QString> tabStops;
    for (const ControlTemplate& item : MainDialogTemplate().controls) {
        if ((item.style & kWsTabStop) != 0) tabStops.push_back(QString::fromLatin1(item.name));
    }
    std::vector<QString> visited;
    for (std::size_t i = 0; i < tabStops.size(); ++i) {
        visited.push_back(QApplication::focusWidget()->objectName());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(visited, tabStops);
    EXPECT_EQ(QApplication::focusWidget(), ExitButton(view)) << "Tab wraps round to EXIT";
}

TEST_F(Layout, NoButtonIsDefaultOrBecomesDefault) {
    const auto buttons = view.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 5);
    for (QPushButton* button : buttons) {
        EXPECT_FALSE(button->isDefault()) << button->objectName().toStdString();
        // Auto-default buttons turn default when focused and take Enter from the edit boxes.
        EXPECT_FALSE(button->autoDefault()) << button->objectName().toStdString();
    }
}

TEST_F(Layout, WindowIconIsTheApplicationIcon) {
    const QList<QSize> sizes = view.windowIcon().availableSizes();
    for (const int px : {16, 32, 48}) {
        EXPECT_TRUE(sizes.contains(QSize(px, px))) << px << " px image missing";
    }
}

TEST(AboutLayout, AboutBoxIsTemplate100) {
    CAboutDlg about;
    about.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&about, kEventWaitLimitMs));
    ExpectLaidOutAs(about, AboutDialogTemplate());

    for (QLabel* label : about.findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;  // the icon
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
    }
    const auto buttons = about.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_TRUE(buttons[0]->isDefault());
}

}  // namespace
