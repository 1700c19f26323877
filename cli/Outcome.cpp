#include "cli/Outcome.h"

namespace {
bool StartsWith(const std::string& s, const char* p) {
    return s.rfind(p, 0) == 0;
}
} // namespace

EMessageClass ClassifyMessage(const std::string& s) {
    // Success
    if (s == " Parameters are updated successfully" || s == " The Velor updated successfully" ||
        s == " The Orvik has reset successfully" || s == " The Velor has reset successfully" ||
        s == "Flash successfully updated")
        return EMessageClass::Success;
    // The unit refused, or what it holds is not what was sent
    if (s == "SW 3 dipswitch 2 must be ON to configure the Orvik." ||
        s == "SW 3, dipswitch 2 must be ON to configure the Orvik." ||
        s == "Error, Data read from Orvik does not match. Orvik not updated" ||
        s == "!!!!!The Velor update did not compare successfully!!!!" ||
        s == "Orvik did not reset" ||
        s == "Flash not updated, rejected by Velor after load (checksum error) " ||
        s == "Flash failed - CRC mismatch")
        return EMessageClass::Refused;
    // The image file
    if (s == " File open error " || StartsWith(s, "Flash not updated, image file error"))
        return EMessageClass::Image;
    // Texts that only conclude what an earlier message explained
    if (s == " The parameter update failed" || StartsWith(s, "Click 'OK' to start flashing"))
        return EMessageClass::Neutral;
    // Everything else a job shows is a failure to reach or talk to the unit
    return EMessageClass::Comm;
}

void COutcome::Add(EMessageClass e) {
    switch (e) {
    case EMessageClass::Success:
        m_bSuccess = true;
        break;
    case EMessageClass::Refused:
        m_bRefused = true;
        break;
    case EMessageClass::Comm:
        m_bComm = true;
        break;
    case EMessageClass::Image:
        m_bImage = true;
        break;
    case EMessageClass::Neutral:
        break;
    }
}

int COutcome::ExitCode(int nFallback) const {
    if (m_bImage) return EXIT_IMAGE;
    if (m_bRefused) return EXIT_REFUSED;
    if (m_bComm) return EXIT_COMM;
    if (m_bSuccess) return EXIT_OK;
    return nFallback;
}
