/*
 * Reads the serial number many times and releases every buffer with free()
 * from msvcrt.dll, found by name as the C# and Python bindings find it, then
 * checks through msvcrt's heap walk that no block per read was left behind.
 *
 *   serial_free_test <expected serial> <reads>
 *
 * The runner's controller must answer the local handshake and every query.
 */
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "QuorvellanAPI.h"

typedef void(__cdecl* FreeFunction)(void*);

/* Blocks in use on msvcrt's heap, the one the DLL and this program share. */
static long UsedBlocks(void) {
    _HEAPINFO entry;
    long used = 0;
    entry._pentry = NULL;
    while (_heapwalk(&entry) == _HEAPOK)
        if (entry._useflag == _USEDENTRY) ++used;
    return used;
}

static FreeFunction MsvcrtFree(void) {
    HMODULE msvcrt = LoadLibraryA("msvcrt.dll");
    return msvcrt ? (FreeFunction)(void (*)(void))GetProcAddress(msvcrt, "free") : NULL;
}

/* Reads the serial number `reads` times, each freed at once; 0 when all match. */
static int ReadAndFree(FreeFunction release, const char* expected, long reads) {
    for (long i = 0; i < reads; ++i) {
        const char* serial = GetTreadmillSerialNumber();
        if (strcmp(serial, expected) != 0) {
            fprintf(stderr, "read %ld: serial '%s', expected '%s'\n", i, serial, expected);
            return 1;
        }
        release((void*)serial);
    }
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: serial_free_test <expected serial> <reads>\n");
        return 2;
    }
    const long reads = strtol(argv[2], NULL, 10);
    FreeFunction release = MsvcrtFree();
    int status = -1;
    if (release == NULL || InitInternal(&status, true) != 1) {
        fprintf(stderr, "no msvcrt free, or no connection (status %d)\n", status);
        return 1;
    }
    /* The first read sets up the session's buffers: count from the second. */
    if (ReadAndFree(release, argv[1], 1) != 0) return 1;
    const long before = UsedBlocks();
    if (ReadAndFree(release, argv[1], reads) != 0) return 1;
    const long grown = UsedBlocks() - before;
    DeInitInternal();
    printf("%ld reads, msvcrt heap blocks in use: %ld before, %+ld after\n", reads, before, grown);
    /* A leak would leave one block per read; allow the session some slack. */
    return before > 0 && grown < reads / 10 ? 0 : 1;
}
