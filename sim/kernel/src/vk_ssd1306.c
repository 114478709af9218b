/*
 * Host kernel layer: the OLED panel's SSD1306 controller at 0x3C.
 *
 * After its address the controller takes a control byte (bit 7: one byte
 * follows, then another control byte; bit 6: data rather than commands),
 * then commands or display RAM data.  The RAM is 8 pages of 128 columns,
 * bit 0 the top row of a page.  The panel is mounted so that with the
 * segment remap (A1) and the remapped COM scan (C8) column 0 is at the left
 * and row 0 at the top of the glass; without them the picture is mirrored.
 * A reset pulse (reset pin low for at least 3 us) returns every setting to
 * its power-on value; the RAM keeps what it held and starts out as noise.
 */
#include <stdlib.h>
#include <string.h>

#include "vk_internal.h"

#define PANEL_ADDR 0x3C
#define RESET_MIN_NS 3000u
#define CMDLOG_MAX (4u * 1024 * 1024)

struct panel {
	uint8_t ram[8][VK_PANEL_WIDTH];
	int acking;
	struct vk_panel_state st;
	int col_start, col_end, page_start, page_end;
	uint64_t reset_low_ns;

	/* stream */
	int expect_ctrl;
	int co, dc;
	uint8_t cmd;
	int args_left, nargs;
	uint8_t args[6];

	uint8_t *cmdlog;
	size_t cmdlen, cmdcap;
	unsigned long data_bytes;
};

static struct panel panel;

static void regs_default(void)
{
	struct vk_panel_state *s = &panel.st;
	int resets = s->resets, short_resets = s->short_resets;
	int in_reset = s->in_reset;
	unsigned long unknown = s->unknown_cmds;

	memset(s, 0, sizeof(*s));
	s->resets = resets;
	s->short_resets = short_resets;
	s->in_reset = in_reset;
	s->unknown_cmds = unknown;
	s->contrast = 0x7F;
	s->mux = 63;
	s->clock_div = 0x80;
	s->precharge = 0x22;
	s->com_pins = 0x12;
	s->vcomh = 0x20;
	s->addr_mode = 2;
	panel.col_start = 0;
	panel.col_end = 127;
	panel.page_start = 0;
	panel.page_end = 7;
	panel.args_left = 0;
	panel.nargs = 0;
}

static void log_cmd(uint8_t c)
{
	if (panel.cmdlen == panel.cmdcap) {
		size_t cap = panel.cmdcap ? panel.cmdcap * 2 : 256;
		uint8_t *n;

		if (cap > CMDLOG_MAX)
			return;
		n = realloc(panel.cmdlog, cap);
		if (!n)
			return;
		panel.cmdlog = n;
		panel.cmdcap = cap;
	}
	panel.cmdlog[panel.cmdlen++] = c;
}

static int cmd_args(uint8_t c)
{
	switch (c) {
	case 0x20: case 0x81: case 0x8D: case 0xA8: case 0xD3:
	case 0xD5: case 0xD9: case 0xDA: case 0xDB:
		return 1;
	case 0x21: case 0x22: case 0xA3:
		return 2;
	case 0x29: case 0x2A:
		return 5;
	case 0x26: case 0x27:
		return 6;
	}
	return 0;
}

static void run_cmd(uint8_t c, const uint8_t *a)
{
	struct vk_panel_state *s = &panel.st;

	switch (c) {
	case 0x20:
		if ((a[0] & 3) != 3)
			s->addr_mode = a[0] & 3;
		return;
	case 0x21:
		panel.col_start = a[0] & 0x7F;
		panel.col_end = a[1] & 0x7F;
		s->column = panel.col_start;
		return;
	case 0x22:
		panel.page_start = a[0] & 7;
		panel.page_end = a[1] & 7;
		s->page = panel.page_start;
		return;
	case 0x81:
		s->contrast = a[0];
		return;
	case 0x8D:
		s->charge_pump = (a[0] & 0x04) ? 1 : 0;
		return;
	case 0xA8:
		s->mux = a[0] & 0x3F;
		return;
	case 0xD3:
		s->offset = a[0] & 0x3F;
		return;
	case 0xD5:
		s->clock_div = a[0];
		return;
	case 0xD9:
		s->precharge = a[0];
		return;
	case 0xDA:
		s->com_pins = a[0];
		return;
	case 0xDB:
		s->vcomh = a[0];
		return;
	case 0xA3: case 0x26: case 0x27: case 0x29: case 0x2A:
		return;	/* scrolling is not modelled */
	}

	if (c <= 0x0F) {
		if (s->addr_mode == 2)
			s->column = (s->column & 0x70) | c;
	} else if (c <= 0x1F) {
		if (s->addr_mode == 2)
			s->column = ((c & 0x07) << 4) | (s->column & 0x0F);
	} else if (c >= 0x40 && c <= 0x7F) {
		s->start_line = c & 0x3F;
	} else if (c == 0xA0 || c == 0xA1) {
		s->seg_remap = c & 1;
	} else if (c == 0xA4 || c == 0xA5) {
		s->entire_on = c & 1;
	} else if (c == 0xA6 || c == 0xA7) {
		s->inverse = c & 1;
	} else if (c == 0xAE || c == 0xAF) {
		s->display_on = c & 1;
	} else if (c >= 0xB0 && c <= 0xBF) {
		if (s->addr_mode == 2)
			s->page = c & 7;
	} else if (c >= 0xC0 && c <= 0xCF) {
		s->com_remap = (c & 0x08) ? 1 : 0;
	} else if (c == 0x2E || c == 0x2F || c == 0xE3) {
		/* scroll off / on, no operation */
	} else {
		s->unknown_cmds++;
	}
}

static void take_cmd(uint8_t c)
{
	log_cmd(c);
	if (panel.args_left) {
		panel.args[panel.nargs++] = c;
		if (--panel.args_left == 0)
			run_cmd(panel.cmd, panel.args);
		return;
	}
	panel.cmd = c;
	panel.nargs = 0;
	panel.args_left = cmd_args(c);
	if (!panel.args_left)
		run_cmd(c, panel.args);
}

static void take_data(uint8_t d)
{
	struct vk_panel_state *s = &panel.st;

	panel.data_bytes++;
	panel.ram[s->page & 7][s->column & 0x7F] = d;
	switch (s->addr_mode) {
	case 0:
		if (s->column >= panel.col_end) {
			s->column = panel.col_start;
			s->page = s->page >= panel.page_end ? panel.page_start : s->page + 1;
		} else {
			s->column++;
		}
		break;
	case 1:
		if (s->page >= panel.page_end) {
			s->page = panel.page_start;
			s->column = s->column >= panel.col_end ? panel.col_start : s->column + 1;
		} else {
			s->page++;
		}
		break;
	default:
		s->column = (s->column + 1) & 0x7F;
		break;
	}
}

/* ---- bus side ---- */

static int p_address(void *ctx, int read)
{
	(void)ctx;
	if (!panel.acking || panel.st.in_reset || read)
		return 0;
	panel.expect_ctrl = 1;
	return 1;
}

static int p_write(void *ctx, uint8_t b)
{
	(void)ctx;
	if (panel.st.in_reset)
		return 0;
	if (panel.expect_ctrl) {
		panel.co = (b >> 7) & 1;
		panel.dc = (b >> 6) & 1;
		panel.expect_ctrl = 0;
		return 1;
	}
	if (panel.dc)
		take_data(b);
	else
		take_cmd(b);
	if (panel.co)
		panel.expect_ctrl = 1;
	return 1;
}

static uint8_t p_read(void *ctx)
{
	(void)ctx;
	return 0xFF;
}

static void p_end(void *ctx)
{
	(void)ctx;
	panel.expect_ctrl = 0;
}

static const struct vk_i2c_slave_ops panel_ops = {
	.address = p_address,
	.write = p_write,
	.read = p_read,
	.end = p_end,
};

static void on_reset_pin(void *ctx, unsigned int pin, int level)
{
	(void)ctx;
	(void)pin;
	if (!level) {
		panel.st.in_reset = 1;
		panel.reset_low_ns = vk_clock_ns();
		return;
	}
	if (!panel.st.in_reset)
		return;
	panel.st.in_reset = 0;
	if (vk_clock_ns() - panel.reset_low_ns >= RESET_MIN_NS) {
		panel.st.resets++;
		regs_default();
	} else {
		panel.st.short_resets++;
	}
}

void vk_panel_init(void)
{
	uint32_t seed = 0x2545F491u;
	int p, c;

	free(panel.cmdlog);
	memset(&panel, 0, sizeof(panel));
	panel.acking = 1;
	regs_default();
	/* Power-on RAM is whatever the cells hold. */
	for (p = 0; p < 8; p++)
		for (c = 0; c < VK_PANEL_WIDTH; c++) {
			seed = seed * 1103515245u + 12345u;
			panel.ram[p][c] = (uint8_t)(seed >> 16);
		}
	panel.st.in_reset = !vk_pin_level(VK_OLED_RST);
	vk_i2c_attach(VK_BUS_OLED, PANEL_ADDR, &panel_ops, NULL);
	vk_pin_watch(VK_OLED_RST, on_reset_pin, NULL);
}

/* ---- public ---- */

static int lit(void)
{
	return panel.st.display_on && panel.st.charge_pump && !panel.st.in_reset;
}

static int pixel(int x, int y)
{
	const struct vk_panel_state *s = &panel.st;
	int col, com, row, bit;

	if (!lit())
		return 0;
	col = s->seg_remap ? x : 127 - x;
	com = s->com_remap ? y : 63 - y;
	if (com > s->mux)
		return 0;
	row = (com + s->start_line + s->offset) & 63;
	bit = (panel.ram[row / 8][col] >> (row % 8)) & 1;
	if (s->entire_on)
		return 1;
	return bit ^ s->inverse;
}

void vk_panel_picture(uint8_t pic[VK_PANEL_HEIGHT][VK_PANEL_WIDTH])
{
	int x, y;

	vk_hw_lock();
	for (y = 0; y < VK_PANEL_HEIGHT; y++)
		for (x = 0; x < VK_PANEL_WIDTH; x++)
			pic[y][x] = (uint8_t)pixel(x, y);
	vk_hw_unlock();
}

int vk_panel_pixel(int x, int y)
{
	int v;

	if (x < 0 || y < 0 || x >= VK_PANEL_WIDTH || y >= VK_PANEL_HEIGHT)
		return 0;
	vk_hw_lock();
	v = pixel(x, y);
	vk_hw_unlock();
	return v;
}

int vk_panel_lit(void)
{
	int v;

	vk_hw_lock();
	v = lit();
	vk_hw_unlock();
	return v;
}

void vk_panel_ram(uint8_t ram[8][VK_PANEL_WIDTH])
{
	vk_hw_lock();
	memcpy(ram, panel.ram, sizeof(panel.ram));
	vk_hw_unlock();
}

void vk_panel_get_state(struct vk_panel_state *st)
{
	vk_hw_lock();
	*st = panel.st;
	vk_hw_unlock();
}

void vk_panel_set_acking(int on)
{
	vk_hw_lock();
	panel.acking = on ? 1 : 0;
	vk_hw_unlock();
}

size_t vk_panel_commands(uint8_t *buf, size_t max)
{
	size_t n;

	vk_hw_lock();
	n = panel.cmdlen;
	if (buf)
		memcpy(buf, panel.cmdlog, n < max ? n : max);
	vk_hw_unlock();
	return n;
}

unsigned long vk_panel_data_bytes(void)
{
	unsigned long n;

	vk_hw_lock();
	n = panel.data_bytes;
	vk_hw_unlock();
	return n;
}

void vk_panel_clear_log(void)
{
	vk_hw_lock();
	panel.cmdlen = 0;
	panel.data_bytes = 0;
	vk_hw_unlock();
}
