#pragma once
// Firmware download over the serial link: the image goes out block by block on a
// link that CheckUnit has just found ready, the load is closed with the end-of-load
// block, and the unit's check word is compared once it is back. Every outcome is
// shown through the prompts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class CSerlComm;
class IPrompts;
struct CLoadImage;

namespace download {
constexpr int OK = 0;
constexpr int REJECTED = 1;    // the unit answered the end-of-load block
constexpr int NOT_BACK = 2;    // the unit did not come back after the load
constexpr int FILE_OPEN = 4;   // the image file cannot be opened
constexpr int FILE_FORMAT = 5; // the image file is not a valid image; nothing sent
constexpr int CHECK_MISMATCH = 6;
constexpr int VERIFY_TRIES = 45;
} // namespace download

// Loads the image at strPath into the unit. Returns one of the codes above or the
// code of the transaction that failed; the link's Result() says how it ended.
int LoadImage(CSerlComm& link, IPrompts& prompts, const std::string& strPath);
// The same from an image read before: nothing is read from the file while sending.
int LoadImage(CSerlComm& link, IPrompts& prompts, const CLoadImage& image);

// The prompts' image in memory when it is of strPath, else the file read once now.
std::shared_ptr<const CLoadImage> ImageFor(IPrompts& prompts, const std::string& strPath);

// Waits for the unit to come back and compares its check word with the image's.
// Returns 0, 2 or 6.
int VerifyFlash(CSerlComm& link, IPrompts& prompts, uint16_t nImageCheckWord);
