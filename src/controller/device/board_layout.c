/* The controller's side of the "/dev/oled" and "/dev/gyrotap" records, as
 * the board (32-bit ARM) lays them out: the same numbers the driver's side
 * is checked against. Compiled in the board build. */
#include "board_records.h"
#include "gsensor.h"
#include "oled.h"

BOARD_CHECK_RECORDS(posParam, wordParam, matrixParam, GyroRawSample);
_Static_assert(sizeof(OledIcon) == sizeof(matrixParam), "OledIcon is the bitmap record");
_Static_assert(OLED_IOC_FILL == BOARD_OLED_IOC_FILL, "OLED_IOC_FILL");
_Static_assert(OLED_IOC_NUM == BOARD_OLED_IOC_NUM, "OLED_IOC_NUM");
_Static_assert(OLED_IOC_MATRIX == BOARD_OLED_IOC_MATRIX, "OLED_IOC_MATRIX");
