#include "imagelib/bmp.h"
