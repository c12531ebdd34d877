#include "station_text.h"

#include <vector>

#include "operator_text.h"
#include "utf8_text.h"

const char* const kUsageError = "参数错误：{}{}";
const char* const kSuggestion = "（是不是 “{}”？）";
const char* const kNoCommand = "参数错误：缺少命令 ports、find 或 set（--help 有说明）";
const char* const kNotUtf8 = "“{}”不是 UTF-8 文本";
const char* const kNoEquals = "“{}”应写作 通道=dB，例如 1310CW=0.35";
const char* const kUnknownChannel =
    "“{}”：没有这个通道，可用 1310CW、1310Burst、1490CW、1550CW 或 0~3";
const char* const kChannelTwice = "“{}”：这个通道前面已经给过";
const char* const kNotANumber = "“{}”：dB 值不是一个数";
const char* const kOutOfRange = "“{}”：dB 值或其校正系数超出范围";
const char* const kLogOpenFailed = "“{}”：无法打开日志文件";
const char* const kLogNotRegular = "“{}”：不是普通文件，不能作日志";
const char* const kLogEmpty = "参数错误：--log 需要文件名（空的文件名不会写日志）";
const char* const kBadTag =
    "“{}”：标签应写作 键=值，键只用字母、数字和 _ . -，值不含 ; 、控制字符和不可见的格式字符";
const char* const kBadTagCharacter =
    "“{}”：标签应写作 键=值，键只用字母、数字和 _ . -，值不含 ; "
    "、控制字符和不可见的格式字符（第 {} 个字符 {} 不可用）";
const char* const kTagTwice = "“{}”：这个标签的键前面已经给过";
const char* const kEmptyPort = "参数错误：--port 不能为空";
const char* const kLogWriteFailed = "“{}”：日志写入失败，其余通道未发送";
const char* const kPortLost = "“{}”：串口已断开（设备不存在或已拔出），其余通道未发送";
const char* const kOutOfStep =
    "“{}”无应答：此后的应答无法与通道对应，其余通道未发送，请重新运行本次设置";
const char* const kLineTalks =
    "“{}”：线路在无人询问时发来数据（仪表处于连续输出模式？），应答无法确认，其余通道未发送";
const char* const kFrameNotSent =
    "“{}”的帧未能完整发出（线路可能被流控阻塞），其余通道未发送，请检查线路后重新运行本次设置";
const char* const kOutputFailed = "写入标准输出失败，其余通道未发送";
const char* const kOutputLost = "写入标准输出失败";
const char* const kStopped = "已中断，其余通道未发送：信号 {}";
const char* const kNoPortOpen = "会话没有打开的端口：先调用 dravik_open";
const char* const kNullPointer = "参数错误：指针为 NULL：{}";
const char* const kNamedNoPort = "参数错误：端口为空字符串（查找待测表时端口传 NULL）";
const char* const kCancelled = "已取消，其余通道未发送";
const char* const kInternal = "库内部错误（可能是内存不足），调用未完成";

namespace {

std::string FillIn(std::string_view message, const std::vector<std::string_view>& parts) {
    std::string text;
    for (const std::string_view part : parts) {
        const std::size_t at = message.find("{}");
        if (at == std::string_view::npos) break;
        text.append(message.substr(0, at)).append(part);
        message.remove_prefix(at + 2);
    }
    return text.append(message);
}

}  // namespace

std::string Filled(std::string_view message, std::initializer_list<std::string_view> parts) {
    return FillIn(message, parts);
}

std::string Complaint(const std::string& outside, const char* message,
                      std::initializer_list<std::string_view> more) {
    const std::string shown = Utf8FromWide(ShownText(WideFromBytes(outside)));
    std::vector<std::string_view> parts = {shown};
    parts.insert(parts.end(), more.begin(), more.end());
    return FillIn(message, parts);
}
