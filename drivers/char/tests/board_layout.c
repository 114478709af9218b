/* The driver's ioctl and read records as the board (32-bit ARM) lays them out. */
#include <linux/types.h>
#include "oled.h"
#include "gyrotap.h"
#include "board_records.h"

typedef struct posParam pos_t;
typedef struct wordParam word_t;
typedef struct matrixParam matrix_t;
typedef struct GyroRawSample sample_t;
BOARD_CHECK_RECORDS(pos_t, word_t, matrix_t, sample_t);
_Static_assert(OLED_IOC_FILL == BOARD_OLED_IOC_FILL, "OLED_IOC_FILL");
_Static_assert(OLED_IOC_NUM == BOARD_OLED_IOC_NUM, "OLED_IOC_NUM");
_Static_assert(OLED_IOC_MATRIX == BOARD_OLED_IOC_MATRIX, "OLED_IOC_MATRIX");
