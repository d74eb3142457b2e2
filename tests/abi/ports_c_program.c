// SPDX-License-Identifier: MIT
/* A plain C program that follows both calling patterns of port discovery:
 * events (new ports, then a lost one) and the list.
 * Usage: ports_c_program <dev root> <sys root> then, per expected DAQ, its
 * port name, device version text and serial; the first DAQ is unplugged by
 * removing its port name from the dev root.
 * Linked against the test build of libkine.so, which also exports the seam
 * that points discovery at a fake tree.
 * Exits 0 when every step behaved; prints the failing step otherwise. */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "c_check.h"
#include "kine/kine_c.h"

/* Test-only export of the test build (not in any public header). */
void kine_ports_set_roots(const char* dev_root, const char* sys_root);

static void sleep_ms(long ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&ts, NULL);
}

/* The index of the expected DAQ with this triple, or -1. */
static int find(char** argv, int daqs, char** port) {
    int i;
    for (i = 0; i < daqs; ++i) {
        char** want = argv + 3 + 3 * i;
        if (strcmp(port[0], want[0]) == 0 && strcmp(port[1], want[1]) == 0 && strcmp(port[2], want[2]) == 0) return i;
    }
    return -1;
}

int main(int argc, char** argv) {
    KinePortsHandle* ports;
    char* port[3];
    char** list;
    int daqs, seen = 0, waited, n, i;

    if (argc < 6 || (argc - 3) % 3 != 0) {
        fprintf(stderr, "usage: %s <dev root> <sys root> {<port> <version> <serial>}...\n", argv[0]);
        return 2;
    }
    daqs = (argc - 3) / 3;
    kine_ports_set_roots(argv[1], argv[2]);
    callKinePorts_Dispose(NULL);
    ports = callKinePorts_Create();
    CHECK(ports != NULL);
    if (ports == NULL) return 1;

    /* Events: every DAQ is reported once. */
    for (waited = 0; seen < daqs && waited < 20000; waited += 20) {
        if (!callIsNewPort(ports)) {
            sleep_ms(20);
            continue;
        }
        CHECK(callIsNewPort(ports)); /* asking again takes nothing */
        callGetNewPort(ports, port);
        CHECK(find(argv, daqs, port) >= 0);
        callDeleteKPORT(port);
        ++seen;
    }
    CHECK(seen == daqs);
    CHECK(!callIsNewPort(ports));
    callGetNewPort(ports, port); /* nothing waits: three empty strings */
    CHECK(port[0][0] == '\0' && port[1][0] == '\0' && port[2][0] == '\0');
    callDeleteKPORT(port);
    CHECK(callGetSizePorts(ports) == daqs);

    /* List: the arguments give the DAQs in ascending port-name order. */
    list = callListPorts(ports);
    n = callGetLastSize(ports);
    CHECK(list != NULL && n == daqs);
    for (i = 0; i < n && i < daqs; ++i) CHECK(find(argv, daqs, list + 3 * i) == i);
    callDeletePORTLIST(&list, n);

    /* Unplug the first: one lost event with its triple. */
    CHECK(unlink(argv[3]) == 0);
    for (waited = 0; !callIsLostPort(ports) && waited < 10000; waited += 20) sleep_ms(20);
    CHECK(callIsLostPort(ports));
    callGetLostPort(ports, port);
    CHECK(find(argv, daqs, port) == 0);
    callDeleteKPORT(port);
    CHECK(!callIsLostPort(ports));
    port[0] = port[1] = port[2] = NULL;
    callDeleteKPORT(port);

    list = callListPorts(ports);
    n = callGetLastSize(ports);
    CHECK(n == daqs - 1);
    callDeletePORTLIST(&list, n);

    callKinePorts_Dispose(ports);
    return failures == 0 ? 0 : 1;
}
