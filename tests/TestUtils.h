#pragma once
// Helpers shared by the tests: a recorder of the message service and waiting on the event loop.
// (GoogleTest prints UTF-16 text itself; a second printer for it would make every such assertion
// ambiguous.)

#include "common/MsgUtils.h"
#include "common/SysUtils.h"

#include <QCoreApplication>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace TestUtils {

/// `s` as plain ASCII for test names: letters, digits and "=$+-." as they are, anything else as
/// its hexadecimal code in angle brackets.
inline std::string Printable(const std::u16string& s) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char16_t c : s) {
        bool plain = (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') ||
                     (c >= u'a' && c <= u'z') ||
                     std::u16string_view(u"=$+-.").find(c) != std::u16string_view::npos;
        if (plain) {
            out += static_cast<char>(c);
            continue;
        }
        out += '<';
        for (int shift = c > 0xFF ? 12 : 4; shift >= 0; shift -= 4)
            out += kHex[(c >> shift) & 0xF];
        out += '>';
    }
    return out.empty() ? "empty" : out;
}

/// Subscribes to the message service while it lives and keeps every message.
class MsgRecorder {
public:
    struct Entry {
        uint32_t id;
        std::u16string text;
        MsgUtils::TObject* sender;
    };

    MsgRecorder() {
        MsgUtils::TMsg::Instance()->SetOnNewMsg(
            [this](MsgUtils::TObject* s, const MsgUtils::TMsgId& id, const std::u16string& t) {
                entries.push_back({id.Value, t, s});
            });
    }
    ~MsgRecorder() { MsgUtils::TMsg::InstanceRelease(); }

    /// Every text, in order.
    std::vector<std::u16string> Texts() const {
        std::vector<std::u16string> out;
        for (const auto& e : entries)
            out.push_back(e.text);
        return out;
    }
    /// Every text as UTF-8, in order.
    std::vector<std::string> Utf8Texts() const {
        std::vector<std::string> out;
        for (const auto& e : entries)
            out.push_back(SysUtils::ToUtf8(e.text));
        return out;
    }
    /// The level of every message, in order.
    std::vector<uint8_t> Levels() const {
        std::vector<uint8_t> out;
        for (const auto& e : entries)
            out.push_back(static_cast<uint8_t>(e.id >> 24));
        return out;
    }

    std::vector<Entry> entries;
};

/// The milliseconds `fn` takes.
inline long long MsTaken(const std::function<void()>& fn) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

/// Handles the main thread's events until `done` holds or `ms` milliseconds have passed; the
/// final value of `done`. `PumpUntil([] { return false; }, ms)` lets the loop run for `ms`.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 2000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

} // namespace TestUtils
