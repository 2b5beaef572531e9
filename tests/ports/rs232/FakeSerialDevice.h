#pragma once
// A serial device in memory for the driver's tests: it records every call, fails the calls it is
// told to, holds the bytes "received" and "sent", and lets a test raise device events that the
// driver's event thread is waiting for.

#include "platform/SerialDevice.h"

#include <QCoreApplication>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TestUtils {

class TFakeSerialDevice : public SerialDevice::ISerialDevice {
public:
    /// Every call by name, with its argument where it has one ("SetDtr 1", "Write 41").
    std::vector<std::string> Calls() const {
        std::lock_guard g(m);
        return calls;
    }
    void ClearCalls() {
        std::lock_guard g(m);
        calls.clear();
    }
    /// Makes every later call of `sName` fail with `iErr` (0 lets it succeed again).
    void Fail(const std::string& sName, int iErr) {
        std::lock_guard g(m);
        fails[sName] = iErr;
    }
    void AddRx(const std::string& s) {
        std::lock_guard g(m);
        rx += s;
    }
    std::string Tx() const {
        std::lock_guard g(m);
        return tx;
    }
    std::string Rx() const {
        std::lock_guard g(m);
        return rx;
    }
    void SetModem(uint32_t dw) {
        std::lock_guard g(m);
        modem = dw;
    }
    void SetTxWaiting(int32_t n) {
        std::lock_guard g(m);
        txWaiting = n;
        cv.notify_all();
    }
    /// What ReadSettings answers from now on, instead of what was applied.
    void SetReadBack(const SerialDevice::TLineSettings& s) {
        std::lock_guard g(m);
        readBack = s;
        hasReadBack = true;
    }
    /// Ends the pending wait with `dwEvents` (or the next wait, if none is pending).
    void Raise(uint32_t dwEvents) {
        std::lock_guard g(m);
        pending |= dwEvents;
        cv.notify_all();
    }
    /// Ends the pending or next wait with the error `iErr`.
    void FailWait(int iErr) {
        std::lock_guard g(m);
        waitError = iErr;
        cv.notify_all();
    }
    bool Waiting() const {
        std::lock_guard g(m);
        return waiting;
    }
    SerialDevice::TLineSettings Settings() const {
        std::lock_guard g(m);
        return settings;
    }
    std::string Path() const {
        std::lock_guard g(m);
        return path;
    }

    int Open(const std::string& sPath) override {
        std::lock_guard g(m);
        calls.push_back("Open");
        if (int e = FailOf("Open"))
            return e;
        path = sPath;
        open = true;
        return 0;
    }
    int Close() override {
        std::lock_guard g(m);
        calls.push_back("Close");
        open = false;
        cv.notify_all();
        return FailOf("Close");
    }
    bool IsOpen() const override {
        std::lock_guard g(m);
        return open;
    }
    int Handle() const override { return open ? 42 : -1; }
    int SetQueueSizes(uint16_t wRx, uint16_t wTx) override {
        return Log("SetQueueSizes " + std::to_string(wRx) + " " + std::to_string(wTx));
    }
    int ApplySettings(const SerialDevice::TLineSettings& s) override {
        std::lock_guard g(m);
        calls.push_back("ApplySettings");
        settings = s;
        return FailOf("ApplySettings");
    }
    int ReadSettings(SerialDevice::TLineSettings& s) override {
        std::lock_guard g(m);
        s = hasReadBack ? readBack : settings;
        return FailOf("ReadSettings");
    }
    int WaitOutput(int32_t iMaxQueued, uint32_t dwTimeoutMs, int32_t& iQueued) override {
        std::unique_lock g(m);
        cv.wait_for(g, std::chrono::milliseconds(dwTimeoutMs),
                    [&] { return txWaiting <= iMaxQueued; });
        iQueued = txWaiting;
        return FailOf("WaitOutput");
    }
    int Write(const void* pData, size_t iCount, uint32_t, size_t& iWritten) override {
        std::lock_guard g(m);
        calls.push_back("Write " + std::to_string(iCount));
        iWritten = 0;
        if (int e = FailOf("Write"))
            return e;
        tx.append(static_cast<const char*>(pData), iCount);
        iWritten = iCount;
        return 0;
    }
    int Read(void* pData, size_t iCount, size_t& iRead) override {
        std::lock_guard g(m);
        ++reads;
        iRead = 0;
        if (int e = FailOf("Read"))
            return e;
        iRead = std::min(iCount, rx.size());
        rx.copy(static_cast<char*>(pData), iRead);
        rx.erase(0, iRead);
        return 0;
    }
    int Purge(uint32_t dwFlags) override { return Log("Purge " + std::to_string(dwFlags)); }
    int QueueCounts(int32_t& iRx, int32_t& iTx) override {
        std::lock_guard g(m);
        iRx = static_cast<int32_t>(rx.size());
        iTx = txWaiting;
        return FailOf("QueueCounts");
    }
    int SetRts(bool bOn) override { return Log(std::string("SetRts ") + (bOn ? "1" : "0")); }
    int SetDtr(bool bOn) override { return Log(std::string("SetDtr ") + (bOn ? "1" : "0")); }
    int SetBreak(bool bOn) override { return Log(std::string("SetBreak ") + (bOn ? "1" : "0")); }
    int ResumeOutput() override { return Log("ResumeOutput"); }
    int ModemStatus(uint32_t& dwStatus) override {
        std::lock_guard g(m);
        dwStatus = modem;
        return FailOf("ModemStatus");
    }
    int SetEventMask(uint32_t dwMask) override {
        std::lock_guard g(m);
        calls.push_back("SetEventMask " + std::to_string(dwMask));
        mask = dwMask;
        ++maskGen;
        cv.notify_all();
        return FailOf("SetEventMask");
    }
    int WaitEvent(uint32_t& dwEvents) override {
        std::unique_lock g(m);
        dwEvents = 0;
        if (!open)
            return 9; // EBADF
        uint64_t gen = maskGen;
        waiting = true;
        cv.wait(g,
                [&] { return !open || maskGen != gen || waitError != 0 || (pending & mask) != 0; });
        waiting = false;
        if (waitError != 0) {
            int e = waitError;
            waitError = 0;
            return e;
        }
        dwEvents = pending & mask;
        pending &= ~dwEvents;
        return 0;
    }

    int reads = 0;

private:
    int FailOf(const std::string& sName) {
        auto it = fails.find(sName);
        return it == fails.end() ? 0 : it->second;
    }
    int Log(const std::string& sCall) {
        std::lock_guard g(m);
        calls.push_back(sCall);
        return FailOf(sCall.substr(0, sCall.find(' ')));
    }

    mutable std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> calls;
    std::map<std::string, int> fails;
    std::string rx, tx, path;
    SerialDevice::TLineSettings settings, readBack;
    bool hasReadBack = false;
    uint32_t modem = 0, mask = 0, pending = 0;
    uint64_t maskGen = 0;
    int32_t txWaiting = 0;
    int waitError = 0;
    bool open = false, waiting = false;
};

} // namespace TestUtils
