// The dialog's logic with a recording view and the in-memory serial layer: discovery on the
// first SET only, the two operator messages, what is sent for a click, the status line and the
// recovery after the meter was unplugged.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dravik_dlg.h"
#include "fake_meter.h"
#include "fake_serial.h"
#include "recording_view.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Bytes = FakeSerialLayer::Bytes;

Bytes FrameBytes(const wchar_t* text, std::uint8_t channel) {
    const Frame f = BuildSetCorrectionFrame(text, channel);
    return Bytes(f.begin(), f.end());
}

class Dialog : public ::testing::Test {
  protected:
    Dialog() {
        layer.AddPort(L"COM1");
        layer.AddPort(L"COM2", FakeMeter());
    }
    std::unique_ptr<CDravikDlg> MakeDialog() {
        auto dlg = std::make_unique<CDravikDlg>(view, layer, [this](std::vector<PortInfo>& list) {
            ++listings;
            for (const std::wstring& port : ports)
                list.push_back({port, L""});
        });
        return dlg;
    }

    // A dialog that has found the meter on COM2 with a first SET (channel 0, "1").
    std::unique_ptr<CDravikDlg> DialogOnTheMeter() {
        auto dlg = MakeDialog();
        view.texts = {L"1", L"1", L"1", L"1"};
        dlg->OnSet(0);
        return dlg;
    }

    // The meter is plugged in again, now behind `name`.
    void Replug(const std::wstring& name) {
        ports = {L"COM1", name};
        layer.AddPort(name, FakeMeter());
    }

    FakeSerialLayer layer;
    RecordingView view;
    std::vector<std::wstring> ports{L"COM1", L"COM2"};
    int listings = 0;
};

TEST_F(Dialog, FirstSetFindsOpensAndSendsOnlyTheClickedChannel) {
    auto dlg = MakeDialog();
    EXPECT_EQ(dlg->m_port.m_nBaudRate, 19200u);
    view.texts = {L"1", L"2", L"0.5", L"4"};
    dlg->OnSet(2);

    EXPECT_EQ(dlg->m_strPortName, L"COM2");
    EXPECT_NE(dlg->m_port.m_hComm, kInvalidPort);
    EXPECT_EQ(layer.Snapshot(L"COM2").line.baudRate, 19200u);
    EXPECT_THAT(SetFrames(layer, L"COM2"), ElementsAre(FrameBytes(L"0.5", 2)));
    // All four texts were copied, though only channel 2 went out.
    EXPECT_THAT(dlg->m_strCorrection, ElementsAre(L"1", L"2", L"0.5", L"4"));
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.statuses.front(), kSearchNotice);
    EXPECT_EQ(view.statuses.back(), L"1490CW 设置成功 0.5 dB → 1.122");
    EXPECT_FALSE(view.busy);
}

// Discovery and the exchange block the window; whatever stands in the line then must describe
// what is happening, not the search once the frame is out, nor the previous SET's outcome.
TEST_F(Dialog, TheLineSaysWhatTheBlockedWindowIsDoing) {
    auto dlg = MakeDialog();
    view.texts = {L"1", L"1", L"1", L"1"};
    // What the line showed at each pause of one SET: {pause in ms, status}.
    using Shown = std::vector<std::pair<std::uint32_t, std::wstring>>;
    const auto setShowing = [&](int channel) {
        Shown shown;
        layer.onPause = [&](std::uint32_t ms) { shown.emplace_back(ms, view.statuses.back()); };
        dlg->OnSet(channel);
        layer.onPause = nullptr;
        return shown;
    };
    const Shown first = setShowing(0);  // discovery, then the exchange
    const Shown later = setShowing(3);  // the exchange alone, after the first outcome

    for (const auto& [shown, label] : {std::pair{first, L"1310CW"}, std::pair{later, L"1550CW"}}) {
        int exchangePauses = 0;
        for (const auto& [ms, status] : shown) {
            const bool discovery = ms == 500 || ms == 200;
            exchangePauses += discovery ? 0 : 1;
            EXPECT_EQ(status, discovery ? kSearchNotice : label + std::wstring(L" 正在设置…"))
                << "during a pause of " << ms << " ms";
        }
        EXPECT_GE(exchangePauses, 1) << "the answered SET made no pause";
    }
    EXPECT_EQ(view.statuses.back(), L"1550CW 设置成功 1 dB → 1.2589");
}

TEST_F(Dialog, LaterClicksSendAtOnceWithoutAnotherSearch) {
    auto dlg = MakeDialog();
    view.texts = {L"3", L"", L"", L"-3"};
    dlg->OnSet(0);
    const auto opensAfterFirst = layer.OpenLog().size();
    dlg->OnSet(3);
    dlg->OnSet(1);
    EXPECT_EQ(listings, 1);
    EXPECT_EQ(layer.OpenLog().size(), opensAfterFirst);
    EXPECT_THAT(SetFrames(layer, L"COM2"),
                ElementsAre(FrameBytes(L"3", 0), FrameBytes(L"-3", 3), FrameBytes(L"", 1)));
    EXPECT_EQ(view.statuses.back(), L"1310Burst 设置成功 0 dB → 1");
}

TEST_F(Dialog, NoMeterShowsTheMessageSendsNothingAndSearchesAgainNextTime) {
    ports = {L"COM1"};
    auto dlg = MakeDialog();
    dlg->OnSet(0);
    EXPECT_THAT(view.messages, ElementsAre(kMsgNoMeterPort));
    EXPECT_EQ(view.statuses.back(), L"已探测 1 个串口：COM1 无应答");
    EXPECT_EQ(dlg->m_port.m_hComm, kInvalidPort);
    EXPECT_TRUE(dlg->m_strPortName.empty());
    EXPECT_EQ(view.reads, 0) << "nothing is read or sent without a port";
    EXPECT_TRUE(SetFrames(layer, L"COM1").empty());

    dlg->OnSet(1);
    EXPECT_EQ(listings, 2);
    EXPECT_EQ(view.messages.size(), 2u);
    EXPECT_FALSE(view.busy);
}

TEST_F(Dialog, OpenFailureKeepsTheNameAndRetriesItWithoutSearching) {
    auto dlg = MakeDialog();
    view.texts = {L"1", L"1", L"1", L"1"};
    // Discovery finds the meter, but the port is taken before the dialog can open it.
    layer.WithPort(L"COM2", [](auto& state) {
        auto probe = state.script.onWrite;
        state.script.onWrite = [probe](FakeSerialLayer& fake, const std::wstring& port,
                                       const Bytes& written) {
            probe(fake, port, written);
            fake.WithPort(port, [](auto& s) { s.script.failOpen = true; });
        };
    });
    dlg->OnSet(0);
    EXPECT_THAT(view.messages, ElementsAre(kMsgOpenFailed));
    EXPECT_EQ(view.statuses.back(), L"“COM2”：无法打开") << "the status line says why";
    EXPECT_EQ(dlg->m_strPortName, L"COM2");
    EXPECT_EQ(dlg->m_port.m_hComm, kInvalidPort);

    layer.WithPort(L"COM2", [](auto& state) { state.script.failOpen = false; });
    dlg->OnSet(0);
    EXPECT_EQ(listings, 1) << "the known name is retried, not searched for";
    EXPECT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(SetFrames(layer, L"COM2").size(), 1u);
}

TEST_F(Dialog, SilentMeterIsReportedAsNoAnswerAndKeepsThePort) {
    layer.AddPort(L"COM2", SilentOnSetMeter());
    auto dlg = MakeDialog();
    view.texts = {L"2.5dB", L"", L"", L""};
    dlg->OnSet(0);
    EXPECT_EQ(view.statuses.back(), L"1310CW 待测表无应答 2.5 dB → 1.7783");
    EXPECT_NE(dlg->m_port.m_hComm, kInvalidPort) << "a silent meter is still attached";
    EXPECT_EQ(dlg->m_strPortName, L"COM2");
}

TEST_F(Dialog, MeterUnpluggedDuringASendIsSearchedForAgainAtTheNextSet) {
    auto dlg = DialogOnTheMeter();
    ASSERT_EQ(dlg->m_strPortName, L"COM2");

    // The cable comes out as the frame goes: its status can no longer be read, nothing answers.
    layer.WithPort(L"COM2", [](auto& state) {
        state.script.onWrite = [](FakeSerialLayer& fake, const std::wstring& port, const Bytes&) {
            fake.WithPort(port, [](auto& s) { s.script.failClearCommError = true; });
        };
    });
    dlg->OnSet(1);
    EXPECT_EQ(view.statuses.back(), L"1310Burst 待测表无应答 1 dB → 1.2589");
    EXPECT_EQ(dlg->m_port.m_hComm, kInvalidPort);
    EXPECT_TRUE(dlg->m_strPortName.empty());
    EXPECT_FALSE(layer.Snapshot(L"COM2").open);

    Replug(L"COM5");
    dlg->OnSet(1);
    EXPECT_EQ(dlg->m_strPortName, L"COM5");
    EXPECT_EQ(listings, 2);
    EXPECT_EQ(view.statuses.back(), L"1310Burst 设置成功 1 dB → 1.2589");
    EXPECT_TRUE(view.messages.empty());
}

TEST_F(Dialog, MeterUnpluggedBetweenSetsIsNoticedBeforeSending) {
    auto dlg = DialogOnTheMeter();
    ASSERT_EQ(dlg->m_strPortName, L"COM2");

    // Gone while the operator was typing: the dead handle is dropped and the search finds
    // nothing, which the operator is told at once instead of after a 5 s wait.
    layer.WithPort(L"COM2", [](auto& state) {
        state.script.failClearCommError = true;
        state.script.failOpen = true;
    });
    ports = {L"COM1"};
    dlg->OnSet(3);
    EXPECT_THAT(view.messages, ElementsAre(kMsgNoMeterPort));
    EXPECT_EQ(SetFrames(layer, L"COM2").size(), 1u) << "nothing sent into the dead handle";

    Replug(L"COM5");
    dlg->OnSet(3);
    EXPECT_EQ(dlg->m_strPortName, L"COM5");
    EXPECT_THAT(SetFrames(layer, L"COM5"), ElementsAre(FrameBytes(L"1", 3)));
}

}  // namespace
