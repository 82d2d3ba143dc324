#include "imagelib/jpeg.h"
