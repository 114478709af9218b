/* OLED panel access: fill, text fields, icons from the icon table, scroll bar. */
#define _GNU_SOURCE
#include "device/oled.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static int oled_fd_ = -1;
static OledIcon* icons_ = NULL;
static uint32_t icon_count_ = 0;
static int last_icon_ = -1;

static int scroller_drawn_ = 0;
static int sc_x_ = 0, sc_y_ = 0, sc_w_ = 0, sc_h_ = 0;
static uint8_t top_edge_, top_line_, bottom_edge_, bottom_line_;

static void freeTable(OledIcon* table, uint32_t count)
{
    uint32_t i;
    if (!table)
        return;
    for (i = 0; i < count; i++) {
        free((void*)table[i].name);
        free(table[i].matrix);
    }
    free(table);
}

static int readExact(FILE* f, void* buf, size_t n)
{
    return n == 0 || fread(buf, 1, n, f) == n;
}

int oled_loadResource(const char* path)
{
    FILE* f = fopen(path, "rb");
    struct stat st;
    uint8_t cnt[4];
    uint32_t count, i;
    long remaining;
    OledIcon* table;

    if (!f) {
        printf("[ %s ] ERR\n", __func__);
        return -1;
    }
    if (fstat(fileno(f), &st) != 0 || !readExact(f, cnt, 4)) {
        printf("[ %s ] ERR: bad icon table\n", __func__);
        fclose(f);
        return -1;
    }
    remaining = (long)st.st_size - 4;
    count = (uint32_t)cnt[0] | ((uint32_t)cnt[1] << 8) | ((uint32_t)cnt[2] << 16) | ((uint32_t)cnt[3] << 24);
    /* every icon takes at least five bytes */
    if ((uint64_t)count * 5 > (uint64_t)remaining) {
        printf("[ %s ] ERR: bad icon count\n", __func__);
        fclose(f);
        return -1;
    }
    table = calloc(count ? count : 1, sizeof(OledIcon));
    if (!table) {
        printf("[ %s ] ERR: no memory\n", __func__);
        fclose(f);
        return -1;
    }
    for (i = 0; i < count; i++) {
        uint8_t len, geo[4];
        size_t bytes;
        char* name;
        if (!readExact(f, &len, 1))
            goto bad;
        name = malloc((size_t)len + 1);
        if (!name)
            goto bad;
        table[i].name = name;
        if (!readExact(f, name, len) || !readExact(f, geo, 4))
            goto bad;
        name[len] = '\0';
        table[i].pos.x = geo[0];
        table[i].pos.y = geo[1];
        table[i].width = geo[2];
        table[i].height = geo[3];
        bytes = ((size_t)geo[2] * geo[3]) / 8;
        table[i].matrix = malloc(bytes ? bytes : 1);
        if (!table[i].matrix || !readExact(f, table[i].matrix, bytes))
            goto bad;
    }
    fclose(f);
    freeTable(icons_, icon_count_);
    icons_ = table;
    icon_count_ = count;
    last_icon_ = -1;
    return 0;
bad:
    printf("[ %s ] ERR: truncated icon table\n", __func__);
    freeTable(table, count);
    fclose(f);
    return -1;
}

int oled_open(const char* path)
{
    oled_fd_ = open(OLED_DEVICE, O_RDWR);
    if (oled_fd_ < 0) {
        printf("[ %s ] ERR: open device failed\n", __func__);
        return -1;
    }
    if (oled_loadResource(path) != 0) {
        printf("[ %s ] ERR: load resources failed\n", __func__);
        close(oled_fd_);
        oled_fd_ = -1;
        return -1;
    }
    return oled_fd_;
}

int oled_fd(void) { return oled_fd_; }

int oled_iconCount(void) { return icons_ ? (int)icon_count_ : 0; }

const OledIcon* oled_icon(int icon)
{
    if (!icons_ || icon < 0 || (uint32_t)icon >= icon_count_)
        return NULL;
    return &icons_[icon];
}

int oled_fill(int value)
{
    if (ioctl(oled_fd_, OLED_IOC_FILL, (unsigned long)value) != 0) {
        printf("[ %s ] ERR: invalid argument\n", __func__);
        return -1;
    }
    return 0;
}

int oled_number(int type, const char* text)
{
    wordParam p;
    int len = text ? (int)strlen(text) : 0;
    int x, y, mode;

    if (len == 0 || len > 15) {
        printf("[ %s ] ERR: invalid input length\n", __func__);
        return -1;
    }
    switch (type) {
    case NUM_IP: x = 82 - 3 * len; y = 0; mode = 0; break;
    case NUM_CENTER:
        x = 90 - 4 * len;
        y = last_icon_ == ICON_COUNTS ? 24 : 32;
        mode = last_icon_ == ICON_COUNTS ? 2 : 1;
        break;
    case NUM_SUB: x = 90 - 3 * len; y = 40; mode = 0; break;
    case NUM_ROW0: x = 86; y = 16; mode = 0; break;
    case NUM_ROW1: x = 86; y = 32; mode = 0; break;
    case NUM_ROW2: x = 86; y = 48; mode = 0; break;
    default:
        printf("[ %s ] ERR: invalid argument\n", __func__);
        return -1;
    }
    memset(&p, 0, sizeof p);
    p.pos.x = (uint8_t)x;
    p.pos.y = (uint8_t)y;
    p.large = mode;
    p.num = text;
    if (ioctl(oled_fd_, OLED_IOC_NUM, &p) < 0) {
        printf("[ %s ] ERR: invalid argument\n", __func__);
        return -1;
    }
    return 0;
}

int oled_clearNumber(int type)
{
    static const char* blanks[] = {"               ", "       ", "          ", "       ", "       ", "       "};
    if (type < 0 || type > 5 || oled_number(type, blanks[type]) != 0) {
        printf("[ %s ] ERR: invalid argument\n", __func__);
        return -1;
    }
    return 0;
}

static int drawIcon(const char* fn, int icon, int shift, int reverse, int blank)
{
    const OledIcon* src = oled_icon(icon);
    matrixParam p;
    uint8_t* zero = NULL;
    int ret;

    if (!src) {
        printf("[ %s ] ERR: invalid icon %d\n", fn, icon);
        return -1;
    }
    p = *src;
    p.reverse = reverse;
    p.pos.y = (uint8_t)(src->pos.y + (shift * 16) % 64);
    if (blank) {
        size_t bytes = ((size_t)src->width * src->height) / 8;
        zero = calloc(bytes ? bytes : 1, 1);
        if (!zero) {
            printf("[ %s ] ERR\n", fn);
            return -1;
        }
        p.matrix = zero;
    }
    ret = ioctl(oled_fd_, OLED_IOC_MATRIX, &p);
    free(zero);
    if (ret != 0) {
        printf("[ %s ] ERR\n", fn);
        return -1;
    }
    if (!blank)
        last_icon_ = icon;
    return 0;
}

int oled_logoShift(int icon, int shift) { return drawIcon(__func__, icon, shift, 0, 0); }

int oled_logoReverse(int icon, int shift) { return drawIcon(__func__, icon, shift, 1, 0); }

int oled_clearLogoShift(int icon, int shift) { return drawIcon(__func__, icon, shift, 0, 1); }

int oled_logo(int icon) { return oled_logoShift(icon, 0); }

int oled_clearLogo(int icon) { return oled_clearLogoShift(icon, 0); }

int oled_refreshBattery(int level)
{
    OledIcon* ic;
    int n, i;

    if (level < 0 || level > 100) {
        printf("[ %s ] ERR: invalid battery value\n", __func__);
        return -1;
    }
    if (!oled_icon(ICON_BATTERY) || ((size_t)icons_[ICON_BATTERY].width * icons_[ICON_BATTERY].height) / 8 < 31) {
        printf("[ %s ] ERR: invalid icon 13\n", __func__);
        return -1;
    }
    ic = &icons_[ICON_BATTERY];
    n = ((level + 4) * 12) / 100;
    for (i = 0; i < 12; i++) {
        ic->matrix[2 + i] = i < n ? 0xE8 : 0x08;
        ic->matrix[19 + i] = i < n ? 0x17 : 0x10;
    }
    return oled_logo(ICON_BATTERY);
}

static int drawBitmap(const char* fn, const char* name, int x, int y, int w, int bands, uint8_t* bits)
{
    matrixParam p;
    memset(&p, 0, sizeof p);
    p.name = name;
    p.pos.x = (uint8_t)x;
    p.pos.y = (uint8_t)(y & ~7);
    p.width = (uint8_t)w;
    p.height = (uint8_t)(bands * 8);
    p.matrix = bits;
    if (ioctl(oled_fd_, OLED_IOC_MATRIX, &p) != 0) {
        printf("[ %s ] ERR\n", fn);
        return -1;
    }
    return 0;
}

int oled_scrollerInit(int x, int y, int w, int h)
{
    int e, bands, b, c, ret;
    uint8_t* bits;

    if (scroller_drawn_) {
        printf("[ %s ] ERR: scroller already init\n", __func__);
        return -1;
    }
    if (x < 0 || w < 0 || x + w > 127 || y < 0 || h < 0 || y + h > 63) {
        printf("[ %s ] ERR: invalid size\n", __func__);
        return -1;
    }
    sc_x_ = x; sc_y_ = y; sc_w_ = w; sc_h_ = h;
    e = y + h;
    top_edge_ = (uint8_t)((0xFF >> (y % 8)) << ((y + 1) % 8));
    top_line_ = (uint8_t)(1 << (y % 8));
    bottom_edge_ = (uint8_t)(((uint8_t)(~((0xFF >> (e % 8)) << (e % 8))) | (1 << (e % 8))) >> 1);
    bottom_line_ = (uint8_t)(1 << (e % 8));
    bands = e / 8 - y / 8 + 1;
    bits = calloc((size_t)bands * (w ? w : 1), 1);
    if (!bits) {
        printf("[ %s ] ERR\n", __func__);
        return -1;
    }
    for (b = 0; b < bands; b++) {
        for (c = 0; c < w; c++) {
            int side = c == 0 || c == w - 1;
            uint8_t v;
            if (bands == 1) /* first and last row in one band */
                v = side ? (uint8_t)(top_edge_ & bottom_edge_) : (uint8_t)(top_line_ | bottom_line_);
            else if (b == 0)
                v = side ? top_edge_ : top_line_;
            else if (b == bands - 1)
                v = side ? bottom_edge_ : bottom_line_;
            else
                v = side ? 0xFF : 0;
            bits[b * w + c] = v;
        }
    }
    ret = drawBitmap(__func__, "scrollerFrame", x, y, w, bands, bits);
    free(bits);
    if (ret == 0)
        scroller_drawn_ = 1;
    return ret;
}

int oled_scrollerSet(int total, int index)
{
    int t, bh, e, bands, b, c, ret;
    uint8_t* bits;

    if (!scroller_drawn_) {
        printf("[ %s ] ERR: scroller not init yet\n", __func__);
        return -1;
    }
    if (total < 0 || index < 0 || index >= total) {
        printf("[ %s ] ERR: invalid index/total\n", __func__);
        return -1;
    }
    scroller_drawn_ = 0;
    if (oled_scrollerInit(sc_x_, sc_y_, sc_w_, sc_h_) != 0)
        return -1;
    bh = sc_h_ / total;
    t = (uint8_t)(sc_y_ + (index * sc_h_) / total);
    e = t + bh;
    bands = e / 8 - t / 8 + 1;
    bits = calloc((size_t)bands * (sc_w_ ? sc_w_ : 1), 1);
    if (!bits) {
        printf("[ %s ] ERR\n", __func__);
        return -1;
    }
    for (b = 0; b < bands; b++) {
        uint8_t m = (uint8_t)((0xFF >> (t % 8)) << (t % 8));
        uint8_t m2 = (uint8_t)((uint8_t)(~((0xFF >> (e % 8)) << (e % 8))) | (1 << (e % 8)));
        for (c = 0; c < sc_w_; c++) {
            int side = c == 0 || c == sc_w_ - 1;
            uint8_t v;
            if (bands == 1) {
                v = side ? 0xFF : (uint8_t)(m & m2);
            } else if (b == 0) {
                if (t / 8 == sc_y_ / 8)
                    v = side ? top_edge_ : (uint8_t)(top_line_ | m);
                else
                    v = side ? 0xFF : m;
            } else if (b == bands - 1) {
                if (e / 8 == (sc_y_ + sc_h_) / 8)
                    v = side ? bottom_edge_ : (uint8_t)(bottom_line_ | m2);
                else
                    v = side ? 0xFF : m2;
            } else {
                v = 0xFF;
            }
            bits[b * sc_w_ + c] = v;
        }
    }
    ret = drawBitmap(__func__, "scrollerBlock", sc_x_, t, sc_w_, bands, bits);
    free(bits);
    return ret;
}

int oled_scrollerDestroy(void)
{
    int bands = (sc_y_ + sc_h_) / 8 - sc_y_ / 8 + 1;
    uint8_t* bits = calloc((size_t)bands * (sc_w_ ? sc_w_ : 1), 1);
    int ret;
    if (!bits) {
        printf("[ %s ] ERR\n", __func__);
        return -1;
    }
    ret = drawBitmap(__func__, "clearScroller", sc_x_, sc_y_, sc_w_, bands, bits);
    free(bits);
    if (ret == 0)
        scroller_drawn_ = 0;
    return ret;
}

int oled_close(void)
{
    if (oled_fd_ >= 0)
        close(oled_fd_);
    oled_fd_ = -1;
    return 0;
}
