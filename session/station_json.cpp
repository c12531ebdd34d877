#include "station_json.h"

#include "operator_text.h"
#include "utf8_text.h"

std::string JsonLine(const Json& object) {
    return Utf8FromWide(JsonEscapedControls(WideFromBytes(object.dump())));
}

namespace {

Json Utf8Array(const std::vector<std::wstring>& texts) {
    Json array = Json::array();
    for (const std::wstring& text : texts)
        array.push_back(Utf8FromWide(text));
    return array;
}

}  // namespace

std::string PortJson(const PortInfo& port, const PeekedPort& state) {
    return JsonLine({{"port", Utf8FromWide(port.name)},
                     {"description", Utf8FromWide(port.description)},
                     {"state", Utf8FromWide(FormatPortState(state))},
                     {"by_path", Utf8Array(port.byPath)},
                     {"by_id", Utf8Array(port.byId)}});
}
