#include "driver/describe.h"

#include "driver/context.h"

namespace vpisd {

const char kDriverName[] = "SquareD";

// A line feed, then six lines of 62 code page 437 characters each ended by a line feed.
#define VPISD_EDGE_60                                                                      \
    "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"     \
    "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"     \
    "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
const char kBanner[] =
    "\n"
    "\xDA" VPISD_EDGE_60 "\xBF\n"
    "\xB3 \xDB\xDB\xDB\xDB\xDB\xB2\xB2\xB2\xB2\xB2\xB2\xB1\xB1\xB1\xB1\xB1\xB1\xB0\xB0\xB0\xB0\xB0\xB0"
    " V P I S D "
    "\xB0\xB0\xB0\xB0\xB0\xB0\xB1\xB1\xB1\xB1\xB1\xB1\xB2\xB2\xB2\xB2\xB2\xB2\xDB\xDB\xDB\xDB\xDB  \xB3\n"
    "\xB3             SquareD SY/MAX Driver installed.               \xB3\n"
    "\xB3                 SY/MAX Protocol (RS232).                   \xB3\n"
    "\xB3       Open source SY/MAX RS-232 driver  Version 7.04       \xB3\n"
    "\xC0" VPISD_EDGE_60 "\xD9\n";
#undef VPISD_EDGE_60
static_assert(sizeof kBanner == kBannerBytes + 1);

int32_t VpiDescribe(const VpiRequest *request) {
    if (request == nullptr || request->data == nullptr) {
        return VPI_BAD_REQUEST;
    }
    auto *info = static_cast<DriverInfo *>(request->data);
    info->driverCode = kDriverCode;
    info->name = kDriverName;
    info->banner = kBanner;
    info->contextSize = kContextSize;
    info->hostParamA = 4;
    info->baudRate = 9600;
    info->dataBits = 8;
    info->stopBits = 0;
    info->parity = 2;
    info->hostParamB = 3;
    return VPI_OK;
}

} // namespace vpisd
