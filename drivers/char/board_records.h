/*
 * The records of "/dev/oled" and "/dev/gyrotap" as the board (32-bit ARM,
 * little-endian, 32-bit user pointers) lays them out. The driver's
 * declarations and the controller's are both checked against these
 * numbers, at compile time, so that the two sides cannot drift apart.
 *
 * BOARD_CHECK_RECORDS(P, W, M, S) takes the four record types of one side:
 * posParam, wordParam, matrixParam and GyroRawSample.
 */
#ifndef _BOARD_RECORDS_H
#define _BOARD_RECORDS_H

#define BOARD_OLED_IOC_FILL 0x40014F00u
#define BOARD_OLED_IOC_NUM 0x40044F01u
#define BOARD_OLED_IOC_MATRIX 0x40044F02u

#define BOARD_CHECK_AT(type, member, offset) \
	_Static_assert(__builtin_offsetof(type, member) == (offset), \
		       #type "." #member " at " #offset)
#define BOARD_CHECK_SIZE(type, size) \
	_Static_assert(sizeof(type) == (size), #type " of " #size " bytes")

#define BOARD_CHECK_RECORDS(P, W, M, S) \
	BOARD_CHECK_SIZE(P, 2); \
	BOARD_CHECK_AT(P, x, 0); \
	BOARD_CHECK_AT(P, y, 1); \
	BOARD_CHECK_SIZE(W, 12); \
	BOARD_CHECK_AT(W, pos, 0); \
	BOARD_CHECK_AT(W, large, 4); \
	BOARD_CHECK_SIZE(((W *)0)->large, 4); \
	BOARD_CHECK_AT(W, num, 8); \
	BOARD_CHECK_SIZE(((W *)0)->num, 4); \
	BOARD_CHECK_SIZE(M, 16); \
	BOARD_CHECK_AT(M, reverse, 0); \
	BOARD_CHECK_SIZE(((M *)0)->reverse, 4); \
	BOARD_CHECK_AT(M, name, 4); \
	BOARD_CHECK_AT(M, pos, 8); \
	BOARD_CHECK_AT(M, width, 10); \
	BOARD_CHECK_SIZE(((M *)0)->width, 1); \
	BOARD_CHECK_AT(M, height, 11); \
	BOARD_CHECK_SIZE(((M *)0)->height, 1); \
	BOARD_CHECK_AT(M, matrix, 12); \
	BOARD_CHECK_SIZE(((M *)0)->matrix, 4); \
	BOARD_CHECK_SIZE(S, 24); \
	BOARD_CHECK_AT(S, x_accel, 0); \
	BOARD_CHECK_AT(S, y_accel, 4); \
	BOARD_CHECK_AT(S, z_accel, 8); \
	BOARD_CHECK_AT(S, x_gyro, 12); \
	BOARD_CHECK_AT(S, y_gyro, 16); \
	BOARD_CHECK_AT(S, z_gyro, 20)

#endif
