/* Host kernel layer: the panel picture as a PNG file (8-bit grey). */
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vk_internal.h"

int vk_panel_write_png(const char *path, int scale)
{
	uint8_t pic[VK_PANEL_HEIGHT][VK_PANEL_WIDTH];
	png_structp png = NULL;
	png_infop info = NULL;
	png_bytep row = NULL;
	FILE *f;
	int y, x;
	volatile int ret = -5; /* EIO */

	if (!path || scale < 1 || scale > 16)
		return -22; /* EINVAL */
	vk_panel_picture(pic);
	f = fopen(path, "wb");
	if (!f)
		return -2; /* ENOENT */
	row = malloc((size_t)VK_PANEL_WIDTH * (size_t)scale);
	png = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
	if (png)
		info = png_create_info_struct(png);
	if (!row || !png || !info)
		goto out;
	if (setjmp(png_jmpbuf(png)))
		goto out;
	png_init_io(png, f);
	png_set_IHDR(png, info, VK_PANEL_WIDTH * scale, VK_PANEL_HEIGHT * scale, 8,
		     PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
		     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
	png_write_info(png, info);
	for (y = 0; y < VK_PANEL_HEIGHT * scale; y++) {
		for (x = 0; x < VK_PANEL_WIDTH * scale; x++)
			row[x] = pic[y / scale][x / scale] ? 0xFF : 0x00;
		png_write_row(png, row);
	}
	png_write_end(png, NULL);
	ret = 0;
out:
	png_destroy_write_struct(png ? &png : NULL, info ? &info : NULL);
	free(row);
	if (fclose(f) && !ret)
		ret = -5;
	return ret;
}
