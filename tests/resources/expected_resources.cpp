// resources-expected: prints as JSON what the resources of Dravik.exe must hold by the C++
// side: the dialog template table, the About item's string and the operator's texts the
// program keeps as wide literals. resources_test.py compares the built exe with it.

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "dialog_templates.h"
#include "operator_text.h"

namespace {

using nlohmann::json;

// UTF-8 of a wide string, which holds UTF-32 on the build host.
std::string Utf8(std::wstring_view text) {
    std::string out;
    const auto put = [&out](std::uint32_t byte) { out += static_cast<char>(byte); };
    for (const wchar_t character : text) {
        const auto c = static_cast<std::uint32_t>(character);
        if (c < 0x80) {
            put(c);
        } else if (c < 0x800) {
            put(0xC0 | (c >> 6));
            put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            put(0xE0 | (c >> 12));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        } else {
            put(0xF0 | (c >> 18));
            put(0x80 | ((c >> 12) & 0x3F));
            put(0x80 | ((c >> 6) & 0x3F));
            put(0x80 | (c & 0x3F));
        }
    }
    return out;
}

json Rect(const DialogRect& rect) {
    return json::array({rect.x, rect.y, rect.width, rect.height});
}

json Dialog(const DialogTemplate& dialog) {
    json controls = json::array();
    for (const ControlTemplate& control : dialog.controls) {
        controls.push_back({{"name", control.name},
                            {"id", control.id},
                            {"class", static_cast<int>(control.windowClass)},
                            {"text", Utf8(control.text)},
                            {"icon", control.icon},
                            {"rect", Rect(control.rect)},
                            {"style", control.style}});
    }
    return {{"id", dialog.id},
            {"caption", Utf8(dialog.caption)},
            {"style", dialog.style},
            {"exStyle", dialog.exStyle},
            {"rect", Rect(dialog.rect)},
            {"pointSize", dialog.pointSize},
            {"typeface", Utf8(dialog.typeface)},
            {"controls", controls}};
}

}  // namespace

int main() {
    const StringResource& about = AboutMenuItem();
    const json expected = {
        {"dialogs", json::array({Dialog(MainDialogTemplate()), Dialog(AboutDialogTemplate())})},
        {"strings", json::array({json{{"id", about.id}, {"text", Utf8(about.text)}}})},
        {"wideTexts",
         json::array({Utf8(kMsgNoMeterPort), Utf8(kMsgOpenFailed), Utf8(kSearchNotice)})},
    };
    std::puts(expected.dump(2).c_str());
    return 0;
}
