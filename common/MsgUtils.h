#pragma once
// The message service: the one channel through which every unit reports what it does, and the
// exception every unit raises for its own failures.

#include "common/Classes.h"
#include "common/SysUtils.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace MsgUtils {

using Classes::TMemoryStream;
using Classes::TObject;

enum TMsgTypeId : uint8_t {
    eNone = 0,
    eDebug = 1,
    eTrace = 2,
    eInfo = 3,
    eHint = 4,
    eWarning = 5,
    eError = 6,
    eFatal = 7,
};

/// A message id: one 32-bit value; from low to high byte the reporting site, the method, the unit
/// and the level.
struct TMsgId {
    uint32_t Value = 0;

    uint8_t Param() const { return static_cast<uint8_t>(Value); }
    uint8_t MethodeNo() const { return static_cast<uint8_t>(Value >> 8); }
    uint8_t UnitNo() const { return static_cast<uint8_t>(Value >> 16); }
    uint8_t TypeNo() const { return static_cast<uint8_t>(Value >> 24); }
};

/// The subscriber: the sender, the id (level in its top byte) and the text.
using TNotifyMsgEvent =
    std::function<void(TObject* Sender, const TMsgId& oMsgId, const std::u16string& sMsg)>;

// Declares the four reporting members of one level: plain and formatted text, each with a 24-bit
// id or with the id given as unit, method and site.
#define TELVIK_MSG_LEVEL(Name, eLevel)                                                             \
    static void Name(const std::u16string& sMsg, uint32_t dwId) {                                  \
        Report(eLevel, sMsg, dwId);                                                                \
    }                                                                                              \
    static void Name(const std::u16string& sFormat, SysUtils::FmtArgs Args, uint32_t dwId) {       \
        Report(eLevel, SysUtils::Format(sFormat, Args), dwId);                                     \
    }                                                                                              \
    static void Name(const std::u16string& sMsg, uint8_t byUnit, uint8_t byMethode,                \
                     uint8_t byParam) {                                                            \
        Report(eLevel, sMsg, byUnit, byMethode, byParam);                                          \
    }                                                                                              \
    static void Name(const std::u16string& sFormat, SysUtils::FmtArgs Args, uint8_t byUnit,        \
                     uint8_t byMethode, uint8_t byParam) {                                         \
        Report(eLevel, SysUtils::Format(sFormat, Args), byUnit, byMethode, byParam);               \
    }

/// How a message that no singleton took was reported: by a whole id, by its parts, or on behalf
/// of a sender. The message box hook chooses the kind of box by it.
enum class TReportForm : uint8_t { rfId, rfParts, rfEvent };

/// The process-wide message service. The class-level members look the singleton up but never
/// create it; while there is none, the fallback takes the message, else the message box hook.
class TMsg : public TObject {
public:
    /// The singleton, created on first call.
    static TMsg* Instance();
    /// Frees the singleton; the next Instance() creates a new one.
    static void InstanceRelease();

    TELVIK_MSG_LEVEL(Debug, eDebug)
    TELVIK_MSG_LEVEL(Trace, eTrace)
    TELVIK_MSG_LEVEL(Info, eInfo)
    TELVIK_MSG_LEVEL(Hint, eHint)
    TELVIK_MSG_LEVEL(Warning, eWarning)
    TELVIK_MSG_LEVEL(Error, eError)
    TELVIK_MSG_LEVEL(Fatal, eFatal)

    /// Debug with the bytes of `msMsg` appended as hexadecimal in double quotes (none: plain).
    static void Debug(const std::u16string& sMsg, TMemoryStream* msMsg, uint32_t dwId);
    static void Debug(const std::u16string& sMsg, TMemoryStream* msMsg, uint8_t byUnit,
                      uint8_t byMethode, uint8_t byParam);

    /// Reports `sText` on behalf of `Sender` ("[%p] %s"), with `msData` as hexadecimal if given.
    static void Event(TObject* Sender, TMsgTypeId eType, const std::u16string& sText,
                      TMemoryStream* msData, uint32_t dwId);

    /// A text that asks for the user's eye (an unaccepted setting, a driver's error): reported
    /// like any message, then handed to the alert subscriber, which alone decides whether a modal
    /// box shows it as well. Without a singleton it takes the fallback of every message.
    static void Alert(TMsgTypeId e, const std::u16string& sMsg, uint32_t dwId);

    /// Where messages go while no singleton exists; unset, the message box hook shows each one.
    using TFallback = std::function<void(TMsgTypeId e, const std::u16string& sMsg)>;
    static void SetFallback(TFallback fallback);

    /// The last resort for a message without singleton and fallback: the application installs a
    /// modal box here, which is its choice alone. Without a hook such a message is dropped.
    using TBoxHook =
        std::function<void(TMsgTypeId e, TReportForm eForm, const std::u16string& sMsg)>;
    static void SetBoxHook(TBoxHook hook);

    /// Delivers `sMsg` to the subscriber, the level replacing the id's top byte.
    void NewMsg(TMsgTypeId e, uint32_t dwMsgId, const std::u16string& sMsg);
    void NewMsg(TMsgTypeId e, uint8_t byUnit, uint8_t byMethode, uint8_t byParam,
                const std::u16string& sMsg);
    void NewMsg(TObject* Sender, TMsgTypeId eMTI, uint8_t byUnit, uint8_t byMethode,
                uint8_t byParam, const std::u16string& sMsg);

    const TNotifyMsgEvent& OnNewMsg() const { return FOnNewMsg; }
    void SetOnNewMsg(TNotifyMsgEvent e) { FOnNewMsg = std::move(e); }
    void SetOnAlert(TFallback e) { fOnAlert = std::move(e); }

private:
    static void Report(TMsgTypeId e, const std::u16string& sText, uint32_t dwId);
    static void Report(TMsgTypeId e, const std::u16string& sText, uint8_t byUnit, uint8_t byMethode,
                       uint8_t byParam);
    static std::u16string StreamToHex(TMemoryStream& msData);
    void Deliver(TObject* Sender, uint32_t dwValue, const std::u16string& sMsg);

    TNotifyMsgEvent FOnNewMsg;
    TFallback fOnAlert;
};

#undef TELVIK_MSG_LEVEL

/// The exception of the message service: an id, a qualifying value and an optional plain text.
/// Its message is "%s\r\nID: %.6x:%d" with a text, "%.6x:%d" without.
class EMsg : public SysUtils::Exception {
public:
    EMsg(uint32_t dwId, int32_t iValue);
    EMsg(uint32_t dwId, int32_t iParam, int32_t iValue);
    EMsg(const std::u16string& sMsg, uint32_t dwId, int32_t iValue);
    EMsg(const std::u16string& sMsg, uint32_t dwId, int32_t iParam, int32_t iValue);
    EMsg(const std::u16string& sFormat, SysUtils::FmtArgs Args, uint32_t dwId, int32_t iParam,
         int32_t iValue);
    EMsg(const std::u16string& sFormat, SysUtils::FmtArgs Args, uint32_t dwId, int32_t iValue);

    const TMsgId& Id() const { return FId; }
    int32_t Value() const { return FiValue; }
    const std::u16string& Msg() const { return FsMsg; }
    /// "%.6x:%d" of the id and the value.
    std::u16string MsgNo() const;

private:
    void Compose(std::u16string sMsg, bool bWithText, uint32_t dwId, int32_t iParam,
                 int32_t iValue);

    TMsgId FId;
    int32_t FiValue = 0;
    std::u16string FsMsg;
};

/// What an exception says in a log line: the message of a SysUtils::Exception, the what() of
/// any other std::exception, "Unknown exception" for anything else (null), and the hint only a
/// SysUtils::Exception carries.
struct TExceptionText {
    std::u16string Text;
    std::u16string Hint;
};
TExceptionText DescribeException(const std::exception* E);
TExceptionText DescribeException(const std::exception_ptr& E);

/// Logs an exception as a Fatal line, `sPrefix` before its text, then its hint, if any.
void ReportFatal(const TExceptionText& e, const std::u16string& sPrefix = u"");

} // namespace MsgUtils
