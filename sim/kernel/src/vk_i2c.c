/*
 * Host kernel layer: two-wire bus decoder driven by the wires' edges.
 *
 * Start: SDA falls while SCL is high.  Stop: SDA rises while SCL is high.
 * A bit is taken on each rising edge of SCL; after eight bits the ninth
 * clock is the acknowledge.  The addressed device pulls SDA low for it from
 * the falling edge after the eighth bit to the falling edge after the ninth.
 * While a device sends, it puts each bit on SDA at a falling edge of SCL.
 */
#include <stdlib.h>
#include <string.h>

#include "vk_internal.h"

#define VK_I2C_SLAVES 4
#define VK_TXN_MAX 200000
#define VK_TXN_BYTES_MAX (8u * 1024 * 1024)

enum bus_state {
	BUS_IDLE,	/* no transaction: bits are stray */
	BUS_ADDR,	/* taking the address byte */
	BUS_WRITE,	/* master sends to the device */
	BUS_READ,	/* device sends to the master */
	BUS_IGNORE,	/* not acknowledged: wait for start or stop */
};

struct slave {
	uint8_t addr7;
	const struct vk_i2c_slave_ops *ops;
	void *ctx;
};

struct txn {
	uint8_t addr;
	uint8_t addr_ack;
	size_t len, cap;
	uint8_t *data;
	uint8_t *ack;
	uint64_t t_ns;
};

struct vk_i2c_bus {
	unsigned int scl_pin, sda_pin;
	int scl, sda;
	enum bus_state state;
	int bits;		/* rising edges in this byte frame, 0-9 */
	int in_ack;
	uint8_t shift;
	uint8_t tx;		/* byte the device is sending */
	int last_acked;
	int reading;		/* the address byte asked to read */
	struct slave slaves[VK_I2C_SLAVES];
	int nslaves;
	struct slave *active;

	struct txn *txns;
	size_t ntxn, txn_cap;
	size_t txn_bytes;
	int open_txn;		/* the last txn is still taking bytes */
	struct vk_i2c_stats stats;
};

static struct vk_i2c_bus buses[2];

struct vk_i2c_bus *vk_i2c_bus_get(int bus)
{
	return (bus == VK_BUS_OLED || bus == VK_BUS_SENSOR) ? &buses[bus] : NULL;
}

static void trace_clear(struct vk_i2c_bus *b)
{
	size_t i;

	for (i = 0; i < b->ntxn; i++) {
		free(b->txns[i].data);
		free(b->txns[i].ack);
	}
	free(b->txns);
	b->txns = NULL;
	b->ntxn = b->txn_cap = 0;
	b->txn_bytes = 0;
	b->open_txn = 0;
	memset(&b->stats, 0, sizeof(b->stats));
}

static void trace_begin(struct vk_i2c_bus *b, uint8_t addr, int acked)
{
	struct txn *t;

	b->open_txn = 0;
	if (b->ntxn >= VK_TXN_MAX || b->txn_bytes >= VK_TXN_BYTES_MAX)
		return;
	if (b->ntxn == b->txn_cap) {
		size_t cap = b->txn_cap ? b->txn_cap * 2 : 256;
		struct txn *nt = realloc(b->txns, cap * sizeof(*nt));

		if (!nt)
			return;
		b->txns = nt;
		b->txn_cap = cap;
	}
	t = &b->txns[b->ntxn++];
	memset(t, 0, sizeof(*t));
	t->addr = addr;
	t->addr_ack = (uint8_t)acked;
	t->t_ns = vk_clock_ns();
	b->open_txn = 1;
}

static void trace_byte(struct vk_i2c_bus *b, uint8_t v, int acked)
{
	struct txn *t;

	b->stats.bytes++;
	if (!b->open_txn || !b->ntxn)
		return;
	t = &b->txns[b->ntxn - 1];
	if (t->len == t->cap) {
		size_t cap = t->cap ? t->cap * 2 : 16;
		uint8_t *nd = realloc(t->data, cap);
		uint8_t *na;

		if (!nd)
			return;
		t->data = nd;
		na = realloc(t->ack, cap);
		if (!na)
			return;
		t->ack = na;
		t->cap = cap;
	}
	t->data[t->len] = v;
	t->ack[t->len] = (uint8_t)acked;
	t->len++;
	b->txn_bytes++;
}

static void end_transaction(struct vk_i2c_bus *b)
{
	if (b->active && b->active->ops->end)
		b->active->ops->end(b->active->ctx);
	b->active = NULL;
	vk_pin_pull(b->sda_pin, 0);
	b->open_txn = 0;
}

static struct slave *find_slave(struct vk_i2c_bus *b, uint8_t addr7)
{
	int i;

	for (i = 0; i < b->nslaves; i++)
		if (b->slaves[i].addr7 == addr7)
			return &b->slaves[i];
	return NULL;
}

static void drive_bit(struct vk_i2c_bus *b, int bit)
{
	vk_pin_pull(b->sda_pin, !((b->tx >> (7 - bit)) & 1));
}

/*
 * A start or stop condition takes one rise of SCL of its own, so a frame cut
 * by one has seen at least two rises and not yet its acknowledge clock.
 */
static int cut_mid_byte(const struct vk_i2c_bus *b)
{
	return b->state != BUS_IDLE && b->state != BUS_IGNORE && b->bits >= 2 && b->bits <= 8;
}

static void on_start(struct vk_i2c_bus *b)
{
	if (cut_mid_byte(b))
		b->stats.broken_bytes++;
	end_transaction(b);
	b->stats.starts++;
	b->state = BUS_ADDR;
	b->bits = 0;
	b->in_ack = 0;
	b->shift = 0;
}

static void on_stop(struct vk_i2c_bus *b)
{
	if (cut_mid_byte(b))
		b->stats.broken_bytes++;
	end_transaction(b);
	b->stats.stops++;
	b->state = BUS_IDLE;
	b->bits = 0;
	b->in_ack = 0;
}

static void on_rise(struct vk_i2c_bus *b)
{
	if (b->state == BUS_IDLE) {
		b->stats.stray_bits++;
		return;
	}
	if (b->state == BUS_IGNORE)
		return;
	b->bits++;
	if (b->bits <= 8 && (b->state == BUS_ADDR || b->state == BUS_WRITE))
		b->shift = (uint8_t)((b->shift << 1) | (b->sda ? 1 : 0));
	if (b->bits == 9 && b->state == BUS_READ) {
		/* Master's acknowledge of the byte it read. */
		b->last_acked = !b->sda;
		trace_byte(b, b->tx, b->last_acked);
	}
}

static void on_fall(struct vk_i2c_bus *b)
{
	if (b->state == BUS_IDLE || b->state == BUS_IGNORE)
		return;

	if (b->bits == 8 && !b->in_ack) {
		b->in_ack = 1;
		if (b->state == BUS_ADDR) {
			struct slave *s = find_slave(b, b->shift >> 1);
			int read = b->shift & 1;
			int ack = s && s->ops->address(s->ctx, read);

			b->reading = read;
			trace_begin(b, b->shift, ack);
			if (ack) {
				b->active = s;
				vk_pin_pull(b->sda_pin, 1);
			}
			b->last_acked = ack;
		} else if (b->state == BUS_WRITE) {
			int ack = b->active && b->active->ops->write(b->active->ctx, b->shift);

			trace_byte(b, b->shift, ack);
			b->last_acked = ack;
			if (ack)
				vk_pin_pull(b->sda_pin, 1);
		} else {
			/* BUS_READ: let go for the master's acknowledge. */
			vk_pin_pull(b->sda_pin, 0);
		}
		return;
	}

	if (b->bits == 9) {
		vk_pin_pull(b->sda_pin, 0);
		b->in_ack = 0;
		b->bits = 0;
		b->shift = 0;
		if (b->state == BUS_ADDR) {
			if (!b->last_acked) {
				b->state = BUS_IGNORE;
				return;
			}
			b->state = b->reading ? BUS_READ : BUS_WRITE;
		} else if (!b->last_acked) {
			b->state = BUS_IGNORE;
			return;
		}
		if (b->state == BUS_READ) {
			b->tx = b->active->ops->read(b->active->ctx);
			drive_bit(b, 0);
		}
		return;
	}

	if (b->state == BUS_READ && b->bits >= 1 && b->bits < 8)
		drive_bit(b, b->bits);
}

static void on_wire(void *ctx, unsigned int pin, int level)
{
	struct vk_i2c_bus *b = ctx;
	int scl = b->scl, sda = b->sda;

	if (pin == b->scl_pin) {
		b->scl = level;
		if (!scl && level)
			on_rise(b);
		else if (scl && !level)
			on_fall(b);
	} else if (pin == b->sda_pin) {
		b->sda = level;
		if (scl && sda && !level)
			on_start(b);
		else if (scl && !sda && level)
			on_stop(b);
	}
}

void vk_i2c_bus_init(int bus, unsigned int scl, unsigned int sda)
{
	struct vk_i2c_bus *b = vk_i2c_bus_get(bus);

	if (!b)
		return;
	trace_clear(b);
	memset(b, 0, sizeof(*b));
	b->scl_pin = scl;
	b->sda_pin = sda;
	b->scl = vk_pin_level(scl);
	b->sda = vk_pin_level(sda);
	b->state = BUS_IDLE;
	vk_pin_watch(scl, on_wire, b);
	vk_pin_watch(sda, on_wire, b);
}

void vk_i2c_attach(int bus, uint8_t addr7, const struct vk_i2c_slave_ops *ops, void *ctx)
{
	struct vk_i2c_bus *b = vk_i2c_bus_get(bus);

	if (!b || b->nslaves >= VK_I2C_SLAVES)
		return;
	b->slaves[b->nslaves].addr7 = addr7;
	b->slaves[b->nslaves].ops = ops;
	b->slaves[b->nslaves].ctx = ctx;
	b->nslaves++;
}

/* ---- public ---- */

size_t vk_i2c_txn_count(int bus)
{
	struct vk_i2c_bus *b = vk_i2c_bus_get(bus);
	size_t n;

	if (!b)
		return 0;
	vk_hw_lock();
	n = b->ntxn;
	vk_hw_unlock();
	return n;
}

int vk_i2c_txn_get(int bus, size_t i, struct vk_i2c_txn *out)
{
	struct vk_i2c_bus *b = vk_i2c_bus_get(bus);
	int ret = -2; /* ENOENT */

	if (!b || !out)
		return -22;
	vk_hw_lock();
	if (i < b->ntxn) {
		const struct txn *t = &b->txns[i];

		out->addr = t->addr;
		out->addr_ack = t->addr_ack;
		out->len = t->len;
		out->data = t->data;
		out->ack = t->ack;
		out->t_ns = t->t_ns;
		ret = 0;
	}
	vk_hw_unlock();
	return ret;
}

void vk_i2c_get_stats(int bus, struct vk_i2c_stats *st)
{
	struct vk_i2c_bus *b = vk_i2c_bus_get(bus);

	if (!b || !st)
		return;
	vk_hw_lock();
	*st = b->stats;
	vk_hw_unlock();
}

void vk_i2c_clear(int bus)
{
	struct vk_i2c_bus *b = vk_i2c_bus_get(bus);

	if (!b)
		return;
	vk_hw_lock();
	trace_clear(b);
	vk_hw_unlock();
}
