#include "imagelib/pcx.h"
