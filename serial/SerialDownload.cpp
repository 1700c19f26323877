#include "serial/SerialDownload.h"

#include "firmware/ImageReader.h"
#include "firmware/LoadBlock.h"
#include "params/Texts.h"
#include "platform/Prompts.h"
#include "serial/FrameCodec.h"
#include "serial/SerlComm.h"

std::shared_ptr<const CLoadImage> ImageFor(IPrompts& prompts, const std::string& strPath) {
    auto pImage = prompts.ImageInMemory();
    if (pImage && pImage->m_strPath == strPath) return pImage;
    return ReadImage(strPath);
}

EJobResult LoadImage(CSerlComm& link, IPrompts& prompts, const std::string& strPath) {
    return LoadImage(link, prompts, *ImageFor(prompts, strPath));
}

EJobResult LoadImage(CSerlComm& link, IPrompts& prompts, const CLoadImage& image) {
    // The whole file was checked when it was read, so that a bad image never leaves
    // half a program in the unit.
    const CImageCheck& check = image.m_check;
    link.SetResult(EJobResult::ImageError);
    if (check.m_nResult == CImageReader::ERR_OPEN) {
        prompts.Message(txt::FILE_OPEN);
        return link.Result();
    }
    if (check.m_nResult != CImageReader::OK) {
        prompts.Message(check.FormatErrorMessage());
        return link.Result();
    }

    uint8_t abReply[frame::MAX_FRAME];
    prompts.LoadStep(false);
    const int nResult = image.Send(
        [&](const uint8_t* pBlock, size_t nLen) {
            return link.Transact(frame::CMD_LOAD, nLen + 2, pBlock, abReply, sizeof abReply);
        },
        [&](uint64_t nDone, uint64_t nTotal) { prompts.Progress(nDone, nTotal); });
    if (nResult != 0) {
        link.SetResult(nResult == frame::ERR_NO_REPLY ? EJobResult::NoAnswer
                                                      : EJobResult::CommFailure);
        prompts.Message(txt::SER_FLASH_COMM_ERROR);
        return link.Result();
    }

    // A unit that accepted the load restarts without answering.
    if (link.Transact(frame::CMD_LOAD, loadblock::LOAD_HEADER + 2, loadblock::END_OF_LOAD, abReply,
                      sizeof abReply) == 0) {
        link.SetResult(EJobResult::Refused);
        prompts.Message(txt::SER_FLASH_REJECTED);
        return link.Result();
    }
    prompts.LoadStep(true);
    return VerifyFlash(link, prompts, check.m_nCheckWord);
}

EJobResult VerifyFlash(CSerlComm& link, IPrompts& prompts, uint16_t nImageCheckWord) {
    uint8_t abReply[frame::MAX_FRAME];
    std::optional<status::CUnitStatus> status;
    for (int nTry = 0; nTry < download::VERIFY_TRIES && !status; ++nTry) {
        if (link.Transact(0, 0, nullptr, abReply, sizeof abReply) != 0) continue;
        if (link.Transact(frame::CMD_STATUS, 2, nullptr, abReply, sizeof abReply) != 0) continue;
        status = frame::ParseStatusReply(abReply, link.ReplyLen());
    }
    if (!status) {
        link.SetResult(EJobResult::NoAnswer);
        prompts.Message(txt::FLASH_GONE);
        return link.Result();
    }
    if (status->m_nCheckWord == 0) {
        link.SetResult(EJobResult::Unverified);
        return link.Result();
    }
    if (status->m_nCheckWord == nImageCheckWord) {
        link.SetResult(EJobResult::Success);
        prompts.Message(txt::FLASH_OK);
        return link.Result();
    }
    link.SetResult(EJobResult::VerifyFailed);
    prompts.Message(txt::FLASH_CRC);
    return link.Result();
}
