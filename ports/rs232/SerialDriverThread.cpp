// The serial driver's event thread.

#include "ports/rs232/SerialDriver.h"

#include <chrono>

namespace SerialDriver {

using namespace SerialDevice;

TEventThread::TEventThread(TSerial* parentTSerial) : FParentInstance(parentTSerial) {}

TEventThread::~TEventThread() {
    Terminate();
}

void TEventThread::Start() {
    if (!fThread.joinable())
        fThread = std::thread([this] { Execute(); });
}

void TEventThread::Terminate() {
    {
        std::lock_guard g(FParentInstance->FSyncLock);
        fTerminated = true;
    }
    FParentInstance->FSync.notify_all();
    fHandOver.Cancel();
    if (fThread.joinable())
        fThread.join();
}

void TEventThread::Execute() {
    TSerial& s = *FParentInstance;
    while (!fTerminated) {
        if (!s.FActive) {
            s.ThreadLeft();
            std::unique_lock g(s.FSyncLock);
            s.FSync.wait_for(g, std::chrono::milliseconds(100),
                             [&] { return fTerminated || s.FActive; });
            continue;
        }
        s.FThreadActive = true;
        uint32_t events = 0;
        int e = s.FDevice->WaitEvent(events);
        if (e != 0) {
            if (s.FActive)
                ReportFromThread(e);
            // Whatever keeps failing must not keep a core busy.
            std::unique_lock g(s.FSyncLock);
            s.FSync.wait_for(g, std::chrono::milliseconds(20),
                             [&] { return fTerminated || !s.FActive; });
            continue;
        }
        if (s.AbortInProgress)
            continue;
        Dispatch(events);
    }
    s.ThreadLeft();
}

bool TEventThread::HandToMain(std::function<void()> fn) {
    TSerial& s = *FParentInstance;
    if (!s.FActive)
        return false;
    uint32_t session = s.fiSession;
    return fHandOver.Call([&s, session, fn = std::move(fn)] {
        if (s.FActive && s.fiSession == session)
            fn();
    });
}

void TEventThread::ReportFromThread(int iCode) {
    TSerial& s = *FParentInstance;
    HandToMain([&s, iCode] { s.CheckLastError(iCode); });
}

void TEventThread::SignalChange(eModemInSignal eSignal, uint32_t dwBit) {
    TSerial& s = *FParentInstance;
    uint32_t status = 0;
    s.FDevice->ModemStatus(status);
    bool state = (status & dwBit) != 0;
    switch (eSignal) {
    case msCTS:
        s.FCTSSignalState = state;
        break;
    case msDSR:
        s.FDSRSignalState = state;
        break;
    case msRLSD:
        s.FRLSDSignalState = state;
        break;
    }
    HandToMain([&s, eSignal, state] {
        if (s.FOnSignalChange)
            s.FOnSignalChange(&s, eSignal, state);
    });
}

void TEventThread::Dispatch(uint32_t dwEvents) {
    TSerial& s = *FParentInstance;
    auto fire = [&](TNotifyEvent TSerial::*handler) {
        return HandToMain([&s, handler] {
            if (s.*handler)
                (s.*handler)(&s);
        });
    };
    if (dwEvents & evCTS)
        SignalChange(msCTS, msCtsOn);
    if (dwEvents & evDSR)
        SignalChange(msDSR, msDsrOn);
    if (dwEvents & evRLSD)
        SignalChange(msRLSD, msRlsdOn);
    if ((dwEvents & evTxEmpty) && !fire(&TSerial::FOnTxEmpty))
        return;
    if ((dwEvents & evBreak) && !fire(&TSerial::FOnBreak))
        return;
    if ((dwEvents & evRing) && !fire(&TSerial::FOnRing))
        return;
    if (dwEvents & evRxChar) {
        if (s.FRxEventMode == rxNormal) {
            // Without a handler the bytes stay in the device's input queue.
            if (s.FHasOnRxData)
                fire(&TSerial::FOnRxData);
        } else if (s.FHasOnMessage) {
            AssembleMessages();
        }
    }
}

void TEventThread::AssembleMessages() {
    TSerial& s = *FParentInstance;
    while (s.FActive && !fTerminated) {
        uint8_t by = 0;
        size_t n = 0;
        int e = s.FDevice->Read(&by, 1, n);
        if (e != 0) {
            ReportFromThread(e);
            return;
        }
        if (n == 0)
            return;
        if (!AssembleByte(by))
            continue;
        std::string message = s.Message();
        bool handled = HandToMain([&s, message] {
            if (s.FOnMessage)
                s.FOnMessage(&s, message);
        });
        if (!handled)
            return;
    }
}

bool TEventThread::AssembleByte(uint8_t by) {
    TSerial& s = *FParentInstance;
    std::lock_guard g(s.FMessageLock);
    const char c = static_cast<char>(by);
    if (s.FMessageState == msEnded) {
        s.FMessage += c;
        if (s.FMessageAppendLeft > 0)
            --s.FMessageAppendLeft;
        if (s.FMessageAppendLeft != 0)
            return false;
        s.FMessageState = msDone;
        return true;
    }
    // The start byte is tested first: when start and end are equal, the byte starts anew.
    if (by == s.FMessageStartByte) {
        s.FMessage.assign(1, c);
        s.FMessageState = msStarted;
        return false;
    }
    if (s.FMessageState != msStarted)
        return false;
    s.FMessage += c;
    if (by != s.FMessageEndByte)
        return false;
    if (s.FMessageAppendCount == 0) {
        s.FMessageState = msDone;
        return true;
    }
    s.FMessageAppendLeft = s.FMessageAppendCount;
    s.FMessageState = msEnded;
    return false;
}

} // namespace SerialDriver
