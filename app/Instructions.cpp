#include "app/Instructions.h"

#include "common/MsgUtils.h"
#include "ports/PortBase.h"

namespace Instructions {

namespace {
bool IsBlank(char16_t c) {
    return c >= 1 && c <= 32;
}
} // namespace

std::vector<std::u16string> SplitInstructions(const std::u16string& sList) {
    std::u16string list = sList.substr(0, sList.find(u'\0'));
    std::vector<std::u16string> out;
    size_t p = 0;
    auto skipBlanks = [&] {
        while (p < list.size() && IsBlank(list[p]))
            ++p;
    };
    skipBlanks();
    while (p < list.size()) {
        std::u16string statement;
        if (list[p] == u'"') {
            ++p;
            while (p < list.size()) {
                if (list[p] == u'"') {
                    if (p + 1 < list.size() && list[p + 1] == u'"') {
                        statement += u'"';
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                statement += list[p++];
            }
        } else {
            size_t start = p;
            while (p < list.size() && list[p] > u' ' && list[p] != u';')
                ++p;
            statement = list.substr(start, p - start);
        }
        out.push_back(statement);
        skipBlanks();
        if (p < list.size() && list[p] == u';') {
            if (p + 1 == list.size())
                out.emplace_back();
            ++p;
            skipBlanks();
        }
    }
    return out;
}

void Run(PortBase::TPortBase& aPort, const std::u16string& sList) {
    std::vector<std::u16string> statements = SplitInstructions(sList);
    for (size_t i = 0; i < statements.size(); ++i) {
        if (statements[i].empty())
            continue;
        if (!aPort.Instruct(statements[i]))
            throw MsgUtils::EMsg(u"Port instruction \"%s\" unknown or failed!", {statements[i]},
                                 0x010500, static_cast<int32_t>(i), 0);
    }
}

} // namespace Instructions
