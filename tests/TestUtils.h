#pragma once
// Helpers shared by the tests: a recorder of the message service.

#include "common/MsgUtils.h"
#include "common/SysUtils.h"

#include <ostream>
#include <string>
#include <vector>

namespace TestUtils {

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

    std::vector<Entry> entries;
};

} // namespace TestUtils
