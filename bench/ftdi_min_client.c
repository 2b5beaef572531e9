/* The least a program can do for a Telvik FTDI job, for comparison: through FTDI's D2XX library
 * (loaded at run time, as Telvik loads it), open the device by serial number, reset it, set
 * 9600 8N1 without flow control, send STX "A" ETX, wait up to two seconds for STX "OK" ETX,
 * close, and end as any plain program ends. Usage: ftdi_min_client SERIAL */
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

typedef uint32_t DWORD;
typedef void* FT_HANDLE;
typedef DWORD (*TOpenEx)(void*, DWORD, FT_HANDLE*);
typedef DWORD (*THandle)(FT_HANDLE);
typedef DWORD (*TBaud)(FT_HANDLE, DWORD);
typedef DWORD (*TData)(FT_HANDLE, unsigned char, unsigned char, unsigned char);
typedef DWORD (*TFlow)(FT_HANDLE, unsigned short, unsigned char, unsigned char);
typedef DWORD (*TNotify)(FT_HANDLE, DWORD, void*);
typedef DWORD (*TStatus)(FT_HANDLE, DWORD*, DWORD*, DWORD*);
typedef DWORD (*TIo)(FT_HANDLE, void*, DWORD, DWORD*);

struct TEvent {
    pthread_cond_t cond;
    pthread_mutex_t mutex;
    int var;
};

#define BIND(type, name) type name = (type)dlsym(lib, #name)

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    void* lib = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL)
        return 68;
    BIND(TOpenEx, FT_OpenEx);
    BIND(THandle, FT_ResetDevice);
    BIND(TBaud, FT_SetBaudRate);
    BIND(TData, FT_SetDataCharacteristics);
    BIND(TFlow, FT_SetFlowControl);
    BIND(TNotify, FT_SetEventNotification);
    BIND(TStatus, FT_GetStatus);
    BIND(TIo, FT_Write);
    BIND(TIo, FT_Read);
    BIND(THandle, FT_Close);
    FT_HANDLE h = NULL;
    if (FT_OpenEx(argv[1], 1, &h) != 0)
        return 67;
    if (FT_ResetDevice(h) != 0 || FT_SetBaudRate(h, 9600) != 0 ||
        FT_SetDataCharacteristics(h, 8, 0, 0) != 0 || FT_SetFlowControl(h, 0, 17, 19) != 0)
        return 67;
    struct TEvent ev;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&ev.cond, &attr);
    pthread_mutex_init(&ev.mutex, NULL);
    FT_SetEventNotification(h, 1, &ev);
    char tx[] = "\x02"
                "A"
                "\x03",
         rx[64];
    DWORD n = 0, got = 0;
    if (FT_Write(h, tx, 3, &n) != 0 || n != 3)
        return 56;
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += 2;
    int rc = 54;
    pthread_mutex_lock(&ev.mutex);
    for (;;) {
        /* Asked under the event's mutex, which the library signals under. */
        DWORD waiting = 0, txq = 0, events = 0;
        FT_GetStatus(h, &waiting, &txq, &events);
        if (waiting > 0 && got + waiting <= sizeof rx) {
            FT_Read(h, rx + got, waiting, &n);
            got += n;
        }
        if (got >= 4) {
            rc = memcmp(rx, "\x02OK\x03", 4) == 0 ? 0 : 51;
            break;
        }
        if (pthread_cond_timedwait(&ev.cond, &ev.mutex, &until) != 0)
            break;
    }
    pthread_mutex_unlock(&ev.mutex);
    FT_Close(h);
    return rc;
}
