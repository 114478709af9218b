/* User-side access to the OLED panel ("/dev/oled") and its icon table. */
#ifndef CONTROLLER_DEVICE_OLED_H
#define CONTROLLER_DEVICE_OLED_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OLED_IOC_FILL 0x40014F00u
#define OLED_IOC_NUM 0x40044F01u
#define OLED_IOC_MATRIX 0x40044F02u

#define OLED_DEVICE "/dev/oled"

typedef int iconState; /* icon index in the loaded table */

/* Icons the panel functions know themselves: text field 1 moves up under
   the photo counts, and the battery gauge is drawn from the level. */
enum { ICON_BATTERY = 13, ICON_COUNTS = 58 };

typedef enum { NUM_IP = 0, NUM_CENTER = 1, NUM_SUB = 2, NUM_ROW0 = 3, NUM_ROW1 = 4, NUM_ROW2 = 5 } numType;

typedef enum { FILL_CLEAR = 0, FILL_LIGHT = 1 } fillValue;

typedef struct {
    uint8_t x;
    uint8_t y;
} posParam;

typedef struct {
    posParam pos;
    uint8_t pad[2];
    int32_t large;
    const char* num;
} wordParam;

typedef struct {
    int32_t reverse;
    const char* name;
    posParam pos;
    uint8_t width;
    uint8_t height;
    uint8_t* matrix;
} matrixParam;

/* One loaded icon; same leading layout as the bitmap ioctl record. */
typedef matrixParam OledIcon;

int oled_loadResource(const char* path);
int oled_open(const char* path);
int oled_fill(int value);
int oled_number(int type, const char* text);
int oled_clearNumber(int type);
int oled_logoShift(int icon, int shift);
int oled_logoReverse(int icon, int shift);
int oled_clearLogoShift(int icon, int shift);
int oled_logo(int icon);
int oled_clearLogo(int icon);
int oled_refreshBattery(int level);
int oled_scrollerInit(int x, int y, int w, int h);
int oled_scrollerSet(int total, int index);
int oled_scrollerDestroy(void);
int oled_close(void);

/* Descriptor of the open screen, -1 when closed. */
int oled_fd(void);
/* Number of icons in the loaded table (0 when none is loaded). */
int oled_iconCount(void);
/* Loaded icon entry, or NULL for a bad index. */
const OledIcon* oled_icon(int icon);

#ifdef __cplusplus
}
#endif

#endif
