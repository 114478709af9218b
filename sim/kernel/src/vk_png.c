/* Host kernel layer: the panel picture as a PNG (8-bit grey). */
#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vk_internal.h"

struct png_sink {
	void (*write)(void *ctx, const void *data, size_t len);
	void *ctx;
};

static void sink_write(png_structp png, png_bytep data, png_size_t len)
{
	struct png_sink *s = png_get_io_ptr(png);

	s->write(s->ctx, data, len);
}

static void sink_flush(png_structp png)
{
	(void)png;
}

int vk_panel_png(void (*write)(void *ctx, const void *data, size_t len), void *ctx, int scale)
{
	uint8_t pic[VK_PANEL_HEIGHT][VK_PANEL_WIDTH];
	struct png_sink sink = { write, ctx };
	png_structp png = NULL;
	png_infop info = NULL;
	png_bytep row = NULL;
	int y, x;
	volatile int ret = -5; /* EIO */

	if (!write || scale < 1 || scale > 16)
		return -22; /* EINVAL */
	vk_panel_picture(pic);
	row = malloc((size_t)VK_PANEL_WIDTH * (size_t)scale);
	png = png_create_write_struct(PNG_LIBPNG_VER_STRING, NULL, NULL, NULL);
	if (png)
		info = png_create_info_struct(png);
	if (!row || !png || !info)
		goto out;
	if (setjmp(png_jmpbuf(png)))
		goto out;
	png_set_write_fn(png, &sink, sink_write, sink_flush);
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
	return ret;
}

struct file_sink {
	FILE *f;
	int failed;
};

static void file_write(void *ctx, const void *data, size_t len)
{
	struct file_sink *s = ctx;

	if (!s->failed && fwrite(data, 1, len, s->f) != len)
		s->failed = 1;
}

int vk_panel_write_png(const char *path, int scale)
{
	struct file_sink sink = { NULL, 0 };
	int ret;

	if (!path || scale < 1 || scale > 16)
		return -22; /* EINVAL */
	sink.f = fopen(path, "wb");
	if (!sink.f)
		return -2; /* ENOENT */
	ret = vk_panel_png(file_write, &sink, scale);
	if (!ret && sink.failed)
		ret = -5;
	if (fclose(sink.f) && !ret)
		ret = -5;
	return ret;
}
