/* The ioctl and read records as the board (32-bit ARM) lays them out. */
#include <linux/types.h>
#include "oled.h"
#include "gyrotap.h"
_Static_assert(sizeof(struct wordParam) == 12, "wordParam");
_Static_assert(__builtin_offsetof(struct wordParam, num) == 8, "num");
_Static_assert(sizeof(struct matrixParam) == 16, "matrixParam");
_Static_assert(__builtin_offsetof(struct matrixParam, pos) == 8, "pos");
_Static_assert(__builtin_offsetof(struct matrixParam, width) == 10, "width");
_Static_assert(__builtin_offsetof(struct matrixParam, matrix) == 12, "matrix");
_Static_assert(sizeof(struct GyroRawSample) == 24, "sample");
_Static_assert(OLED_IOC_FILL == 0x40014F00, "fill");
_Static_assert(OLED_IOC_NUM == 0x40044F01, "num");
_Static_assert(OLED_IOC_MATRIX == 0x40044F02, "matrix");
