#pragma once
// Firmware download over the serial link: the image goes out block by block on a
// link that CheckUnit has just found ready, the load is closed with the end-of-load
// block, and the unit's check word is compared once it is back. Every outcome is
// shown through the prompts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "params/JobResult.h"

class CSerlComm;
class IPrompts;
struct CLoadImage;

namespace download {
constexpr int VERIFY_TRIES = 45;
} // namespace download

// Loads the image at strPath into the unit. Returns how the download ended, the
// link's Result() as it leaves it: Success or Unverified (check word 0), ImageError
// (nothing sent), NoAnswer or CommFailure while sending, Refused (the unit answered
// the end-of-load block), NoAnswer (not back after the load), VerifyFailed.
EJobResult LoadImage(CSerlComm& link, IPrompts& prompts, const std::string& strPath);
// The same from an image read before: nothing is read from the file while sending.
EJobResult LoadImage(CSerlComm& link, IPrompts& prompts, const CLoadImage& image);

// The prompts' image in memory when it is of strPath, else the file read once now.
std::shared_ptr<const CLoadImage> ImageFor(IPrompts& prompts, const std::string& strPath);

// Waits for the unit to come back and compares its check word with the image's.
// Returns Success, Unverified, NoAnswer or VerifyFailed, as the link's Result().
EJobResult VerifyFlash(CSerlComm& link, IPrompts& prompts, uint16_t nImageCheckWord);
