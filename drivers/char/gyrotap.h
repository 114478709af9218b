/*
 * gyrotap: read record of "/dev/gyrotap".
 */
#ifndef _GYROTAP_H
#define _GYROTAP_H

#include <linux/types.h>

/* One sample of the six axes, raw signed counts. */
struct GyroRawSample {
	s32 x_accel;
	s32 y_accel;
	s32 z_accel;
	s32 x_gyro;
	s32 y_gyro;
	s32 z_gyro;
};

#endif
