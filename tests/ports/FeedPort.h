#pragma once
// The smallest port kind: no device, received bytes fed in by hand. For benchmarks and fuzzing
// of the port base.

#include "ports/PortBase.h"

class TFeedPort : public PortBase::TPortBase {
public:
    using TPortBase::TPortBase;
    void Init(const IniFiles::TMemIniFile&) override {}
    bool Active() override { return true; }
    void Open() override {}
    void Close() override {}
    void Feed(const std::string& bytes) { ReceiveData(bytes); }
};
