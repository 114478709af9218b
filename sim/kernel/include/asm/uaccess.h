/* Host kernel layer: user copies (the architecture header drivers include). */
#include <linux/uaccess.h>
