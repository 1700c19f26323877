#include "params/Texts.h"

std::string txt::Format(const char* pFormat, const char* pWhat) {
    std::string str = pFormat;
    const size_t nAt = str.find("%s");
    if (nAt != std::string::npos) str.replace(nAt, 2, pWhat);
    return str;
}
