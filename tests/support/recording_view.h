#pragma once

// A view of the dialog logic that records what the logic asks of it, for the tests that drive
// CDravikDlg without a toolkit. Header only: it needs the dialog logic, which not every test
// program that uses the support library links.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "dravik_dlg.h"

class RecordingView : public IDravikView {
  public:
    std::wstring CorrectionText(int channel) override {
        ++reads;
        return texts.at(static_cast<std::size_t>(channel));
    }
    void ShowMessage(const std::wstring& text) override {
        EXPECT_FALSE(busy) << "a message box must not appear under a wait cursor";
        messages.push_back(text);
    }
    void ShowStatus(const std::wstring& text) override { statuses.push_back(text); }
    void SetBusy(bool on) override { busy = on; }

    // The status line as the logic last set it.
    std::wstring Status() const { return statuses.empty() ? std::wstring() : statuses.back(); }

    std::array<std::wstring, kChannelCount> texts;
    std::vector<std::wstring> messages;
    std::vector<std::wstring> statuses;
    bool busy = false;
    int reads = 0;
};
