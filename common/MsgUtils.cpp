#include "common/MsgUtils.h"

#include <algorithm>

namespace MsgUtils {

using SysUtils::Format;

namespace {

TMsg* gInstance = nullptr;
TMsg::TFallback gFallback;
TMsg::TBoxHook gBoxHook;

void Unheard(TMsgTypeId e, TReportForm eForm, const std::u16string& sText) {
    if (gFallback)
        gFallback(e, sText);
    else if (gBoxHook)
        gBoxHook(e, eForm, sText);
}

} // namespace

TMsg* TMsg::Instance() {
    if (gInstance == nullptr)
        gInstance = new TMsg();
    return gInstance;
}

void TMsg::InstanceRelease() {
    TMsg* p = gInstance;
    gInstance = nullptr;
    delete p;
}

void TMsg::SetFallback(TFallback fallback) {
    gFallback = std::move(fallback);
}

void TMsg::SetBoxHook(TBoxHook hook) {
    gBoxHook = std::move(hook);
}

void TMsg::Report(TMsgTypeId e, const std::u16string& sText, uint32_t dwId) {
    if (gInstance != nullptr)
        gInstance->NewMsg(e, dwId, sText);
    else
        Unheard(e, TReportForm::rfId, sText);
}

void TMsg::Report(TMsgTypeId e, const std::u16string& sText, uint8_t byUnit, uint8_t byMethode,
                  uint8_t byParam) {
    if (gInstance != nullptr)
        gInstance->NewMsg(e, byUnit, byMethode, byParam, sText);
    else
        Unheard(e, TReportForm::rfParts, sText);
}

void TMsg::Alert(TMsgTypeId e, const std::u16string& sMsg, uint32_t dwId) {
    Report(e, sMsg, dwId);
    if (gInstance != nullptr && gInstance->fOnAlert) {
        TFallback alert = gInstance->fOnAlert;
        alert(e, sMsg);
    }
}

void TMsg::Debug(const std::u16string& sMsg, TMemoryStream* msMsg, uint32_t dwId) {
    Report(eDebug, msMsg ? Format(u"%s \"%s\"", {sMsg, StreamToHex(*msMsg)}) : sMsg, dwId);
}

void TMsg::Debug(const std::u16string& sMsg, TMemoryStream* msMsg, uint8_t byUnit,
                 uint8_t byMethode, uint8_t byParam) {
    Report(eDebug, msMsg ? Format(u"%s \"%s\"", {sMsg, StreamToHex(*msMsg)}) : sMsg, byUnit,
           byMethode, byParam);
}

void TMsg::Event(TObject* Sender, TMsgTypeId eType, const std::u16string& sText,
                 TMemoryStream* msData, uint32_t dwId) {
    const void* address = Sender;
    std::u16string text = msData ? Format(u"[%p] %s \"%s\"", {address, sText, StreamToHex(*msData)})
                                 : Format(u"[%p] %s", {address, sText});
    if (gInstance != nullptr)
        gInstance->NewMsg(eType, dwId, text);
    else
        Unheard(eType, TReportForm::rfEvent, text);
}

void TMsg::NewMsg(TMsgTypeId e, uint32_t dwMsgId, const std::u16string& sMsg) {
    Deliver(this, (static_cast<uint32_t>(e) << 24) | (dwMsgId & 0xFFFFFF), sMsg);
}

void TMsg::NewMsg(TMsgTypeId e, uint8_t byUnit, uint8_t byMethode, uint8_t byParam,
                  const std::u16string& sMsg) {
    NewMsg(this, e, byUnit, byMethode, byParam, sMsg);
}

void TMsg::NewMsg(TObject* Sender, TMsgTypeId eMTI, uint8_t byUnit, uint8_t byMethode,
                  uint8_t byParam, const std::u16string& sMsg) {
    Deliver(Sender,
            (static_cast<uint32_t>(eMTI) << 24) | (static_cast<uint32_t>(byUnit) << 16) |
                (static_cast<uint32_t>(byMethode) << 8) | byParam,
            sMsg);
}

void TMsg::Deliver(TObject* Sender, uint32_t dwValue, const std::u16string& sMsg) {
    if (!FOnNewMsg)
        return;
    // Copy first: a subscriber may replace itself while it runs.
    TNotifyMsgEvent subscriber = FOnNewMsg;
    subscriber(Sender, TMsgId{dwValue}, sMsg);
}

std::u16string TMsg::StreamToHex(TMemoryStream& msData) {
    msData.SetPosition(0);
    int64_t n = msData.Size();
    std::u16string text;
    text.reserve(static_cast<size_t>(n) * 3);
    for (int64_t i = 0; i < n; ++i) {
        unsigned char b = 0;
        msData.Read(&b, 1);
        if (i > 0)
            text += u' ';
        text += Format(u"%.2x", {b});
    }
    return text;
}

EMsg::EMsg(uint32_t dwId, int32_t iValue) : Exception(u"") {
    Compose(u"", false, dwId, -1, iValue);
}

EMsg::EMsg(uint32_t dwId, int32_t iParam, int32_t iValue) : Exception(u"") {
    Compose(u"", false, dwId, iParam, iValue);
}

EMsg::EMsg(const std::u16string& sMsg, uint32_t dwId, int32_t iValue) : Exception(u"") {
    Compose(sMsg, true, dwId, -1, iValue);
}

EMsg::EMsg(const std::u16string& sMsg, uint32_t dwId, int32_t iParam, int32_t iValue)
    : Exception(u"") {
    Compose(sMsg, true, dwId, iParam, iValue);
}

EMsg::EMsg(const std::u16string& sFormat, SysUtils::FmtArgs Args, uint32_t dwId, int32_t iParam,
           int32_t iValue)
    : Exception(u"") {
    Compose(Format(sFormat, Args), true, dwId, iParam, iValue);
}

EMsg::EMsg(const std::u16string& sFormat, SysUtils::FmtArgs Args, uint32_t dwId, int32_t iValue)
    : Exception(u"") {
    Compose(Format(sFormat, Args), true, dwId, -1, iValue);
}

void EMsg::Compose(std::u16string sMsg, bool bWithText, uint32_t dwId, int32_t iParam,
                   int32_t iValue) {
    FId.Value = dwId;
    // An addition to the whole id, not a replacement of its site byte: raisers pass ids whose
    // site byte is 0.
    if (iParam >= 0)
        FId.Value += static_cast<uint32_t>(std::min(iParam, 255));
    FiValue = iValue;
    FsMsg = std::move(sMsg);
    SetMessage(!bWithText ? MsgNo() : Format(u"%s\r\nID: %s", {FsMsg, MsgNo()}));
}

std::u16string EMsg::MsgNo() const {
    return Format(u"%.6x:%d", {FId.Value, FiValue});
}

TExceptionText DescribeException(const std::exception* E) {
    if (auto* e = dynamic_cast<const SysUtils::Exception*>(E))
        return {e->Message(), e->Hint()};
    return {E ? SysUtils::FromUtf8(E->what()) : u"Unknown exception", {}};
}

TExceptionText DescribeException(const std::exception_ptr& E) {
    try {
        if (E)
            std::rethrow_exception(E);
    } catch (const std::exception& e) {
        return DescribeException(&e);
    } catch (...) {
    }
    return DescribeException(static_cast<const std::exception*>(nullptr));
}

void ReportFatal(const TExceptionText& e, const std::u16string& sPrefix) {
    TMsg::Fatal(sPrefix + e.Text, 0);
    if (!e.Hint.empty())
        TMsg::Hint(u"%s", {e.Hint}, 0);
}

} // namespace MsgUtils
