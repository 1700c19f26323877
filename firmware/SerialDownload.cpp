#include "firmware/SerialDownload.h"

#include "firmware/ImageReader.h"
#include "platform/Prompts.h"
#include "serial/FrameCodec.h"
#include "serial/SerlComm.h"

namespace {
const char* const MSG_FILE_OPEN = " File open error ";
const char* const MSG_COMM_ERROR = "Flash not updated, comm error ";
const char* const MSG_REJECTED =
    "Flash not updated, rejected by Velor after load (checksum error) ";
const char* const MSG_NOT_BACK = "Unable to connect to Velor";
const char* const MSG_UPDATED = "Flash successfully updated";
const char* const MSG_MISMATCH = "Flash failed - CRC mismatch";
} // namespace

int LoadImage(CSerlComm& link, IPrompts& prompts, const std::string& strPath) {
    // The whole file is checked first, so that a bad image never leaves half a
    // program in the unit.
    const CImageCheck check = ValidateImage(strPath);
    if (check.m_nResult == CImageReader::ERR_OPEN) {
        prompts.Message(MSG_FILE_OPEN);
        return download::FILE_OPEN;
    }
    if (check.m_nResult != CImageReader::OK) {
        prompts.Message(check.FormatErrorMessage());
        return download::FILE_FORMAT;
    }

    uint8_t abReply[download::REPLY_SIZE];
    bool bSendFailed = false;
    CImageReader reader;
    const int nResult = reader.Run(
        strPath,
        [&](const uint8_t* pBlock, size_t nLen) {
            const int nSend =
                link.Transact(frame::CMD_LOAD, nLen + 2, pBlock, abReply, sizeof abReply);
            bSendFailed = nSend != 0;
            return nSend;
        },
        [&](uint64_t nDone, uint64_t nTotal) { prompts.Progress(nDone, nTotal); });

    // A send code may equal a reader code (EIO is 5), so the flag decides.
    if (bSendFailed) {
        prompts.Message(MSG_COMM_ERROR);
        return nResult;
    }
    if (nResult == CImageReader::ERR_OPEN) { // gone since the check
        prompts.Message(MSG_FILE_OPEN);
        return download::FILE_OPEN;
    }
    if (nResult != CImageReader::OK) { // changed since the check
        CImageCheck changed;
        changed.m_nResult = nResult;
        changed.m_nLine = reader.ErrorLine();
        changed.m_strReason = reader.ErrorReason();
        prompts.Message(changed.FormatErrorMessage());
        return download::FILE_FORMAT;
    }

    // A unit that accepted the load restarts without answering.
    if (link.Transact(frame::CMD_LOAD, frame::LOAD_HEADER + 2, frame::END_OF_LOAD, abReply,
                      sizeof abReply) == 0) {
        prompts.Message(MSG_REJECTED);
        return download::REJECTED;
    }
    return VerifyFlash(link, prompts, reader.CheckWord());
}

int VerifyFlash(CSerlComm& link, IPrompts& prompts, uint16_t nImageCheckWord) {
    uint8_t abReply[download::REPLY_SIZE];
    bool bBack = false;
    for (int nTry = 0; nTry < download::VERIFY_TRIES && !bBack; ++nTry) {
        if (link.Transact(0, 0, nullptr, abReply, sizeof abReply) != 0) continue;
        if (link.Transact(frame::CMD_STATUS, 2, nullptr, abReply, sizeof abReply) != 0) continue;
        // The whole record must be in this reply before its check word is believed.
        bBack = link.ReplyCount(abReply) == frame::STATUS_COUNT &&
                link.ReplyLen() >= frame::OFS_DATA + frame::STATUS_COUNT;
    }
    if (!bBack) {
        prompts.Message(MSG_NOT_BACK);
        return download::NOT_BACK;
    }
    const uint16_t nUnitCheckWord = frame::StatusCheckWord(abReply);
    if (nUnitCheckWord == 0) return download::OK;
    if (nUnitCheckWord == nImageCheckWord) {
        prompts.Message(MSG_UPDATED);
        return download::OK;
    }
    prompts.Message(MSG_MISMATCH);
    return download::CHECK_MISMATCH;
}
