/* A complete small host of the vpisd driver: describe, start VPI 1, parse one register tag,
 * optionally write it, read it, close.
 *
 *   cc host.c $(pkg-config --cflags --libs vpisd) -rdynamic -o host
 *   ./host /dev/ttyS0 P10100          read register 100 of the PLC named P1
 *   ./host /dev/ttyS0 P10100 1234     write 1234 to it, then read it back
 *
 * Run it in the directory that holds the init file vpiSD01.int (without one the VPI runs
 * peer to peer and tags begin with 00). Exit status: the driver's result (0, 1 or 2). */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vpisd/vpi.h>

/* The driver's messages. It looks this function up by name in the global symbol scope, so
 * the executable must export it (-rdynamic); without it they go to standard error. */
void VpiHostLog(int32_t level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "[%d] ", (int)level);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

static int32_t Call(VpiContext *vpi, int32_t command, void *data) {
    VpiRequest request;
    memset(&request, 0, sizeof request);
    request.context = vpi;
    request.command = command;
    request.vpiNumber = 1; /* names the init file vpiSD01.int */
    request.data = data;
    return VpiMain(&request);
}

int main(int argc, char **argv) {
    if (argc < 3 || argc > 4 || strlen(argv[1]) > 11) {
        fprintf(stderr, "usage: %s PORT GAS [VALUE]   (PORT: at most 11 characters)\n", argv[0]);
        return 4;
    }
    const char *gas = argv[2];

    /* Describe first: it needs no instance and tells how many bytes one VPI takes. */
    DriverInfo info;
    memset(&info, 0, sizeof info);
    Call(NULL, VPI_DESCRIBE, &info);
    VpiContext *vpi = calloc(1, (size_t)info.contextSize);
    if (vpi == NULL)
        return 4;

    /* Start: reads the init file, opens the port with the driver's default line settings. */
    StartParams start;
    memset(&start, 0, sizeof start);
    strcpy(start.portName, argv[1]);
    start.portEnabled = 1;
    start.timeout = 100; /* units of 10 ms: one second per read */
    start.baudRate = info.baudRate;
    start.dataBits = info.dataBits;
    start.stopBits = info.stopBits;
    start.parity = info.parity;
    int32_t result = Call(vpi, VPI_START, &start);
    if (result != VPI_OK) {
        free(vpi);
        return result;
    }

    /* Parse: type 0 is a 16-bit register; the results go into every later access. */
    TagDescriptor tag;
    memset(&tag, 0, sizeof tag);
    tag.gas = gas;
    tag.type = 0;
    result = Call(vpi, VPI_SINGLE_PARSE, &tag);
    if (result == VPI_OK) {
        /* One value lives in element 1; element 0 is used only by blocks. */
        uint16_t values[2] = {0, 0};
        TagAccess access;
        memset(&access, 0, sizeof access);
        access.gas = gas;
        access.slot = tag.slot;
        access.kind = tag.kind;
        access.address = tag.address;
        access.bit = tag.bit;
        access.type = tag.type;
        access.count = 1;
        access.values = values;
        if (argc == 4) {
            values[1] = (uint16_t)strtoul(argv[3], NULL, 0);
            result = Call(vpi, VPI_WRITE, &access);
        }
        if (result == VPI_OK)
            result = Call(vpi, VPI_READ, &access);
        if (result == VPI_OK)
            printf("%s = %u\n", gas, (unsigned)values[1]);
        else
            fprintf(stderr, "%s: %s\n", gas, result == VPI_REFUSED ? "refused" : "no answer");
    }

    Call(vpi, VPI_CLOSE, NULL);
    free(vpi);
    return result;
}
