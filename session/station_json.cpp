#include "station_json.h"

#include "operator_text.h"
#include "utf8_text.h"

std::string JsonLine(const Json& object) {
    return Utf8FromWide(JsonEscapedControls(WideFromBytes(object.dump())));
}

std::string PortJson(const PortInfo& port, const PortState& state) {
    return JsonLine({{"port", Utf8FromWide(port.name)},
                     {"description", Utf8FromWide(port.description)},
                     {"state", Utf8FromWide(FormatPortState(state))}});
}
