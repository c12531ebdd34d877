#pragma once

// What the operator and the station engineer read, in one place for every front end: the
// channel labels, the messages and the outcome line of a SET. Free of any toolkit.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "meter_frames.h"
#include "meter_port.h"
#include "port_discovery.h"

// Channels 0..3, in the order of the frames' channel byte.
inline constexpr int kChannelCount = 4;
extern const std::array<const wchar_t*, kChannelCount> kChannelLabels;

extern const wchar_t* const kMsgNoMeterPort;  // discovery found nothing
extern const wchar_t* const kMsgOpenFailed;   // the found port would not open
extern const wchar_t* const kSearchNotice;    // the status line while discovery blocks the window

// "<label> 正在设置…": shown from the moment a channel's frame goes out until its outcome.
std::wstring FormatSending(int channel);

// "<label> 设置成功 2.5 dB → 1.7783" and the like: the outcome of setting a channel's correction,
// with the level as it was read and the factor sent.
std::wstring FormatOutcome(const Correction& correction, bool answered);
// The same for an exchange a record followed (dravik-cli): "<label> 未发送 …" when the frame did
// not go out whole, "<label> 待测表应答超时 …" when the answer came only after the wait.
std::wstring FormatOutcome(const Correction& correction, const ExchangeRecord& record);

// Whether a character would act on a terminal or a text view rather than be shown: C0 and C1
// controls, DEL, the bidirectional controls and the line and paragraph separators.
bool IsControlCharacter(wchar_t c);

// Text from outside the program (USB strings, process names, port paths, lock files, user and
// group names) fit to be shown: each control character as \xNN (\uNNNN above U+00FF). Every
// such text passes here before it reaches a terminal, the status line or a tooltip.
std::wstring ShownText(std::wstring_view text);

// JSON text with the same characters escaped as \uNNNN, where JSON writers escape only the C0
// controls; everything else, Chinese included, stays as it is.
std::wstring JsonEscapedControls(std::wstring_view json);

// What became of one port a search tried: "被 minicom (1234) 占用".
std::wstring FormatProbeReason(const PortProbe& probe);
// The same after the port: "/dev/ttyUSB1 被 minicom (1234) 占用".
std::wstring FormatPortProbe(const PortProbe& probe);

// What can be seen of a port without opening it: "未见占用" when nothing is in the way, else
// the reason as FormatPortProbe gives it ("无权限（需加入 dialout 组）").
std::wstring FormatPortState(const PeekedPort& state);

// Why a port the station named is not written to, naming it: "“/dev/ttyUSB0”：被 minicom (1234)
// 占用", and for a port that opened but did not answer the probe as the meter
// "“/dev/ttyUSB0”：对探测无应答，不是待测表，未发送任何设置" or
// "“…”：有应答，但不是待测表的应答，…".
std::wstring FormatNamedPortRefusal(const PortProbe& probe);

// Why the port would not open, naming it: "“/dev/ttyUSB0”：被 minicom (1234) 占用".
std::wstring FormatOpenFailure(const std::wstring& port, const OpenStatus& status);

// The status line after a search that found no meter: how many ports were tried, then each
// with what became of it, what can be mended at once first (a view cuts the line at its end):
// "已探测 2 个串口：/dev/ttyUSB0 无权限（需加入 dialout 组），/dev/ttyACM0 无应答".
std::wstring FormatSearchReport(const std::vector<PortProbe>& tried);
