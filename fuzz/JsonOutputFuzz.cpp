// What velorctl prints for a result whose names (an image file, a device, a fleet's
// unit) hold any bytes: the JSON line, the aligned text lines, and a fleet unit's
// captured object shown again. Nothing may throw; the JSON must read back as the one
// object; the text must hold no byte that drives a terminal.

#include <string>

#include "FuzzCommon.h"
#include "cli/Commands.h"
#include "cli/Output.h"

namespace {

bool Printable(const std::string& str) {
    for (const char c : str) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\n') || u == 0x7F) return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const std::string strIn(reinterpret_cast<const char*>(pData), nSize);
    // The first part names the image, the rest a key and a list element.
    const size_t nCut = strIn.find('\n');
    const std::string strName = strIn.substr(0, nCut);
    const std::string strRest = nCut == std::string::npos ? std::string() : strIn.substr(nCut + 1);
    out::json j;
    j["image"] = strName;
    j["blocks"] = nSize;
    j[strRest] = out::json::array({strRest, nSize % 2 == 0});
    j["result"] = "success";

    const std::string strJson = out::ResultText(j, true);
    FUZZ_CHECK(!strJson.empty() && strJson.back() == '\n');
    const auto back = out::json::parse(strJson, nullptr, false);
    FUZZ_CHECK(back.is_object() && back.size() == j.size());
    FUZZ_CHECK(back["result"] == "success");

    const std::string strText = out::ResultText(j, false);
    FUZZ_CHECK(Printable(strText));
    const std::string strLines = FormatLines(out::JsonText(j), strName + ": ");
    FUZZ_CHECK(Printable(strLines));
    return 0;
}
