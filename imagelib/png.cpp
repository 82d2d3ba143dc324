#include "imagelib/png.h"
