// A SET click through the real window, on the in-memory serial layer: what the operator sees
// (message boxes, status line, wait cursor) and what reaches the line.

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QTest>
#include <QTextDocument>
#include <thread>

#include "qtview_support.h"

namespace {

using Bytes = FakeSerialLayer::Bytes;

// 10^(0.5/10) and 10^(3/10) as little-endian singles.
const std::vector<std::uint8_t> kHalfDb = {0x4D, 0x9E, 0x8F, 0x3F};
const std::vector<std::uint8_t> kThreeDb = {0xC1, 0x64, 0xFF, 0x3F};

// Records the text a label showed each time it was painted.
class PaintLog : public QObject {
  public:
    explicit PaintLog(QLabel* label) : m_label(label) { label->installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_label && event->type() == QEvent::Paint)
            painted.push_back(m_label->text());
        return false;
    }
    std::vector<QString> painted;

  private:
    QLabel* m_label;
};

class SetOnFakeLine : public ::testing::Test {
  protected:
    SetOnFakeLine()
        : view(layer, [this](std::vector<PortInfo>& list) {
              ++listings;
              for (const std::wstring& port : ports)
                  list.push_back({port, L""});
          }) {}

    void SetUp() override { ShowAndWait(view); }

    void Type(const std::array<const char*, kChannelCount>& texts) {
        for (int k = 0; k < kChannelCount; ++k) {
            Edit(view, k)->setText(QString::fromUtf8(texts[static_cast<std::size_t>(k)]));
        }
    }

    FakeSerialLayer layer;
    std::vector<std::wstring> ports;
    int listings = 0;
    CDravikView view;
};

TEST_F(SetOnFakeLine, NoMeterShowsTheMessageSendsNothingAndSearchesAgain) {
    // Without any port, and with ports where nothing answers the probe.
    for (const bool withPorts : {false, true}) {
        SCOPED_TRACE(withPorts ? "two silent ports" : "no ports");
        if (withPorts) {
            layer.AddPort(L"/dev/fake0");
            layer.AddPort(L"/dev/fake1");
            ports = {L"/dev/fake0", L"/dev/fake1"};
        }
        listings = 0;
        Type({"1", "2", "3", "4"});
        ModalCatcher catcher;
        SetButton(view, 0)->click();
        ASSERT_EQ(catcher.Seen().size(), 1u);
        const ModalSeen& box = catcher.Seen()[0];
        EXPECT_EQ(box.type, QStringLiteral("QMessageBox"));
        EXPECT_EQ(box.text, QStringLiteral("没找到待测表串口！"));
        EXPECT_EQ(box.title, QStringLiteral("qtview_test")) << "caption: the executable's name";
        EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_FALSE(box.waitCursor) << "the message came up under a wait cursor";
        for (const std::wstring& port : ports) {
            EXPECT_EQ(ProbeCount(layer, port), 1u);
            EXPECT_TRUE(SetFrames(layer, port).empty()) << "a correction was sent";
        }
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);

        SetButton(view, 3)->click();
        EXPECT_EQ(listings, 2) << "the second SET searches again";
        EXPECT_EQ(catcher.Seen().size(), 2u);
        for (const std::wstring& port : ports)
            EXPECT_EQ(ProbeCount(layer, port), 2u);
    }
}

TEST_F(SetOnFakeLine, MeterGetsOnlyTheClickedChannelThenLaterClicksSendAtOnce) {
    layer.AddPort(L"/dev/fake0");
    layer.AddPort(L"/dev/meter", FakeMeter());
    ports = {L"/dev/fake0", L"/dev/meter"};
    Type({"3", "-3", "0.5", "7"});
    ModalCatcher catcher;

    SetButton(view, 2)->click();
    EXPECT_EQ(SetFrames(layer, L"/dev/meter"), std::vector<Bytes>{SetFrame(2, kHalfDb)});
    EXPECT_EQ(view.StatusText(), QStringLiteral("1490CW 设置成功 0.5 dB → 1.122"));
    EXPECT_EQ(StatusLabel(view)->text(), view.StatusText());

    SetButton(view, 0)->click();
    EXPECT_EQ(listings, 1);
    EXPECT_EQ(ProbeCount(layer, L"/dev/meter"), 1u) << "no new probe once the meter is known";
    EXPECT_EQ(layer.Snapshot(L"/dev/meter").opens, 2) << "probe, then the dialog's own open";
    EXPECT_EQ(SetFrames(layer, L"/dev/meter"),
              (std::vector<Bytes>{SetFrame(2, kHalfDb), SetFrame(0, kThreeDb)}));
    EXPECT_EQ(view.StatusText(), QStringLiteral("1310CW 设置成功 3 dB → 1.9953"));
    EXPECT_TRUE(catcher.Seen().empty());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(SetOnFakeLine, SilentMeterIsShownAsNoAnswer) {
    layer.AddPort(L"/dev/meter", SilentOnSetMeter());
    ports = {L"/dev/meter"};
    Type({"", "", "0.5", ""});
    SetButton(view, 2)->click();
    EXPECT_EQ(view.StatusText(), QStringLiteral("1490CW 待测表无应答 0.5 dB → 1.122"));
}

TEST_F(SetOnFakeLine, StatusAndWaitCursorAreUpWhileTheWindowBlocks) {
    layer.AddPort(L"/dev/meter", FakeMeter());
    ports = {L"/dev/meter"};
    PaintLog paints(StatusLabel(view));
    // Pauses happen inside discovery and the exchange, with the GUI thread blocked: whatever
    // the operator sees then must already be painted.
    std::vector<QString> paintedAtPause;
    std::vector<bool> waitCursorAtPause;
    layer.onPause = [&](std::uint32_t) {
        paintedAtPause.push_back(paints.painted.empty() ? QString() : paints.painted.back());
        const QCursor* cursor = QApplication::overrideCursor();
        waitCursorAtPause.push_back(cursor != nullptr && cursor->shape() == Qt::WaitCursor);
    };
    SetButton(view, 1)->click();
    layer.onPause = nullptr;

    ASSERT_FALSE(paintedAtPause.empty());
    EXPECT_EQ(paintedAtPause.front(), QStringLiteral("正在查找待测表…"))
        << "the search notice was not painted before discovery blocked";
    EXPECT_EQ(std::count(waitCursorAtPause.begin(), waitCursorAtPause.end(), false), 0)
        << "the wait cursor was not up during the blocking work";
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "wait cursor left behind";
    ASSERT_FALSE(paints.painted.empty());
    EXPECT_EQ(paints.painted.back(), QStringLiteral("1310Burst 设置成功 0 dB → 1"));
}

TEST_F(SetOnFakeLine, OpenFailureShowsTheSecondMessageAndRetriesTheSameName) {
    FakeSerialLayer::PortScript script = FakeMeter();
    // The meter answers the probe, then its port is taken before the dialog opens it.
    script.onWrite = [answer = script.onWrite](FakeSerialLayer& fake, const std::wstring& port,
                                               const Bytes& written) {
        answer(fake, port, written);
        fake.WithPort(port,
                      [](FakeSerialLayer::PortState& state) { state.script.failOpen = true; });
    };
    layer.AddPort(L"/dev/meter", script);
    ports = {L"/dev/meter"};
    Type({"3", "", "", ""});
    ModalCatcher catcher;

    SetButton(view, 0)->click();
    ASSERT_EQ(catcher.Seen().size(), 1u);
    EXPECT_EQ(catcher.Seen()[0].text,
              QStringLiteral("未能打开待测光功率计，请检查待测光功率计连接及是否开机!"));
    EXPECT_EQ(catcher.Seen()[0].title, QStringLiteral("qtview_test"));
    EXPECT_EQ(catcher.Seen()[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_FALSE(catcher.Seen()[0].waitCursor);

    layer.WithPort(L"/dev/meter",
                   [](FakeSerialLayer::PortState& state) { state.script = FakeMeter(); });
    SetButton(view, 0)->click();
    EXPECT_EQ(listings, 1) << "the known name is retried without a new search";
    EXPECT_EQ(layer.OpenLog(),
              (std::vector<std::wstring>{L"/dev/meter", L"/dev/meter", L"/dev/meter"}));
    EXPECT_EQ(SetFrames(layer, L"/dev/meter"), std::vector<Bytes>{SetFrame(0, kThreeDb)});
    EXPECT_EQ(catcher.Seen().size(), 1u);
}

// The line holds names from outside (a process may call itself "<h1>"): label and tooltip
// show them as the text they are, never as markup.
TEST_F(SetOnFakeLine, LongStatusIsElidedWithTheWholeTextInTheToolTip) {
    const std::wstring longText = L"被 <h1>x</h1> (1617) 占用 <b>&amp;" + std::wstring(200, L'表');
    view.ShowStatus(longText);
    QLabel* label = StatusLabel(view);
    EXPECT_EQ(view.StatusText(), QString::fromStdWString(longText));
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_TRUE(label->text().endsWith(QChar(0x2026))) << "not elided";
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
    // As QToolTip shows it: rich text when Qt::mightBeRichText says so.
    QTextDocument tip;
    if (Qt::mightBeRichText(label->toolTip())) {
        tip.setHtml(label->toolTip());
    } else {
        tip.setPlainText(label->toolTip());
    }
    EXPECT_EQ(tip.toPlainText(), view.StatusText());

    view.ShowStatus(L"1310CW 设置成功 0 dB → 1");
    EXPECT_EQ(label->text(), view.StatusText());
    EXPECT_TRUE(label->toolTip().isEmpty());
}

TEST_F(SetOnFakeLine, WatcherMessageIsShownByTheGuiThread) {
    // The reply watcher cannot create its event: its message comes from the watcher's thread
    // and must be shown on the GUI thread, as an ordinary message box.
    layer.AddPort(L"/dev/meter", FakeMeter());
    layer.failCreateEventWait = true;
    ports = {L"/dev/meter"};
    ModalCatcher catcher;
    SetButton(view, 0)->click();
    ASSERT_TRUE(catcher.WaitFor(1)) << "the watcher's message never appeared";
    const ModalSeen& box = catcher.Seen()[0];
    EXPECT_EQ(box.text, QStringLiteral("创建事件失败"));
    EXPECT_EQ(box.title, QStringLiteral("qtview_test"));
    EXPECT_TRUE(box.onGuiThread);
    EXPECT_EQ(view.StatusText(), QStringLiteral("1310CW 待测表无应答 0 dB → 1"));
}

}  // namespace
