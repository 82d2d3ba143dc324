#include "imagelib/quantize.h"
