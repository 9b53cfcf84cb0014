/* The public header is plain C: it must compile as C99 and C11 without warnings, and
 * on a 32-bit build its layout asserts check every offset of the host records. */
#include "vpisd/vpi.h"

int vpisd_header_check_size(void) { return (int)sizeof(TagAccess) + (int)sizeof(VpiRequest); }
