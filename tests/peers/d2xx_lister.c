/* A neighbour on the test floor that keeps building the D2XX library's full device list (which
 * opens, claims and resets every idle device for a moment), as an older program would. Runs for
 * SECONDS, then prints how many lists it built. Usage: d2xx_lister SECONDS */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    void* h = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
    if (h == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 3;
    }
    typedef uint32_t (*TCreate)(uint32_t*);
    typedef uint32_t (*TGet)(void*, uint32_t*);
    TCreate create = (TCreate)dlsym(h, "FT_CreateDeviceInfoList");
    TGet get = (TGet)dlsym(h, "FT_GetDeviceInfoList");
    if (create == NULL || get == NULL)
        return 4;
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    double limit = atof(argv[1]);
    long lists = 0;
    static unsigned char nodes[64 * 104];
    do {
        uint32_t n = 0;
        if (create(&n) == 0 && n > 0 && n <= 64)
            get(nodes, &n);
        ++lists;
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((double)(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9 < limit);
    printf("%ld\n", lists);
    return 0;
}
