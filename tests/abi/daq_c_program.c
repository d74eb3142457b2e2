// SPDX-License-Identifier: MIT
/* A plain C program that drives a DAQ through the C functions, in the
 * calling pattern an application in another language would use.
 * Usage: daq_c_program <device path> <device version text>
 * Exits 0 when every step behaved; prints the failing step otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "c_check.h"
#include "kine/kine_c.h"

/* Waits for the next sample: 3-axis reads, or 6-axis reads for the
 * six-axis units (versions 5 and 8). */
static int read_until_data(KineDAQHandle* daq, kine_package* p, kine_package6d* p6, bool six_axis) {
    return six_axis ? callWaitRead6D(daq, p6, 2000) : callWaitRead(daq, p, 0, 2000);
}

int main(int argc, char** argv) {
    KineDAQHandle* daq;
    kine_package sample;
    kine_package6d sample6d;
    bool six_axis;
    int version;
    kine_package* all = NULL;
    int* axes = NULL;
    int values[8];
    int big[128];
    unsigned char config = 0;
    int r, i, sensors;

    if (argc < 3) {
        fprintf(stderr, "usage: %s <device path> <device version text>\n", argv[0]);
        return 2;
    }
    callKineDAQ_Dispose(NULL);

    daq = callKineDAQ_Create();
    CHECK(daq != NULL);
    CHECK(!callOpen(daq, "", argv[2]));
    CHECK(callGetLastOpenError(daq) == KINE_OPEN_INVALID_ARGUMENT);
    CHECK(callGetLastOpenErrno(daq) == 0);
    CHECK(callOpenErrorText(callGetLastOpenError(daq)) != NULL);
    CHECK(!callIsOpen(daq));
    CHECK(callRead(daq, &sample, 0, false) == KINE_NOT_OPEN);
    CHECK(callWaitRead(daq, &sample, 0, -1) == KINE_NOT_OPEN);
    CHECK(callWaitReadAll(NULL, &all, 10) == KINE_NOT_OPEN);

    CHECK(callOpen(daq, argv[1], argv[2]));
    CHECK(callGetLastOpenError(daq) == KINE_OPEN_OK);
    CHECK(callIsOpen(daq));
    CHECK(strcmp(callGetPortName(daq), argv[1]) == 0);
    version = callGetActualVersion(daq);
    CHECK(version >= 3 && version <= 8);
    six_axis = version == 5 || version == 8;
    CHECK(callGetBytesPerRead(daq) >= 1);

    memset(&sample, 0, sizeof sample);
    memset(&sample6d, 0, sizeof sample6d);
    r = read_until_data(daq, &sample, &sample6d, six_axis);
    CHECK(r > 0);
    if (six_axis)
        CHECK(sample6d.sensors[0].version == version);
    else
        CHECK(sample.version == version);
    sensors = callGetSensorSize(daq);
    CHECK(sensors == (version == 3 || version == 6 ? 1 : 4));
    CHECK(callIsChksumOK(daq));
    CHECK(callGetSize(daq) > 0);
    CHECK(callReadArray(daq, values, true) >= 0);
    CHECK(callReadVirtualArray(daq, big, true) >= 0);

    CHECK(callGetConfig(daq, &config) == config);
    CHECK(callSendConfig(daq, 1, 1000, 15));
    CHECK((callGetConfig(daq, NULL) & 0x1E) == 0x06);

    /* callZero succeeds once a frame has come in to measure. The three-axis
       read behind it gives no sample of a six-axis unit (zeroed with
       callZeroAll), so there it never measures anything and fails. */
    if (six_axis) {
        CHECK(!callZero(daq, 0));
    } else {
        for (i = 0; i < 100 && !callZero(daq, 0); ++i) {
        }
        CHECK(i < 100);
    }
    CHECK(!callZero(daq, 16));
    CHECK(callUnzero(daq, 0));
    callZeroAll(daq);
    callUnzeroAll(daq);

    if (!six_axis) {
        /* readAll: the same pointer goes back on every call. */
        for (i = 0; i < 20; ++i) {
            r = callReadAll(daq, &all, false);
            CHECK(r >= 0);
            if (r > 0) CHECK(all != NULL && all[0].version == version);
        }
        /* The streaming loop: each call waits for the next samples. */
        for (i = 0; i < 5; ++i) {
            r = callWaitReadAll(daq, &all, 2000);
            CHECK(r > 0 && all != NULL && all[0].version == version);
        }
        callDeletePackageArray(&all);
        all = NULL;
    } else {
        kine_package6d* all6d = NULL;
        for (i = 0; i < 5; ++i) {
            r = callWaitReadAll6D(daq, &all6d, 2000);
            CHECK(r > 0 && all6d != NULL && all6d[0].sensors[0].version == version);
        }
        callDeletePackage6DArray(&all6d);
    }
    callDeletePackageArray(&all); /* NULL: nothing to do */

    if (sensors == 4 && !six_axis) {
        int six[6];
        CHECK(callRead6Axis(daq, six, false) >= 0);
        for (i = 0; i < 10; ++i) {
            r = callReadAll6Axis(daq, &axes, false);
            CHECK(r >= 0);
            CHECK(axes != NULL);
        }
        callDeleteIntArray(&axes);
    } else if (sensors == 1) {
        CHECK(callReadAll6Axis(daq, &axes, false) == KINE_NO_SUCH_SENSOR);
    }
    axes = NULL;
    callDeleteIntArray(&axes);

    callClose(daq);
    CHECK(!callIsOpen(daq));
    CHECK(callWaitRead6D(daq, &sample6d, 0) == KINE_NOT_OPEN);
    callClose(daq);
    callKineDAQ_Dispose(daq);
    if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
    return failures ? 1 : 0;
}
