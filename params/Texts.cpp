#include "params/Texts.h"

#include "params/JobResult.h"

std::string txt::Format(const char* pFormat, const char* pWhat) {
    std::string str = pFormat;
    const size_t nAt = str.find("%s");
    if (nAt != std::string::npos) str.replace(nAt, 2, pWhat);
    return str;
}

std::string txt::PortOffer(int nPort, const std::string& strDevice,
                           const std::string& strDescription) {
    std::string str = "COM" + std::to_string(nPort) + " - " + strDevice;
    // The driver's description of a built-in port is often just the device's name.
    const size_t nSlash = strDevice.rfind('/');
    const std::string strBase =
        nSlash == std::string::npos ? strDevice : strDevice.substr(nSlash + 1);
    if (!strDescription.empty() && strDescription != strBase && strDescription != strDevice)
        str += " (" + strDescription + ")";
    return str;
}

std::string txt::KeyKept(const std::string& strKey, bool bZeroDigit) {
    const std::string strWhy = bZeroDigit ? " still holds the digit 0, which a key cannot contain"
                                          : " holds a character that is not a key digit (1 to 9, "
                                            "A to F)";
    return "The " + strKey + " field" + strWhy + ", so the Velor keeps its old " + strKey +
           ".\n\nGo back to the field to change it? No keeps the old key.";
}

const char* JobResultName(EJobResult eResult) {
    switch (eResult) {
    case EJobResult::None:
        return "none";
    case EJobResult::Success:
        return "success";
    case EJobResult::Unverified:
        return "unverified";
    case EJobResult::Refused:
        return "refused";
    case EJobResult::VerifyFailed:
        return "verify-failed";
    case EJobResult::NoAnswer:
        return "no-answer";
    case EJobResult::CommFailure:
        return "comm-failure";
    case EJobResult::ImageError:
        return "image-error";
    case EJobResult::NoMemory:
        return "no-memory";
    case EJobResult::Cancelled:
        return "cancelled";
    case EJobResult::Stopped:
        return "stopped";
    }
    return "none";
}
